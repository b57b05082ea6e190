#include "replication/net/NetTrace.h"

#include <string>

#include "host/ConfigReader.h"

bool ReplicationDebugOn()
{
    static const std::string kSection = "Replication";
    static const std::string kKey = "ReplicationCommunicationDebug";
    return ConfigReader::getInt(kSection, kKey, true) == 1;
}
