// The host configuration: an INI file (<root>/conf/datamover.ini) with sections
// "General", "BackupNode" and "Replication". Values are read at the moment of use;
// the file is parsed again only when its modification time changes (checked at
// most every 200 ms), so a read is a map lookup. Absent keys take the value of the
// host defaults table (DefaultValues()). Thread-safe.
#pragma once
#include <map>
#include <mutex>
#include <string>
#include <utility>

class ConfigReader {
public:
    // Integer value of section/key (atoi of the text). `flag` is kept for the
    // call shape of the product's reader; it has no effect.
    static int getInt(const std::string& section, const std::string& key, bool flag);
    // Text value, or `defaultValue` when neither the file nor the defaults table has it.
    static std::string getString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue = "");
    // "General"/"ManagementIP", default "127.0.0.1".
    static std::string getManagementIP();

    // Uses `path` as the configuration file (empty: no file, defaults only).
    static void SetConfigFile(const std::string& path);
    static std::string GetConfigFile();
    // Test and tool overrides: win over the file and the defaults.
    static void SetOverride(const std::string& section, const std::string& key, const std::string& value);
    static void ClearOverride(const std::string& section, const std::string& key);
    static void ClearOverrides();

    using Table = std::map<std::pair<std::string, std::string>, std::string>;
    // The documented defaults of every key the system reads.
    static const Table& DefaultValues();
    // Parses INI text: [section] lines, key = value lines, ';' and '#' comments.
    static Table ParseIni(const std::string& text);

private:
    static bool Lookup(const std::string& section, const std::string& key, std::string& value);
};
