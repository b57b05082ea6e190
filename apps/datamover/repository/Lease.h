// Objects that say "this is mine until T": the collection lease (locks/gc) and
// the claims of running backups (pending/<id>). Each carries its holder (host,
// boot, pid, a random owner token) and an expiry in Unix seconds, and is
// rewritten by a thread of its holder well before it expires. A holder that
// died stops renewing: once the expiry has passed, anyone may take the lease
// over or ignore the claim, so a dead data mover on another machine blocks
// nobody for longer than one lease time.
//
// Time is the only judge across machines: the clocks of the data movers must
// agree to well within the lease time (NTP), and a holder that cannot renew
// for half its lease time (the store unreachable, the process stopped) stops
// relying on it (Held() turns false) before anyone else may take it.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <mutex>
#include <string>
#include <thread>

#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

// The other side holds the repository: a collection is deleting, or another collection runs.
class RepositoryBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The lease time: DATAMOVER_LEASE_SECONDS (2..86400), else 120.
int64_t LeaseSeconds();
int64_t NowSeconds();

struct HolderRecord {
    std::string holder;  // "garbage collection", "backup <id>"
    std::string owner;   // random token of this holding
    std::string host;
    std::string bootId;
    int64_t pid = 0;
    int64_t createdAt = 0;
    int64_t expiresAt = 0;  // 0: never (records written before leases)
};

std::string FormatHolder(const HolderRecord& r);
bool ParseHolder(const std::string& text, HolderRecord& out);
// A fresh record of this process for `holder`, expiring a lease time from now.
HolderRecord NewHolder(const std::string& holder);
// Past its expiry (records without one never expire).
bool Expired(const HolderRecord& r, int64_t now);
// This host's records prove the holder gone (its pid is not alive, or another boot wrote it).
bool HolderIsGone(const HolderRecord& r);
// "garbage collection (host h, pid p, expires in 40 s)".
std::string DescribeHolder(const HolderRecord& r, int64_t now);

// A holding is renewed in time while its last renewal is less than half a lease old: past
// that, another process may soon judge it expired, so it must not be written over.
int64_t SteadyMillis();
bool RenewedInTime(int64_t renewedAtMillis);
// Renews our record at `name` by a lease time: false when the holding is lost (renewed too
// late, or the record there is gone or another's); true when renewed, and also when the store
// failed this once (tried again at the next period, RenewedInTime tells if it keeps failing).
bool RenewHolder(ObjectStore& store, const std::string& name, HolderRecord& record,
                 std::atomic<int64_t>& renewedAtMillis);

// Calls `renew` every `period` seconds on its own thread until stopped.
class Renewer {
public:
    Renewer(std::function<void()> renew, double periodSeconds);
    ~Renewer();
    Renewer(const Renewer&) = delete;
    Renewer& operator=(const Renewer&) = delete;
    void Stop();

private:
    std::function<void()> m_renew;
    double m_period;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread;
};

// An object of one holder at a time, renewed while held.
class Lease {
public:
    // Writes the record with put-if-absent. An existing record that expired, or
    // whose holder this host proves gone, is taken over (removed, then written
    // anew, then read back to be sure the record is ours). Otherwise throws
    // RepositoryBusy naming the holder and its expiry.
    Lease(ObjectStore& store, const std::string& name, const std::string& holder);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    // Still ours: the last renewal found our record and was less than half a lease time ago.
    bool Held() const;
    // Throws RepositoryBusy unless Held().
    void Check(const std::string& doing) const;
    void Release();
    // The random token of this holding (fixed; the record's expiry changes as it is renewed).
    const std::string& Owner() const { return m_owner; }

private:
    void Renew();
    ObjectStore& m_store;
    std::string m_name;
    HolderRecord m_record;  // the renewer's after construction
    std::string m_owner;
    std::atomic<int64_t> m_renewedAt{0};
    std::atomic<bool> m_lost{false};
    bool m_released = false;
    std::unique_ptr<Renewer> m_renewer;
};

}  // namespace repo3
