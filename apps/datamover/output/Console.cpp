#include "apps/datamover/output/Console.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "apps/datamover/session/Threads.h"

namespace dmtask {

std::string HumanBytes(uint64_t bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return buf;
}

std::string HumanDuration(double seconds)
{
    if (seconds < 0) seconds = 0;
    unsigned s = static_cast<unsigned>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%u:%02u:%02u", s / 3600, (s / 60) % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%u:%02u", s / 60, s % 60);
    }
    return buf;
}

namespace {
// Times are seconds with a fraction; a millisecond is finer than anything a
// caller compares, and 17 digits of noise would only hide the value.
Json::Value RoundReals(const Json::Value& v)
{
    if (v.isArray() || v.isObject()) {
        Json::Value out(v.type());
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (v.isArray()) {
                out.append(RoundReals(*it));
            } else {
                out[it.name()] = RoundReals(*it);
            }
        }
        return out;
    }
    if (v.type() == Json::realValue) return Json::Value(std::round(v.asDouble() * 1000.0) / 1000.0);
    return v;
}
}  // namespace

void PrintJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 3;
    builder["precisionType"] = "decimal";
    std::cout << Json::writeString(builder, RoundReals(value)) << std::endl;
}

void Status(const CommandContext& ctx, const std::string& text)
{
    if (ctx.json || (!ctx.verbose && ::isatty(STDERR_FILENO) != 1)) return;
    std::cerr << "datamover: " << text << std::endl;
}

Progress::Progress(const CommandContext& ctx, std::string label, uint64_t total)
    : m_enabled(!ctx.json && ::isatty(STDERR_FILENO) == 1), m_label(std::move(label)), m_total(total),
      m_startMicros(NowMicros())
{
}

Progress::~Progress()
{
    Finish();
}

void Progress::Update(uint64_t done)
{
    if (!m_enabled || m_finished) return;
    uint64_t now = NowMicros();
    if (now - m_lastDraw < 200000) return;
    m_lastDraw = now;
    Draw(done, false);
}

void Progress::Finish()
{
    if (!m_enabled || m_finished) return;
    m_finished = true;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void Progress::Draw(uint64_t done, bool)
{
    double elapsed = static_cast<double>(NowMicros() - m_startMicros) / 1e6;
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    double frac = m_total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(m_total);
    if (frac > 1.0) frac = 1.0;
    const int width = 28;
    int filled = static_cast<int>(frac * width);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string eta = rate > 0 ? HumanDuration(static_cast<double>(m_total - std::min(done, m_total)) / rate) : "?";
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%% %s / %s  %s/s  %s left", m_label.c_str(), bar.c_str(),
                 static_cast<int>(frac * 100), HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                 HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    std::fflush(stderr);
}

}  // namespace dmtask
