#include "apps/datamover/output/ErrorCode.h"

namespace dmout {

const char* ErrorCodeName(ErrorCode code)
{
    switch (code) {
        case ErrorCode::BadArgument: return "bad_argument";
        case ErrorCode::NotFound: return "not_found";
        case ErrorCode::Damaged: return "damaged";
        case ErrorCode::InUse: return "in_use";
        case ErrorCode::Refused: return "refused";
        case ErrorCode::ReadOnly: return "read_only";
        case ErrorCode::Storage: return "storage";
        case ErrorCode::Io: return "io";
        case ErrorCode::Interrupted: return "interrupted";
        case ErrorCode::Internal: return "internal";
    }
    return "internal";
}

Json::Value ErrorObject(ErrorCode code, const std::string& message)
{
    Json::Value e(Json::objectValue);
    e["code"] = ErrorCodeName(code);
    e["message"] = message;
    return e;
}

}  // namespace dmout
