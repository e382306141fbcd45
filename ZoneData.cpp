#include "ZoneData.h"

#include <algorithm>
#include <limits>
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

void zoneData::setDeletedSince(std::chrono::steady_clock::time_point _since) {
    const long long seconds =
        std::chrono::ceil<std::chrono::seconds>(_since.time_since_epoch()).count();
    deletedSince = _since == std::chrono::steady_clock::time_point()
                       ? 0
                       : static_cast<uint32_t>(std::clamp<long long>(
                             seconds, 1, std::numeric_limits<uint32_t>::max()));
}

std::chrono::steady_clock::time_point zoneData::getDeletedSince() const {
    return deletedSince == 0
               ? std::chrono::steady_clock::time_point()
               : std::chrono::steady_clock::time_point(std::chrono::seconds(deletedSince));
}
