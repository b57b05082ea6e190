// Client of the block storage's management REST service: logs in for a token,
// sends JSON requests with a fixed header set, retries failed requests, parses
// both reply dialects ("/api/v2/" and the service-command interface) and checks
// whether an active-active pair is running normally on any control cluster.
// One thread at a time per instance; the HTTP client is the host's, shared by
// the process, and is given back when the instance is destroyed.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/IHttpClient.h"

class QSRestApi {
public:
    // ip may be a bracketed IPv6 literal ("[::1]"); port is the decimal port.
    QSRestApi(std::string ip, std::string port, std::string userName, std::string password);
    virtual ~QSRestApi();
    QSRestApi(const QSRestApi&) = delete;
    QSRestApi& operator=(const QSRestApi&) = delete;

    bool Init();
    bool Login();
    void Logout();
    bool CheckBiplexPair(const std::string& localObjName, const std::string& remoteObjName, std::string& errDes);
    bool GetAllCtrlClusterIds(std::vector<int32_t>& ids, std::string& errDes);
    bool CheckLUNPairStatus(int32_t controlClusterId, const std::string& localObjName,
                            const std::string& remoteObjName, std::string& errDes);

    // Sends at most `budget` times in all, the sends of a re-login after a 401
    // included, so one request never costs more than 11 sends and 50 s of
    // pauses whatever the service answers.
    int32_t SendRequest(HttpRequest& request, Json::Value& response, std::string& errDes, int32_t& errCode,
                        int32_t budget = MAX_SEND_TIMES);
    int32_t SendAndParseRsp(const HttpRequest& request, Json::Value& response, std::string& errDes,
                            int32_t& errCode);
    void BuildReqHeaders(HttpRequest& request);
    int32_t ParseBodyV2(const std::string& body, Json::Value& response, std::string& errDes, int32_t& errCode);
    int32_t ParseBodyV1(const std::string& body, Json::Value& response, std::string& errDes, int32_t& errCode);

    // The token of the last successful login; empty when not logged in.
    const std::string& Token() const { return m_token; }
    // Why the last request that gave up failed: the transport's text (a refused
    // certificate, no connection), the HTTP status, or the login's refusal.
    // Empty when the last request got its answer.
    const std::string& LastFailure() const { return m_lastFailure; }

    // Result codes of SendAndParseRsp besides 0, -1 and HTTP statuses.
    static constexpr int32_t NETWORK_ERROR = 200000;
    static constexpr int32_t SYSTEM_BUSY = 1077949006;
    static constexpr int32_t MAX_SEND_TIMES = 11;
    static constexpr uint32_t RETRY_INTERVAL_SEC = 5;
    static constexpr uint32_t REQUEST_TIMEOUT_SEC = 90;

private:
    bool LoginWith(int32_t budget);
    void LogoutWith(int32_t budget);
    // After a 401 reply: a fresh session (one logout and one login send), and
    // the new token in the pending request. Returns the sends it spent.
    int32_t Relogin(HttpRequest& request, int32_t budgetLeft);

    std::string m_token;
    std::string m_lastFailure;
    int32_t m_lastTransportCode = 0;  // of the last reply that did not arrive
    IHttpClient* m_httpClient = nullptr;
    std::string m_ip;
    std::string m_port;
    std::string m_userName;
    std::string m_password;
    // Set while Relogin runs, so that a 401 on the session requests it sends
    // does not start another re-login inside it.
    bool m_relogging = false;
};
