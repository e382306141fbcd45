#include "ZoneData.h"

#include <utility>

zoneData::zoneData() : found(false), deletedZone(false), newZone(false) {}

zoneData::zoneData(std::string _zoneName)
    : zoneName(std::move(_zoneName)), found(false), deletedZone(false), newZone(false) {}

zoneData::zoneData(const zoneData& z) = default;

zoneData::zoneData(zoneData&& z) noexcept = default;

zoneData::~zoneData() = default;

void zoneData::operator=(zoneData z) {
    zoneName = std::move(z.zoneName);
    zoneType = std::move(z.zoneType);
    found = z.found;
    deletedZone = z.deletedZone;
    newZone = z.newZone;
    atService = z.atService;
    deletedSince = z.deletedSince;
}

void zoneData::setZoneName(std::string _name) {
    if (!_name.empty()) {
        zoneName = std::move(_name);
    }
}

void zoneData::setZoneType(std::string _type) {
    if (!_type.empty()) {
        zoneType = std::move(_type);
    }
}
