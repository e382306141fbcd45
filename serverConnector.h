// serverConnector is the agent's only client of the cloud DNS service. It
// sends every request through one procedure ("https://" + host + path, one
// "Authorization: " header, IPv4 only) and judges the JSON replies. It borrows
// the zone vector owned by ZoneFileParser, which must outlive it.
#ifndef VANTREL_SERVERCONNECTOR_H
#define VANTREL_SERVERCONNECTOR_H

#include <cstdint>
#include <string>
#include <vector>

#include "Vantrel.h"
#include "ZoneData.h"

class ConfigFileParser;

class serverConnector {
public:
    // Copies the run time stamp, token, host name and CA file from
    // |configFile|; borrows |zones|. Makes no request.
    serverConnector(ConfigFileParser* configFile, std::vector<zoneData>* zones);
    virtual ~serverConnector();

    // Inserts the zones flagged new (one bulk request), then deletes those
    // flagged deleted (one request each).
    void commitChanges(int _newZones, int _deletedZones);
    void insertZones();
    bool insertBulkZones(std::vector<std::string> _zonesList);
    bool insertZone(std::string _zoneName);
    void deleteZones();
    bool deleteZone(std::string _zoneName);
    bool zoneExists(std::string _zone);
    void insertLogEntry(std::string _zone, actionType _type);

    // Heartbeat; a "recheck" answer runs syncZones first.
    void updateLastSeen();
    // Full reconciliation: bulk insertion of every local zone, then deletion
    // of every zone the service lists and the agent does not hold.
    void syncZones();
    void deleteNotFoundZones();
};

#endif  // VANTREL_SERVERCONNECTOR_H
