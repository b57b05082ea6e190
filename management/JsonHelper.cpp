#include "management/JsonHelper.h"

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "JsonHelper";
}

void JsonHelper::LogWrongType(const char* what)
{
    LOG_STREAM(4) << "Read a value of the wrong type as null: " << what;
}
