// What people and programs see of a long job: sizes and durations in words, a
// status line and a progress bar on standard error (a terminal only, never with
// --json), and the one JSON document a command prints. Subcommand thread only.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <string>

#include "apps/datamover/CommandContext.h"

namespace dmtask {

std::string HumanBytes(uint64_t bytes);
std::string HumanDuration(double seconds);

// One line on standard error saying what a long step waits for (an attach
// and its settle pause, a bitmap being built), shown on a terminal or with
// --verbose, never with --json.
void Status(const CommandContext& ctx, const std::string& text);

// A progress bar on standard error, drawn only when it is a terminal and the
// output is not JSON. Update may be called often; it redraws at most 5 times a second.
class Progress {
public:
    Progress(const CommandContext& ctx, std::string label, uint64_t total);
    ~Progress();
    void Update(uint64_t done);
    void Finish();

private:
    void Draw(uint64_t done, bool final);
    bool m_enabled;
    std::string m_label;
    uint64_t m_total;
    uint64_t m_startMicros;
    uint64_t m_lastDraw = 0;
    bool m_finished = false;
};

// The command's JSON document on standard output, times rounded to milliseconds.
void PrintJson(const Json::Value& value);

}  // namespace dmtask
