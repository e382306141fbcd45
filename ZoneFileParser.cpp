#include "ZoneFileParser.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "mylibs.h"

namespace {

// |_name| as it is compared and sent: without one trailing dot that is not
// escaped (the root zone "." becomes empty).
std::string_view withoutTrailingDot(std::string_view _name) {
    size_t backslashes = 0;
    while (backslashes + 1 < _name.size() && _name[_name.size() - 2 - backslashes] == '\\') {
        ++backslashes;
    }
    const bool dot = !_name.empty() && _name.back() == '.' && backslashes % 2 == 0;
    return dot ? _name.substr(0, _name.size() - 1) : _name;
}

// The zones a name server answers from itself and that must never reach a
// public service: localhost and invalid, the reverse zones of the loopback,
// "this", broadcast, private, link-local and documentation addresses and
// their IPv6 counterparts, and the localhost.localdomain of some
// distributions' default files.
const std::vector<std::string>& locallyServedZones() {
    static const std::vector<std::string> zones = [] {
        std::vector<std::string> list = {"localhost",
                                         "localhost.localdomain",
                                         "invalid",
                                         "0.in-addr.arpa",
                                         "10.in-addr.arpa",
                                         "127.in-addr.arpa",
                                         "255.in-addr.arpa",
                                         "254.169.in-addr.arpa",
                                         "168.192.in-addr.arpa",
                                         "2.0.192.in-addr.arpa",
                                         "100.51.198.in-addr.arpa",
                                         "113.0.203.in-addr.arpa",
                                         "d.f.ip6.arpa",
                                         "8.e.f.ip6.arpa",
                                         "9.e.f.ip6.arpa",
                                         "a.e.f.ip6.arpa",
                                         "b.e.f.ip6.arpa",
                                         "8.b.d.0.1.0.0.2.ip6.arpa"};
        for (int octet = 16; octet <= 31; ++octet) {
            list.push_back(std::to_string(octet) + ".172.in-addr.arpa");
        }
        std::string zeros;
        for (int nibble = 0; nibble < 31; ++nibble) {
            zeros += "0.";
        }
        list.push_back("0." + zeros + "ip6.arpa");  // ::
        list.push_back("1." + zeros + "ip6.arpa");  // ::1
        return list;
    }();
    return zones;
}

// True when |_name| is a locally served zone or lies below one, letter case
// aside.
bool isLocallyServed(std::string_view _name) {
    // Each of them ends in "arpa", "localhost", "invalid" or "localdomain".
    const char end = _name.empty() ? '\0' : asciiFold(_name.back());
    if (end != 'a' && end != 't' && end != 'd' && end != 'n') {
        return false;
    }
    const std::string_view last = _name.substr(_name.rfind('.') + 1);
    if (compareFolded(last, "arpa") != 0 && compareFolded(last, "localhost") != 0 &&
        compareFolded(last, "invalid") != 0 && compareFolded(last, "localdomain") != 0) {
        return false;
    }
    for (const std::string& zone : locallyServedZones()) {
        if (_name.size() >= zone.size() &&
            compareFolded(_name.substr(_name.size() - zone.size()), zone) == 0 &&
            (_name.size() == zone.size() || _name[_name.size() - zone.size() - 1] == '.')) {
            return true;
        }
    }
    return false;
}

// The first eight bytes from |_from| on of |_name| with A-Z folded, as a
// big-endian number padded with zero bytes: comparing two such numbers
// compares those bytes.
uint64_t foldedWord(std::string_view _name, size_t _from) {
    uint64_t word = 0;
    for (size_t at = _from; at < _from + 8; ++at) {
        const char c = at < _name.size() ? asciiFold(_name[at]) : '\0';
        word = word << 8 | static_cast<unsigned char>(c);
    }
    return word;
}

// A zone statement in the order of its view, then its folded name: the
// first 24 folded bytes spare most comparisons the names themselves.
struct sortKey {
    uint32_t view;
    uint32_t index;
    uint64_t prefix[3];
};

std::string location(const namedConf& _conf, const zoneStatement& _zone) {
    return _conf.files[_zone.file].path + ":" + std::to_string(_zone.line);
}

// A statement's name as it is compared and sent.
std::string_view nameOf(const namedConf& _conf, uint32_t _index) {
    const zoneStatement& zone = _conf.zones[_index];
    return withoutTrailingDot(std::string_view(_conf.names).substr(zone.nameOffset, zone.nameSize));
}

// The statements of a reading in the order of their view and folded name,
// and what BIND refuses beyond the grammar: a name stated twice in one view
// (a hint or redirect zone aside), zones outside the views of a file with
// views, an in-view zone that the view it names does not serve, a ZONES_VIEW
// the file does not declare.
// Sets |_chosen| to the view considered (0 outside views, UINT32_MAX for
// none) and |_order| to its statements' indexes; an in-view statement takes
// its zone's type. Returns the ERROR line, or empty text.
std::string orderStatements(namedConf* _conf, const std::string& _zonesView,
                            const std::string& _path, uint32_t* _chosen,
                            std::vector<uint32_t>* _order) {
    namedConf& conf = *_conf;
    const auto refuse = [&conf](const zoneStatement& _zone, const std::string& _why) {
        return location(conf, _zone) + ": zone \"" + conf.nameOf(_zone) + "\" " + _why +
               "; deferring update.";
    };
    for (const zoneStatement& zone : conf.zones) {
        if (zone.view == 0 && !conf.views.empty()) {
            return refuse(zone, "stands outside the views of a file with views");
        }
    }
    const auto viewIndex = [&conf](const std::string& _name) {
        return static_cast<uint32_t>(std::find(conf.views.begin(), conf.views.end(), _name) -
                                     conf.views.begin()) +
               1;
    };
    *_chosen = !_zonesView.empty() ? viewIndex(_zonesView) : conf.views.empty() ? 0 : UINT32_MAX;
    if (*_chosen == conf.views.size() + 1) {
        return "ZONES_VIEW names view \"" + _zonesView + "\", which " + _path +
               " does not declare; deferring update.";
    }
    const auto nameAt = [&conf](uint32_t _index) { return nameOf(conf, _index); };
    const auto keyOf = [&nameAt](uint32_t _view, uint32_t _index) {
        const std::string_view name = nameAt(_index);
        return sortKey{
            _view, _index, {foldedWord(name, 0), foldedWord(name, 8), foldedWord(name, 16)}};
    };
    std::vector<sortKey> keys;
    keys.reserve(conf.zones.size());
    for (uint32_t i = 0; i < conf.zones.size(); ++i) {
        keys.push_back(keyOf(conf.zones[i].view, i));
    }
    // BIND keeps hint and redirect zones in tables of their own: such a zone
    // may share its name with a zone of another table in the same view.
    std::vector<uint8_t> tableOf(conf.words.size(), 0);
    for (size_t w = 0; w < conf.words.size(); ++w) {
        tableOf[w] = conf.words[w] == "hint" ? 1 : conf.words[w] == "redirect" ? 2 : 0;
    }
    const auto table = [&conf, &tableOf](uint32_t _index) {
        const uint32_t type = conf.zones[_index].type;
        return type == zoneStatement::NO_WORD ? 0 : tableOf[type];
    };
    // <0, 0 or >0 as |_a| sorts before, with or after |_b| by view and name.
    const auto compare = [&nameAt](const sortKey& _a, const sortKey& _b) {
        const auto tied = [](const sortKey& _k) {
            return std::tie(_k.view, _k.prefix[0], _k.prefix[1], _k.prefix[2]);
        };
        if (tied(_a) != tied(_b)) {
            return tied(_a) < tied(_b) ? -1 : 1;
        }
        return compareFolded(nameAt(_a.index), nameAt(_b.index));
    };
    // By view, name and table: the zone a name means comes first.
    const auto order = [&compare, &table](const sortKey& _a, const sortKey& _b) {
        const int names = compare(_a, _b);
        return names != 0 ? names < 0 : table(_a.index) < table(_b.index);
    };
    std::sort(keys.begin(), keys.end(), order);
    for (size_t k = 1; k < keys.size(); ++k) {
        if (!order(keys[k - 1], keys[k])) {
            const uint32_t first = std::min(keys[k - 1].index, keys[k].index);
            return refuse(conf.zones[std::max(keys[k - 1].index, keys[k].index)],
                          "stated twice in the same view (first at " +
                              location(conf, conf.zones[first]) + ")");
        }
    }
    for (uint32_t i = 0; i < conf.zones.size(); ++i) {
        zoneStatement& zone = conf.zones[i];
        if (zone.inView != zoneStatement::NO_WORD) {
            const sortKey probe = keyOf(viewIndex(conf.words[zone.inView]), i);
            const auto found = std::lower_bound(keys.begin(), keys.end(), probe, order);
            if (found == keys.end() || compare(probe, *found) != 0 ||
                conf.zones[found->index].inView != zoneStatement::NO_WORD) {
                return refuse(zone, "is in-view \"" + conf.words[zone.inView] +
                                        "\", which does not serve it");
            }
            zone.type = conf.zones[found->index].type;
        }
    }
    for (const sortKey& key : keys) {
        if (key.view == *_chosen) {
            _order->push_back(key.index);
        }
    }
    return std::string();
}

}  // namespace

ZoneFileParser::ZoneFileParser(const ConfigFileParser* _configFile)
    : zones(new std::vector<zoneData>()) {
    if (_configFile != nullptr) {
        filename = _configFile->getZoneFileName();
        followIncludes = _configFile->getFollowIncludes();
        zonesView = _configFile->getZonesView();
        excludePatterns = _configFile->getExcludeZones();
    }
}

ZoneFileParser::~ZoneFileParser() = default;

std::string ZoneFileParser::whyNotMirrored(const namedConf& _conf, uint32_t _index,
                                           uint32_t _chosen) const {
    const zoneStatement& zone = _conf.zones[_index];
    if (zone.view != _chosen) {
        return "in view \"" + _conf.views[zone.view - 1] + "\" (ZONES_VIEW=" + zonesView + ")";
    }
    if (zone.zoneClass != zoneStatement::NO_WORD) {
        return "class " + _conf.words[zone.zoneClass] + ", not IN";
    }
    if (zone.type == zoneStatement::NO_WORD) {
        return "its type is in an include that is not read (FOLLOW_INCLUDES=FALSE)";
    }
    const std::string& type = _conf.words[zone.type];
    if (type != "master" && type != "primary") {
        return "not primary (type " + type +
               (zone.inView != zoneStatement::NO_WORD
                    ? " in view \"" + _conf.words[zone.inView] + "\")"
                    : std::string(")"));
    }
    const std::string_view name = nameOf(_conf, _index);
    if (name.empty()) {
        return "the root zone";
    }
    if (isLocallyServed(name)) {
        return "locally served";
    }
    const std::string text(excludePatterns.empty() ? std::string_view() : name);
    for (const std::string& pattern : excludePatterns) {
        if (fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD) == 0) {
            return "excluded by EXCLUDE_ZONES pattern \"" + pattern + "\"";
        }
    }
    return std::string();
}

int ZoneFileParser::readZones() {
    foundZones = 0;
    deletedZones = 0;
    newZones = 0;
    // The API client erases every record whose deletion the service accepted,
    // so a record still flagged deleted is a deletion still owed (refused, or
    // waiting for its grace period): it stays flagged, and the unchanged
    // files are not read again for it.
    const bool owed = clearFlags();
    if (!zonesFileChanged()) {
        eventLog(DEBUG, "Zones file hasn't changed. Deferring update.");
        readError.clear();
        if (!owed) {
            lastResult = readResult::Unchanged;
            return 0;
        }
        for (const zoneData& record : *zones) {
            deletedZones += record.isDeleted();
        }
        return lastResult == readResult::Read ? lastConsidered : 0;
    }
    namedConf conf;
    uint32_t chosen = 0;
    std::vector<uint32_t> considered;
    std::string error = readNamedConf(filename, followIncludes, &conf);
    if (error.empty()) {
        error = orderStatements(&conf, zonesView, filename, &chosen, &considered);
    }
    if (!error.empty()) {
        return failReading(error);
    }
    if (isLogged(DEBUG)) {
        for (const zoneStatement& zone : conf.zones) {
            if (zone.view == chosen) {
                eventLog(DEBUG, "Loading zone:" + conf.nameOf(zone));
            }
        }
    }
    std::vector<bool> mirrored(conf.zones.size());
    for (uint32_t i = 0; i < conf.zones.size(); ++i) {
        mirrored[i] = conf.zones[i].view == chosen && whyNotMirrored(conf, i, chosen).empty();
    }
    mergeRecords(conf, considered, mirrored);
    eventLog(DEBUG, "Zone changes:" + std::to_string(newZones));

    stamps = std::move(conf.files);
    readError.clear();
    skippedIncludes = std::move(conf.skippedIncludes);
    skippedZones.clear();
    for (uint32_t i = 0; reportSkipped && i < conf.zones.size(); ++i) {
        std::string why = whyNotMirrored(conf, i, chosen);
        if (!why.empty()) {
            skippedZones.push_back({conf.nameOf(conf.zones[i]), std::move(why)});
        }
    }
    describeNoZones(conf, chosen);
    flagsSet = !zones->empty();
    lastResult = considered.empty() ? readResult::NoZoneBlocks : readResult::Read;
    readSucceeded = readSucceeded || !considered.empty();
    return lastConsidered = static_cast<int>(considered.size());
}

void ZoneFileParser::describeNoZones(const namedConf& _conf, uint32_t _chosen) {
    noZonesReason = _chosen != 0 && _chosen != UINT32_MAX
                        ? "view \"" + zonesView + "\" of the zones file holds no zone statement"
                        : "the zones file holds no zone statement";
    for (size_t i = 0; i < skippedIncludes.size(); ++i) {
        noZonesReason += (i == 0 ? "; it includes \"" : ", \"") + skippedIncludes[i] + "\"";
    }
    if (!skippedIncludes.empty()) {
        noZonesReason += ", not read while FOLLOW_INCLUDES=FALSE";
    }
    if (_chosen == UINT32_MAX) {
        std::vector<size_t> perView(_conf.views.size() + 1, 0);
        for (const zoneStatement& zone : _conf.zones) {
            ++perView[zone.view];
        }
        noZonesReason += "; its zones sit in views";
        for (size_t v = 0; v < _conf.views.size(); ++v) {
            noZonesReason += std::string(v == 0 ? " \"" : ", \"") + _conf.views[v] + "\" (" +
                             std::to_string(perView[v + 1]) + ")";
        }
        noZonesReason += ": set ZONES_VIEW to the view to mirror";
    }
}

void ZoneFileParser::mergeRecords(const namedConf& _conf, const std::vector<uint32_t>& _order,
                                  const std::vector<bool>& _mirrored) {
    // Both the records and the statements are in folded order: one walk
    // over the two meets the known zones, whatever their type now (a zone
    // that turned secondary stays), and flags the vanished ones deleted; the
    // new primary zones join at the end, then take their places.
    std::vector<zoneData>& records = *zones;
    const size_t known = records.size();
    if (known == 0) {
        records.reserve(_order.size());  // a first reading: most are new
    }
    const auto nameAt = [&_conf](uint32_t _index) { return nameOf(_conf, _index); };
    // The grace period of a deletion runs from the first trusted reading
    // that missed the zone.
    const auto now = std::chrono::steady_clock::now();
    const auto flagDeleted = [this, &now](zoneData& _record) {
        _record.setDeletedZone(true);
        ++deletedZones;
        if (_record.getDeletedSince() == std::chrono::steady_clock::time_point()) {
            _record.setDeletedSince(now);
        }
    };
    size_t r = 0;
    for (size_t k = 0; k < _order.size(); ++k) {
        // The statements and their names lie scattered in file order; asking
        // for a few ahead keeps several memory reads in flight.
        if (k + 8 < _order.size()) {
            __builtin_prefetch(&_conf.zones[_order[k + 8]]);
            __builtin_prefetch(_conf.names.data() + _conf.zones[_order[k + 4]].nameOffset);
        }
        const std::string_view name = nameAt(_order[k]);
        const bool mirrored = _mirrored[_order[k]];
        int order = 1;
        for (; r < known && (order = compareFolded(records[r].zoneNameRef(), name)) < 0; ++r) {
            flagDeleted(records[r]);
        }
        if (r < known && order == 0) {
            records[r].setFound(true);
            records[r].setDeletedZone(false);
            records[r].setDeletedSince({});
            ++foundZones;
            ++r;
        } else if (mirrored) {
            records.emplace_back(std::string(name));
            records.back().setZoneType("master");
            records.back().setNewZone(true);
            ++newZones;
        }
    }
    for (; r < known; ++r) {
        flagDeleted(records[r]);
    }
    std::inplace_merge(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(known),
                       records.end(), [](const zoneData& _a, const zoneData& _b) {
                           return compareFolded(_a.zoneNameRef(), _b.zoneNameRef()) < 0;
                       });
}

std::vector<zoneData>* ZoneFileParser::getZones() {
    return zones.get();
}

zoneData* ZoneFileParser::getZones(int& zone_count) {
    zone_count = static_cast<int>(zones->size());
    zoneData* copy = new zoneData[zones->size()];
    std::copy(zones->begin(), zones->end(), copy);
    return copy;
}

std::vector<std::string> ZoneFileParser::getFilesRead() const {
    std::vector<std::string> paths;
    for (const fileStamp& stamp : stamps) {
        paths.push_back(stamp.path);
    }
    return paths.empty() ? std::vector<std::string>{filename} : paths;
}

bool ZoneFileParser::zonesFileChanged() const {
    if (stamps.empty()) {
        return true;
    }
    // Size and modification time catch edits; the status-change time, inode
    // and device catch a file renamed into place with an older modification
    // time and a change of permissions that makes the file readable again.
    for (const fileStamp& stamp : stamps) {
        struct stat now;
        const struct stat& then = stamp.status;
        if (stat(stamp.path.c_str(), &now) != 0 || now.st_size != then.st_size ||
            now.st_mtim.tv_sec != then.st_mtim.tv_sec ||
            now.st_mtim.tv_nsec != then.st_mtim.tv_nsec ||
            now.st_ctim.tv_sec != then.st_ctim.tv_sec ||
            now.st_ctim.tv_nsec != then.st_ctim.tv_nsec || now.st_ino != then.st_ino ||
            now.st_dev != then.st_dev) {
            return true;
        }
    }
    return false;
}

bool ZoneFileParser::zonesChanged(int& _newZones, int& _deletedZones) {
    if (foundZones > 0 || deletedZones > 0 || newZones > 0) {
        _newZones = newZones;
        _deletedZones = deletedZones;
        return true;
    }
    return false;
}

bool ZoneFileParser::clearFlags() {
    if (!flagsSet) {
        return false;
    }
    bool owed = false;
    for (zoneData& record : *zones) {
        record.setFound(false);
        record.setNewZone(false);
        owed = owed || record.isDeleted();
    }
    flagsSet = owed;
    return owed;
}

int ZoneFileParser::failReading(const std::string& _error) {
    eventLog(ERROR, _error);
    readError = _error;
    lastResult = readResult::Failed;
    return 0;
}
