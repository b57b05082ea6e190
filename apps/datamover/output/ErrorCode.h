// The stable codes of a failure in --json output: {"ok":false,"error":{"code":C,"message":M}}.
// A program branches on the code; the message is for people and may change. Every
// subcommand's failure carries one of these; the README lists them.
#pragma once
#include <json/json.h>

#include <string>

namespace dmout {

enum class ErrorCode {
    BadArgument,  // the command line is wrong; nothing was done (exit 2)
    NotFound,     // no such repository, backup, chain, task or file
    Damaged,      // the repository's records or data fail their checks
    InUse,        // a running task holds the chain, snapshot or target
    Refused,      // refused for safety: a target that holds data, a backup others need, ...
    ReadOnly,     // the repository or target cannot be written
    Storage,      // the storage (its tools, a volume or snapshot) failed or refused
    Io,           // a local file or device operation failed
    Interrupted,  // stopped by SIGINT or SIGTERM
    Internal,     // a fault of the data mover itself
};

const char* ErrorCodeName(ErrorCode code);
// {"code": ..., "message": ...}
Json::Value ErrorObject(ErrorCode code, const std::string& message);

}  // namespace dmout
