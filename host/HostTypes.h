// Host types the library only passes through: a snapshot name, a metadata sink
// and an error-detail record. Their content is the host's.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class CSnapshotID {
public:
    CSnapshotID() = default;
    explicit CSnapshotID(std::string name) : m_name(std::move(name)) {}
    virtual ~CSnapshotID() = default;
    const std::string& GetName() const { return m_name; }
    void SetName(const std::string& name) { m_name = name; }

private:
    std::string m_name;
};

class IMetadata {
public:
    virtual ~IMetadata() = default;
    virtual void SetValue(const std::string& key, const std::string& value) = 0;
};

struct ErrorMessage {
    int32_t code = 0;
    std::string text;
    std::vector<std::string> params;
};
