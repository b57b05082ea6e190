// For helpers shared by several functions of one file: their records carry the
// calling function's name, as they did when the caller logged them itself.
#pragma once
#include "foundation/LogProxy.h"

// LOG_STREAM_AS(level, callerPretty) << "text";  callerPretty is the calling function's
// __PRETTY_FUNCTION__, turned into a name only when the record is written. Uses the file's MODULE_NAME.
#define LOG_STREAM_AS(level, callerPretty)                                                                  \
    if (!LogLevelEnabled(level)) {                                                                          \
    } else                                                                                                  \
        LogProxy((level), MODULE_NAME, *OruTSP::get(TSP_RequestID), GetFunctionName(callerPretty), __LINE__)
