// zoneData is one DNS zone as the agent knows it: its name, its type and three
// flags that describe what the latest reading of the zones file concluded
// about it, since when it has been missing from the file, and whether the
// service is known to hold it. A plain copyable value; copies carry every
// field.
#ifndef VANTREL_ZONEDATA_H
#define VANTREL_ZONEDATA_H

#include <chrono>
#include <cstdint>
#include <string>

class zoneData {
public:
    zoneData();
    explicit zoneData(std::string _zoneName);
    zoneData(const zoneData& z);
    zoneData(zoneData&& z) noexcept;
    ~zoneData();

    // Copies name, type, found, deletedZone and newZone, in that order, from
    // the by-value source (whose strings it may take over). Returns nothing,
    // so assignments cannot be chained.
    void operator=(zoneData z);

    // Replaces the name unless |_name| is empty.
    void setZoneName(std::string _name);
    // Replaces the type unless |_type| is empty.
    void setZoneType(std::string _type);
    std::string getZoneName() const { return zoneName; }
    std::string getZoneType() const { return zoneType; }

    void setFound(bool _found) { found = _found; }
    bool isFound() const { return found; }
    void setNewZone(bool _newZone) { newZone = _newZone; }
    bool isNewZone() const { return newZone; }
    void setDeletedZone(bool _deleted) { deletedZone = _deleted; }
    bool isDeleted() const { return deletedZone; }
    // When the first trusted reading that missed the zone ran (the steady
    // clock, kept in whole seconds rounded up); the default value while the
    // zone is in the file. The reader sets it when it first flags the record
    // deleted and resets it when a reading finds the zone again; the deletion
    // grace period runs from it.
    void setDeletedSince(std::chrono::steady_clock::time_point _since);
    std::chrono::steady_clock::time_point getDeletedSince() const;
    // Whether the service is known to hold the zone: set when an insertion
    // that carried it was accepted or the service listed it; readings never
    // touch it.
    void setAtService(bool _atService) { atService = _atService; }
    bool isAtService() const { return atService; }

    // The name without a copy, for lookups and sorting.
    const std::string& zoneNameRef() const { return zoneName; }

private:
    std::string zoneName;
    std::string zoneType;
    bool found;
    bool deletedZone;
    bool newZone;
    bool atService = false;
    // getDeletedSince() in seconds, 0 for none: four bytes keep a record as
    // small as it was without it.
    uint32_t deletedSince = 0;
};

#endif  // VANTREL_ZONEDATA_H
