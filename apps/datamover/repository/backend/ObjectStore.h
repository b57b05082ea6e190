// Storage of whole objects by name, the only thing the repository asks of a
// place to keep its files. Names are relative keys: '/'-separated components
// of [A-Za-z0-9._-], none empty, "." or "..", none starting with '.'. An
// object is written whole or not at all; no directory semantics leak out.
// Implementations are safe to call from several threads at once.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

namespace repo3 {

// Any failure of the storage itself (I/O error, refused name); the message names the object.
// `kind` tells a caller what to report: a remote store says why it refused.
class StorageError : public std::runtime_error {
public:
    enum class Kind {
        Io,           // reading or writing failed
        NotFound,     // the store itself (directory, bucket) does not exist
        Denied,       // credentials refused, or the rights are missing
        Unavailable,  // the service did not answer, or kept failing past the retries
    };
    explicit StorageError(const std::string& what, Kind k = Kind::Io) : std::runtime_error(what), kind(k) {}
    Kind kind;
};

class ObjectStore {
public:
    virtual ~ObjectStore() = default;
    // Stores `data` under `name` unless an object of that name exists. Atomic and
    // durable before returning; true when the object was already there (left untouched).
    virtual bool PutIfAbsent(const std::string& name, const std::string& data) = 0;
    // Stores `data` under `name`, replacing any object there atomically (readers
    // see the old object or the new one). Only small control objects use it.
    virtual void Replace(const std::string& name, const std::string& data) = 0;
    // The whole object; false when there is none.
    virtual bool Get(const std::string& name, std::string& data) const = 0;
    virtual bool Exists(const std::string& name) const = 0;
    // Every object whose name starts with `prefix` (a plain string prefix), sorted.
    virtual std::vector<std::string> List(const std::string& prefix) const = 0;
    // Removes the object durably; false when there was none.
    virtual bool Delete(const std::string& name) = 0;
    // What to call this store in messages (a path or a URL).
    virtual std::string Describe() const = 0;
};

// Whether `name` is a valid object name (see above).
bool ValidObjectName(const std::string& name);

}  // namespace repo3
