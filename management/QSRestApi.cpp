#include "management/QSRestApi.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "foundation/JsonUtils.h"
#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/SecureMem.h"

namespace {
const char MODULE_NAME[] = "QSRestApi";

const char SESSIONS_PATH[] = "/api/v2/aa/sessions";
const char SERVICE_CMD_PATH[] = "/strata/service/serviceCmd";
const char TOKEN_HEADER[] = "X-Auth-Token";
const char FORMAT_ERROR[] = "Json object format is error. ";

// An integer of the JSON value: a number that fits 32 bits, or (for the
// replies that carry numbers as text) a whole decimal string.
bool ReadInt32(const Json::Value& v, int32_t& out)
{
    if (v.isInt()) {
        out = v.asInt();
        return true;
    }
    if (v.isString()) {
        const std::string s = v.asString();
        if (s.empty()) {
            return false;
        }
        errno = 0;
        char* end = nullptr;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (errno != 0 || end == nullptr || *end != '\0' || n < INT32_MIN || n > INT32_MAX) {
            return false;
        }
        out = static_cast<int32_t>(n);
        return true;
    }
    return false;
}

// Text of a JSON member for messages: strings as they are, anything else as JSON.
std::string ReadText(const Json::Value& v)
{
    return v.isString() ? v.asString() : CJsonUtils::JsonToString(v);
}

// Overwrites a string held inside a JSON value (jsoncpp keeps its own copy).
void WipeJsonString(const Json::Value& v)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    if (v.isString() && v.getString(&begin, &end) && begin != nullptr && end > begin) {
        SecureWipe(const_cast<char*>(begin), static_cast<size_t>(end - begin));
    }
}
}  // namespace

QSRestApi::QSRestApi(std::string ip, std::string port, std::string userName, std::string password)
    : m_ip(std::move(ip)), m_port(std::move(port)), m_userName(std::move(userName)), m_password(std::move(password))
{
}

QSRestApi::~QSRestApi()
{
    // Without a client or a session there is nothing to end; sending anyway
    // would only spend the whole retry budget on a request bound to fail.
    if (m_httpClient != nullptr && !m_token.empty()) {
        Logout();
    }
    if (m_httpClient != nullptr) {
        IHttpClient::ReleaseInstance(m_httpClient);
        m_httpClient = nullptr;
    }
    cleanMemoryPwd(m_token);
    cleanMemoryPwd(m_password);
}

bool QSRestApi::Init()
{
    m_httpClient = IHttpClient::GetInstance();
    if (m_httpClient == nullptr) {
        LOG_STREAM(4) << "m_httpClient is null.";
        return false;
    }
    return true;
}

void QSRestApi::BuildReqHeaders(HttpRequest& request)
{
    request.headers.insert({"Accept", "application/json"});
    request.headers.insert({"Accept-Encoding", "gzip"});
    request.headers.insert({"Accept-Language", "en"});
    request.headers.insert({"Cache-Control", "no-cache"});
    request.headers.insert({"Connection", "keep-alive"});
    request.headers.insert({"Content-Type", "application/json"});
    request.headers.insert({TOKEN_HEADER, m_token});
    request.url = "https://" + m_ip + ":" + m_port + request.url;
}

int32_t QSRestApi::SendRequest(HttpRequest& request, Json::Value& response, std::string& errDes, int32_t& errCode,
                               int32_t budget)
{
    BuildReqHeaders(request);
    int32_t n = 0;      // tries of this request, for the log
    int32_t sent = 0;   // sends charged to the budget, re-login sends included
    int32_t result = -1;
    while (sent < budget) {
        LOG_STREAM(1) << "try send request, times is  " << n;
        if (n > 0) {
            oru_sleep(RETRY_INTERVAL_SEC);
            LOG_STREAM(3) << "send failed. Retry " << n << " time. url=" << request.url;
        }
        n += 1;
        sent += 1;
        m_lastTransportCode = 0;
        result = SendAndParseRsp(request, response, errDes, errCode);
        if (result == 0) {
            LOG_STREAM(2) << "Send request ok.";
            m_lastFailure.clear();
            return 0;
        }
        m_lastFailure = errDes.empty() ? "error " + std::to_string(result) : errDes;
        // A refused certificate or refused credentials stay refused: another
        // try only makes the caller wait for the same answer.
        if (result == NETWORK_ERROR && IsCertificateError(m_lastTransportCode)) {
            LOG_STREAM(4) << "The server's certificate was refused, not retried: " << errDes;
            break;
        }
        if ((result == 401 || result == 403) && request.method == "POST" &&
            request.url.find(SESSIONS_PATH) != std::string::npos) {
            LOG_STREAM(4) << "Login refused, not retried: " << errDes;
            break;
        }
        // Transport failures and HTTP errors arrive in the result, never in
        // errCode, so that is where an expired session shows.
        if (result == 401) {
            LOG_STREAM(3) << "Unauthorized rest, need re-login";
            sent += Relogin(request, budget - sent);
        } else if (result == NETWORK_ERROR || result == SYSTEM_BUSY) {
            LOG_STREAM(3) << "network error or system busy: errorCode: " << result;
        }
    }
    LOG_STREAM(4) << "Exit ";
    return result;
}

int32_t QSRestApi::Relogin(HttpRequest& request, int32_t budgetLeft)
{
    // A 401 on the session requests themselves means wrong credentials or a
    // session already gone; logging in again from there would recurse.
    if (m_relogging || request.url.find(SESSIONS_PATH) != std::string::npos) {
        return 0;
    }
    // A logout, a login and one more try of the request must still fit;
    // otherwise the new session could not be used.
    if (budgetLeft < 3) {
        return 0;
    }
    m_relogging = true;
    LogoutWith(1);
    bool ok = LoginWith(1);
    m_relogging = false;
    if (ok) {
        // The pending request still carries the expired token.
        for (auto it = request.headers.begin(); it != request.headers.end();) {
            if (it->first == TOKEN_HEADER) {
                it = request.headers.erase(it);
            } else {
                ++it;
            }
        }
        request.headers.insert({TOKEN_HEADER, m_token});
    }
    return 2;
}

int32_t QSRestApi::SendAndParseRsp(const HttpRequest& request, Json::Value& response, std::string& errDes,
                                   int32_t& errCode)
{
    if (m_httpClient == nullptr) {
        errDes = "m_httpClient is null.";
        LOG_STREAM(4) << "m_httpClient is null.";
        return -1;
    }
    std::shared_ptr<IHttpResponse> rsp = m_httpClient->SendRequest(request, REQUEST_TIMEOUT_SEC);
    if (!rsp) {
        LOG_STREAM(4) << "Return response is empty. ";
        return -1;
    }
    if (rsp->IsSuccess()) {
        const std::string body = rsp->GetBody();
        int32_t verdict = request.url.find("/v2/") != std::string::npos
                              ? ParseBodyV2(body, response, errDes, errCode)
                              : ParseBodyV1(body, response, errDes, errCode);
        // A reply that could not be read must not pass for a good one: callers
        // judge by errCode, which the parser leaves at 0 on malformed JSON.
        if (verdict != 0 && errCode == 0) {
            errCode = -1;
        }
        return 0;
    }
    if (rsp->IsNetworkError() != 0) {
        m_lastTransportCode = rsp->IsNetworkError();
        errDes = rsp->GetNetworkErrorText();
        LOG_STREAM(4) << "StatusCode: " << rsp->GetStatusCode()
                      << " , Send http request occur network error. Error is " << errDes;
        return NETWORK_ERROR;
    }
    errDes = rsp->GetHttpErrorText();
    int32_t status = rsp->GetStatusCode();
    LOG_STREAM(4) << "StatusCode: " << status << " , Http response error. Error is " << errDes;
    return status != 0 ? status : -1;
}

int32_t QSRestApi::ParseBodyV2(const std::string& body, Json::Value& response, std::string& errDes,
                               int32_t& errCode)
{
    Json::Value root;
    if (!CJsonUtils::StringToJson(body, root)) {
        errDes = "Parse json string failed";
        LOG_STREAM(4) << "Parse json string failed.";
        return -1;
    }
    int32_t code = 0;
    if (!root.isObject() || !root.isMember("result") || !root["result"].isObject() ||
        !root["result"].isMember("code") || !root["result"].isMember("description") ||
        !ReadInt32(root["result"]["code"], code)) {
        errDes = FORMAT_ERROR;
        LOG_STREAM(4) << "Json object error. ";
        return -1;
    }
    errDes = ReadText(root["result"]["description"]);
    errCode = code;
    if (errCode == 0) {
        if (root.isMember("data")) {
            response = root["data"];
        }
        return 0;
    }
    LOG_STREAM(4) << "code : " << errCode << ", Describe : " << errDes;
    return -1;
}

int32_t QSRestApi::ParseBodyV1(const std::string& body, Json::Value& response, std::string& errDes,
                               int32_t& errCode)
{
    Json::Value root;
    if (!CJsonUtils::StringToJson(body, root)) {
        errDes = "Parse json string failed";
        LOG_STREAM(4) << "Parse json string failed.";
        return -1;
    }
    int32_t result = 0;
    // A result that is not a number cannot be told from a failure; treated as
    // malformed rather than as success.
    if (!root.isObject() || !root.isMember("result") || !root["result"].isInt()) {
        errDes = FORMAT_ERROR;
        LOG_STREAM(4) << "Json object error.";
        return -1;
    }
    result = root["result"].asInt();
    if (result == 1) {
        const Json::Value& detail = root["detail"];
        if (detail.isArray()) {
            for (Json::ArrayIndex i = 0; i < detail.size(); ++i) {
                const Json::Value& item = detail[i];
                if (!item.isObject()) {
                    continue;
                }
                errDes = ReadText(item["description"]);
                int32_t code = 0;
                errCode = ReadInt32(item["errorCode"], code) ? code : -1;
                LOG_STREAM(4) << "code : " << errCode << ", Describe : " << errDes;
            }
        }
        return -1;
    }
    if (result == 2) {
        errDes = ReadText(root["description"]);
        int32_t code = 0;
        errCode = ReadInt32(root["errorCode"], code) ? code : -1;
        LOG_STREAM(4) << "code : " << errCode << ", Describe : " << errDes;
        return -1;
    }
    errDes.clear();
    errCode = 0;
    response = root;
    return 0;
}

bool QSRestApi::Login()
{
    return LoginWith(MAX_SEND_TIMES);
}

bool QSRestApi::LoginWith(int32_t budget)
{
    LOG_STREAM(1) << "Start login.";
    HttpRequest request;
    {
        Json::Value body;
        body["user_name"] = m_userName;
        body["password"] = m_password;
        request.body = CJsonUtils::JsonToString(body);
        WipeJsonString(body["password"]);
    }
    request.method = "POST";
    request.url = SESSIONS_PATH;
    int32_t errCode = 0;
    std::string errDes;
    Json::Value response;
    int32_t result = SendRequest(request, response, errDes, errCode, budget);
    if (result != 0 || errCode != 0) {
        LOG_STREAM(4) << "Login failed, errCode: " << errCode << ", errDes: " << errDes;
        if (result == 0) m_lastFailure = "the service refused the login (error " + std::to_string(errCode) + "): " + errDes;
        return false;
    }
    if (!response.isObject() || !response["x_auth_token"].isString() ||
        response["x_auth_token"].asString().empty()) {
        LOG_STREAM(4) << "Login failed, errCode: " << errCode << ", errDes: the reply holds no x_auth_token.";
        m_lastFailure = "the login reply holds no x_auth_token";
        return false;
    }
    cleanMemoryPwd(m_token);
    m_token = response["x_auth_token"].asString();
    WipeJsonString(response["x_auth_token"]);
    LOG_STREAM(2) << "Login ok.";
    return true;
}

void QSRestApi::Logout()
{
    LogoutWith(MAX_SEND_TIMES);
}

void QSRestApi::LogoutWith(int32_t budget)
{
    LOG_STREAM(1) << "Start logout.";
    HttpRequest request;
    request.method = "DELETE";
    request.url = SESSIONS_PATH;
    request.body = "null";
    int32_t errCode = 0;
    std::string errDes;
    Json::Value response;
    int32_t result = SendRequest(request, response, errDes, errCode, budget);
    if (result != 0 || errCode != 0) {
        LOG_STREAM(3) << "logout nok ";
    } else {
        LOG_STREAM(2) << "logout ok ";
    }
}

bool QSRestApi::GetAllCtrlClusterIds(std::vector<int32_t>& ids, std::string& errDes)
{
    LOG_STREAM(2) << "Enter";
    HttpRequest request;
    Json::Value body;
    body["serviceType"] = "dr";
    body["subOp"] = "queryControlCluster";
    request.body = CJsonUtils::JsonToString(body);
    request.method = "POST";
    request.url = SERVICE_CMD_PATH;
    int32_t errCode = 0;
    Json::Value response;
    int32_t result = SendRequest(request, response, errDes, errCode);
    if (result != 0 || errCode != 0) {
        LOG_STREAM(4) << "Get replication cluster info failed, errCode: " << errCode << ", errDes: " << errDes;
        return false;
    }
    if (!response.isObject() || !response["serviceCmdData"].isArray()) {
        errDes = "The response does not contain the serviceCmdData field.";
        LOG_STREAM(4) << "Json is not Array.";
        return false;
    }
    const Json::Value& data = response["serviceCmdData"];
    for (Json::ArrayIndex i = 0; i < data.size(); ++i) {
        const Json::Value& item = data[i];
        if (!item.isObject() || !item.isMember("controlClusterId")) {
            continue;
        }
        int32_t id = 0;
        if (ReadInt32(item["controlClusterId"], id)) {
            ids.push_back(id);
        } else {
            LOG_STREAM(3) << "Skip controlClusterId that is not an integer: "
                          << CJsonUtils::JsonToString(item["controlClusterId"]);
        }
    }
    LOG_STREAM(2) << "Exit : size: " << data.size();
    return true;
}

bool QSRestApi::CheckLUNPairStatus(int32_t controlClusterId, const std::string& localObjName,
                                   const std::string& remoteObjName, std::string& errDes)
{
    LOG_STREAM(2) << "Start check lun pair: " << localObjName;
    HttpRequest request;
    Json::Value body;
    body["controlClusterId"] = std::to_string(controlClusterId);
    body["id"] = "0";
    body["count"] = "1";
    body["serviceType"] = "dr";
    body["subOp"] = "GetBatchBiplexPair";
    body["localObjName"] = localObjName;
    body["remoteObjName"] = remoteObjName;
    request.body = CJsonUtils::JsonToString(body);
    request.method = "POST";
    request.url = SERVICE_CMD_PATH;
    int32_t errCode = 0;
    Json::Value response;
    int32_t result = SendRequest(request, response, errDes, errCode);
    if (result != 0 || errCode != 0) {
        errDes = "Failed to send the request, errCode: " + std::to_string(errCode) + ", reason: " + errDes;
        LOG_STREAM(4) << errDes;
        return false;
    }
    if (!response.isObject() || !response["serviceCmdData"].isArray()) {
        errDes = "The response does not contain the serviceCmdData field.";
        LOG_STREAM(4) << "Json is not Array.";
        return false;
    }
    const Json::Value& data = response["serviceCmdData"];
    if (data.empty()) {
        errDes = "The serviceCmdData is empty.";
        LOG_STREAM(4) << "Json is not Array.";
        return false;
    }
    const Json::Value& first = data[0];
    if (!first.isObject() || !first.isMember("runningStatus")) {
        errDes = "The runningStatus isn't found.";
        LOG_STREAM(4) << "runningStatus isn't exist.";
        return false;
    }
    const std::string status = ReadText(first["runningStatus"]);
    if (status == "NORMAL") {
        LOG_STREAM(2) << "The lun pair status is normal.";
        return true;
    }
    errDes = "Abnormal status: " + status;
    LOG_STREAM(4) << errDes;
    return false;
}

bool QSRestApi::CheckBiplexPair(const std::string& localObjName, const std::string& remoteObjName,
                                std::string& errDes)
{
    if (m_httpClient == nullptr) {
        errDes = "m_httpClient is nullptr.";
        LOG_STREAM(4) << "m_httpClient is nullptr.";
        return false;
    }
    if (m_token.empty() && !Login()) {
        errDes = "Login qsm failed.";
        LOG_STREAM(4) << "Login qsm failed.";
        return false;
    }
    std::vector<int32_t> ids;
    if (!GetAllCtrlClusterIds(ids, errDes)) {
        LOG_STREAM(4) << "Get all ctrl cluster info failed: " << errDes;
        return false;
    }
    if (ids.empty()) {
        errDes = "No control cluster is found.";
    }
    for (int32_t id : ids) {
        if (CheckLUNPairStatus(id, localObjName, remoteObjName, errDes)) {
            LOG_STREAM(2) << "Check lun pair ok.";
            return true;
        }
    }
    LOG_STREAM(4) << "Check biplex pair failed: " << errDes;
    return false;
}
