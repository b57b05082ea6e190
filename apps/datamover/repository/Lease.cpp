#include "apps/datamover/repository/Lease.h"

#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "apps/datamover/repository/Crypto.h"

namespace repo3 {

namespace {

std::string HostName()
{
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
}

std::string BootId()
{
    std::ifstream f("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(f, id);
    return id;
}

std::string RandomToken()
{
    uint8_t b[12];
    RandomBytes(b, sizeof b);
    return ToHex(b, sizeof b);
}

}  // namespace

int64_t LeaseSeconds()
{
    const char* v = std::getenv("DATAMOVER_LEASE_SECONDS");
    if (v != nullptr) {
        char* end = nullptr;
        const long long n = std::strtoll(v, &end, 10);
        if (*v != '\0' && *end == '\0' && n >= 2 && n <= 86400) return n;
    }
    return 120;
}

int64_t NowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string FormatHolder(const HolderRecord& r)
{
    Json::Value v;
    v["holder"] = r.holder;
    v["owner"] = r.owner;
    v["host"] = r.host;
    v["boot_id"] = r.bootId;
    v["pid"] = static_cast<Json::Int64>(r.pid);
    v["created_at"] = static_cast<Json::Int64>(r.createdAt);
    v["expires_at"] = static_cast<Json::Int64>(r.expiresAt);
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v) + "\n";
}

bool ParseHolder(const std::string& text, HolderRecord& out)
{
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string err;
    Json::Value v;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &err) || !v.isObject()) return false;
    HolderRecord r;
    r.holder = v["holder"].isString() ? v["holder"].asString() : "";
    r.owner = v["owner"].isString() ? v["owner"].asString() : "";
    r.host = v["host"].isString() ? v["host"].asString() : "";
    r.bootId = v["boot_id"].isString() ? v["boot_id"].asString() : "";
    r.pid = v["pid"].isInt64() ? v["pid"].asInt64() : 0;
    r.createdAt = v["created_at"].isInt64() ? v["created_at"].asInt64() : 0;
    r.expiresAt = v["expires_at"].isInt64() ? v["expires_at"].asInt64() : 0;
    out = r;
    return true;
}

HolderRecord NewHolder(const std::string& holder)
{
    HolderRecord r;
    r.holder = holder;
    r.owner = RandomToken();
    r.host = HostName();
    r.bootId = BootId();
    r.pid = ::getpid();
    r.createdAt = NowSeconds();
    r.expiresAt = r.createdAt + LeaseSeconds();
    return r;
}

bool Expired(const HolderRecord& r, int64_t now)
{
    return r.expiresAt > 0 && now > r.expiresAt;
}

bool HolderIsGone(const HolderRecord& r)
{
    if (r.host.empty() || r.host != HostName() || r.pid <= 0) return false;
    const std::string boot = BootId();
    if (!boot.empty() && !r.bootId.empty() && r.bootId != boot) return true;  // written before this host last booted
    if (r.pid == ::getpid()) return false;
    return ::kill(static_cast<pid_t>(r.pid), 0) != 0 && errno == ESRCH;
}

std::string DescribeHolder(const HolderRecord& r, int64_t now)
{
    std::string s = (r.holder.empty() ? std::string("unknown holder") : r.holder) + " (host " + r.host + ", pid " +
                    std::to_string(r.pid);
    if (r.expiresAt > 0) {
        s += r.expiresAt >= now ? ", expires in " + std::to_string(r.expiresAt - now) + " s"
                                : ", expired " + std::to_string(now - r.expiresAt) + " s ago";
    }
    return s + ")";
}

Renewer::Renewer(std::function<void()> renew, double periodSeconds)
    : m_renew(std::move(renew)), m_period(periodSeconds), m_thread([this] {
          std::unique_lock<std::mutex> lock(m_mutex);
          while (!m_cv.wait_for(lock, std::chrono::duration<double>(m_period), [this] { return m_stop; })) {
              lock.unlock();
              m_renew();
              lock.lock();
          }
      })
{
}

Renewer::~Renewer()
{
    Stop();
}

void Renewer::Stop()
{
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

Lease::Lease(ObjectStore& store, const std::string& name, const std::string& holder)
    : m_store(store), m_name(name), m_record(NewHolder(holder))
{
    const std::string mine = FormatHolder(m_record);
    if (m_store.PutIfAbsent(m_name, mine)) {
        std::string text;
        HolderRecord other;
        const int64_t now = NowSeconds();
        if (!m_store.Get(m_name, text)) {
            throw RepositoryBusy(m_name + " changed hands while it was being taken; try again");
        }
        const bool parsed = ParseHolder(text, other);
        if (parsed && !Expired(other, now) && !HolderIsGone(other)) {
            throw RepositoryBusy(m_name + " is held by " + DescribeHolder(other, now) +
                                 ("; 'datamover unlock' removes it once it has expired"));
        }
        if (!parsed) {
            throw RepositoryBusy(m_name + " holds no readable record; 'datamover unlock --force' removes it");
        }
        // Take over only the record we judged: one renewed meanwhile is left alone.
        std::string again;
        if (m_store.Get(m_name, again) && again == text) m_store.Delete(m_name);
        m_record = NewHolder(holder);
        if (m_store.PutIfAbsent(m_name, FormatHolder(m_record))) {
            throw RepositoryBusy(m_name + " was taken over by another process at the same moment; try again");
        }
    }
    // Read back: of two that took an expired lease over at once, one finds the other's record.
    std::string text;
    HolderRecord check;
    if (!m_store.Get(m_name, text) || !ParseHolder(text, check) || check.owner != m_record.owner) {
        m_released = true;
        throw RepositoryBusy(m_name + " was taken by another process at the same moment; try again");
    }
    m_owner = m_record.owner;
    m_renewedAt = SteadyMillis();
    m_renewer = std::make_unique<Renewer>([this] { Renew(); }, static_cast<double>(LeaseSeconds()) / 4);
}

Lease::~Lease()
{
    try {
        Release();
    } catch (...) {
        // A lease that cannot be removed expires by itself.
    }
}

int64_t SteadyMillis()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool RenewedInTime(int64_t renewedAtMillis)
{
    return SteadyMillis() - renewedAtMillis < LeaseSeconds() * 1000 / 2;
}

bool RenewHolder(ObjectStore& store, const std::string& name, HolderRecord& record,
                 std::atomic<int64_t>& renewedAtMillis)
{
    try {
        if (!RenewedInTime(renewedAtMillis.load())) return false;
        std::string text;
        HolderRecord now;
        if (!store.Get(name, text) || !ParseHolder(text, now) || now.owner != record.owner) return false;
        HolderRecord next = record;
        next.expiresAt = NowSeconds() + LeaseSeconds();
        store.Replace(name, FormatHolder(next));
        record = next;
        renewedAtMillis = SteadyMillis();
    } catch (const std::exception&) {
        // Tried again at the next period.
    }
    return true;
}

void Lease::Renew()
{
    if (!m_lost && !RenewHolder(m_store, m_name, m_record, m_renewedAt)) m_lost = true;
}

bool Lease::Held() const
{
    return !m_released && !m_lost && RenewedInTime(m_renewedAt.load());
}

void Lease::Check(const std::string& doing) const
{
    if (!Held()) {
        throw RepositoryBusy("the lease " + m_name + " was lost (not renewed in time, or removed with 'datamover "
                             "unlock --force') while " + doing + "; stopped");
    }
}

void Lease::Release()
{
    if (m_renewer) m_renewer->Stop();
    if (m_released) return;
    m_released = true;
    std::string text;
    HolderRecord now;
    // Remove only our own record: after a takeover the object is someone else's.
    if (m_store.Get(m_name, text) && ParseHolder(text, now) && now.owner == m_owner) {
        m_store.Delete(m_name);
    }
}

}  // namespace repo3
