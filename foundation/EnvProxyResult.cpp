#include "foundation/EnvProxyResult.h"

#include <boost/lexical_cast.hpp>
#include <exception>

#include "foundation/LogProxy.h"
#include "host/HostClock.h"

namespace {
const char MODULE_NAME[] = "EnvProxyResult";
}

std::string EnvProxyResult::TimeText()
{
    try {
        return boost::lexical_cast<std::string>(Oru::GetClock().WallSeconds());
    } catch (const std::exception& e) {
        LOG_STREAM(3) << " err:" << e.what();
        return "0";
    }
}

void EnvProxyResult::AddDetail(uint64_t code, const std::vector<std::string>& params)
{
    message m(code);
    m.params.reserve(params.size() + 1);
    m.params.push_back(TimeText());
    m.params.insert(m.params.end(), params.begin(), params.end());
    details.push_back(std::move(m));
}

void EnvProxyResult::AddDetail(uint64_t code, std::string p1, std::string p2, std::string p3)
{
    message m(code);
    m.params.push_back(TimeText());
    // An empty parameter ends the list.
    if (!p1.empty()) {
        m.params.push_back(std::move(p1));
        if (!p2.empty()) {
            m.params.push_back(std::move(p2));
            if (!p3.empty()) {
                m.params.push_back(std::move(p3));
            }
        }
    }
    details.push_back(std::move(m));
}

void EnvProxyResult::AddDetail(const message& msg)
{
    AddDetail(msg.code, msg.params);
}

void EnvProxyResult::Add(const EnvProxyResult& other)
{
    try {
        // Copies first, so adding a result to itself is well-defined.
        std::list<message> d = other.details;
        std::list<message> mm = other.mergedMessages;
        details.splice(details.end(), d);
        mergedMessages.splice(mergedMessages.end(), mm);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << e.what();
    }
}

EnvProxyResult& EnvProxyResult::operator+=(const EnvProxyResult& other)
{
    if (this != &other) {
        completeCode = other.completeCode;
        details.insert(details.end(), other.details.begin(), other.details.end());
    }
    return *this;
}
