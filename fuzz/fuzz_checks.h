// The checks the fuzz targets run on one input, shared with the regression
// tests that replay stored inputs. Each check returns a description of the
// first invariant it found broken, or empty text.
#ifndef VANTREL_FUZZ_FUZZ_CHECKS_H
#define VANTREL_FUZZ_FUZZ_CHECKS_H

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "mylibs.h"
#include "ServiceSession.h"
#include "tests/test_util.h"

namespace fuzzchecks {

// Writes |content| beside |path| and renames it into place, so that |path|
// gets a new inode even when size and times stay the same.
inline bool replaceWhole(const std::string& path, const std::string& content) {
    testutil::writeFile(path + ".next", content);
    return std::rename((path + ".next").c_str(), path.c_str()) == 0;
}

// Removes "//" and "/*" ... "*/" comments as both file formats define them:
// a line comment keeps its line feed, a block comment's end is searched from
// its "*", an unclosed comment runs to the end, and a NUL byte outside a
// comment ends the removal with the rest kept as it is.
inline std::string referenceStripComments(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\0') {
            return out + text.substr(i);
        }
        const bool slash = text[i] == '/' && i + 1 < text.size();
        if (slash && (text[i + 1] == '/' || text[i + 1] == '*')) {
            const size_t end = text[i + 1] == '/' ? text.find('\n', i) : text.find("*/", i + 1);
            if (end == std::string::npos) {
                break;
            }
            i = text[i + 1] == '/' ? end : end + 2;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

// Every setting a configuration reports, as one comparable text per key.
inline std::vector<std::string> settingsOf(const ConfigFileParser& c) {
    std::vector<std::string> settings = {c.getZoneFileName(),    c.getServerHostname(),
                                         c.getToken(),           c.getCaFile(),
                                         c.getCpanelZonesFile(), c.getMetricsFile()};
    for (const long long number : std::initializer_list<long long>{
             c.getDaemonize(), c.getCpanelMethod(), c.getWatchZonesFile(), c.getUpZoneInterval(),
             c.getLoggingLevel(), c.getMaxDeletePercent(), c.getDeleteGrace()}) {
        settings.push_back(std::to_string(number));
    }
    return settings;
}

// Decodes a configuration text independently of ConfigFileParser, in the
// order settingsOf lists the settings: lines of at least two characters (a
// shorter one joins the next), the text after the last line feed dropped,
// KEY=VALUE split at the first "=" (a line without one is key and value),
// later keys overriding earlier ones except that DAEMONIZE=TRUE sticks;
// integers read by strtoll and clamped, blank values leaving them alone.
inline std::vector<std::string> referenceDecode(const std::string& raw) {
    std::vector<std::string> s = {"", "", "", "", "", "", "0", "0", "1", "180", "0", "50", "60"};
    const std::string keys[] = {"ZONES_FILE",      "SERVER_HOSTNAME",   "TOKEN",
                                "CA_FILE",         "CPANEL_ZONES_FILE", "METRICS_FILE",
                                "DAEMONIZE",       "CPANEL_METHOD",     "WATCH_ZONES_FILE",
                                "UPDATE_INTERVAL", "LOG_LEVEL",         "MAX_DELETE_PERCENT",
                                "DELETE_GRACE"};
    std::string line;
    for (const char c : referenceStripComments(raw)) {
        if (c != '\n' || line.size() < 2) {
            line += c == '\n' ? "" : std::string(1, c);
            continue;
        }
        const size_t equals = line.find('=');
        const size_t k = std::find(keys, keys + 13, line.substr(0, equals)) - keys;
        const std::string value = equals == std::string::npos ? line : line.substr(equals + 1);
        line.clear();
        const size_t from = value.find_first_not_of(' ');
        const std::string level = from == std::string::npos
                                      ? ""
                                      : value.substr(from, value.find_last_not_of(' ') - from + 1);
        // Leading integer after white space, saturated to 32 bits; a blank
        // value leaves the setting alone.
        const bool blank = value.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
        char* end = nullptr;
        const long long number =
            std::max(-2147483648LL, std::min(2147483647LL, std::strtoll(value.c_str(), &end, 10)));
        const bool digits = end != value.c_str();
        if (k < 6) {
            s[k] = value;
        } else if (k == 6 && level == "TRUE") {
            s[6] = "1";
        } else if (k == 7) {
            s[7] = level == "TRUE" ? "1" : "0";
        } else if (k == 8) {
            s[8] = level == "FALSE" ? "0" : "1";
        } else if (k == 9 && !blank) {
            s[9] = std::to_string(number);
        } else if (k == 10) {
            s[10] = level == "ERROR" ? "3" : level == "WARN" ? "2" : level == "INFO" ? "1" : "0";
        } else if (k == 11 && !blank) {
            s[11] = digits && number >= 0 && number <= 100 ? std::to_string(number) : "50";
        } else if (k == 12 && !blank) {
            s[12] = digits && number >= 0 ? std::to_string(number) : "60";
        }
    }
    return s;
}

// Writes |content| as a configuration file in |dir|, decodes it and compares
// every setting with the reference decoding; decoding the same file again on
// top must change nothing.
inline std::string checkConfig(const std::string& dir, const std::string& content) {
    const std::string path = dir + "/vantrel.conf";
    testutil::writeFile(path, content);
    ConfigFileParser config(path);
    const std::vector<std::string> want = referenceDecode(content);
    std::vector<std::string> got = settingsOf(config);
    for (size_t i = 0; i < want.size(); ++i) {
        if (got[i] != want[i]) {
            return "setting " + std::to_string(i) + " is \"" + got[i] + "\" instead of \"" +
                   want[i] + "\"";
        }
    }
    config.setConfigFilename(path);
    return settingsOf(config) == want ? "" : "a second decoding of the same file changed it";
}

// Judges |text| as a reply, as a zone list (whole and a slice at a time) and
// encodes it as a form value: failures leave the outputs empty, both readers
// agree on whether the text is JSON, a sliced reading that succeeds gives the
// whole reading's names, and the encoding is exactly the %XX encoding of
// every byte but letters, digits and "-._~". (It writes no file to |dir|.)
inline std::string checkReply(const std::string& /*dir*/, const std::string& text) {
    std::string message = "stale";
    bool messageParsed = false;
    if (!ServiceSession::readReplyMessage(text, message, messageParsed) && !message.empty()) {
        return "readReplyMessage failed but left a message";
    }
    nameList names;
    names.push_back("stale");
    bool listParsed = false;
    const bool listed = ServiceSession::readList(text, "zone", names, listParsed);
    if ((!listed && !names.empty()) || listParsed != messageParsed) {
        return "readZoneList left names on failure or disagrees on whether the text is JSON";
    }
    nameList sliced;
    bool slicedParsed = false;
    if (ServiceSession::readList(text, "zone", sliced, slicedParsed, 0) &&
        (!listed || !(sliced == names))) {
        return "the sliced reading of a zone list differs from the whole reading";
    }
    std::string encoded;
    if (!ServiceSession::encodeFormValue(text, encoded)) {
        return "encodeFormValue failed";
    }
    std::string expected;
    for (const char c : text) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) ||
                           std::string("-._~").find(c) != std::string::npos;
        expected += plain ? std::string(1, c) : escape;
    }
    return encoded == expected ? "" : "encodeFormValue is not the %XX encoding of every other byte";
}

// Reads the zones file with |parser| and checks the zone vector's invariants
// after the reading: names valid and in strictly ascending folded order, the
// counts of zonesChanged matching the flags, and a refused reading leaving
// the names as they were.
inline std::string readAndCheck(ZoneFileParser& parser) {
    std::vector<std::string> before;
    for (const zoneData& zone : *parser.getZones()) {
        before.push_back(asciiLower(zone.getZoneName()));
    }
    parser.readZones();
    const std::vector<zoneData>& zones = *parser.getZones();
    std::vector<std::string> names;
    int added = 0;
    int deleted = 0;
    for (const zoneData& zone : zones) {
        names.push_back(asciiLower(zone.getZoneName()));
        added += zone.isNewZone();
        deleted += zone.isDeleted();
        if (zone.getZoneName().empty() || !zoneNameProblem(zone.getZoneName()).empty()) {
            return "a record is no valid zone name: " + zone.getZoneName();
        }
    }
    if (std::adjacent_find(names.begin(), names.end(), std::greater_equal<std::string>()) !=
        names.end()) {
        return "the records are not in strictly ascending folded order";
    }
    int newCount = -1;
    int deletedCount = -1;
    if (parser.zonesChanged(newCount, deletedCount) &&
        (newCount != added || deletedCount != deleted)) {
        return "zonesChanged counts differ from the flags";
    }
    if (parser.getLastResult() == readResult::Failed && names != before) {
        return "a refused reading changed the records";
    }
    return "";
}

// Reads the input's two versions of the zones file (split at its first 0xFF
// byte) in |dir| with one parser: the first, the second renamed into place,
// the unchanged file, the file moved away and back. After every reading the
// records keep their invariants, and after the second version they equal a
// fresh parser's reading of it.
inline std::string checkZones(const std::string& dir, const std::string& input) {
    const std::string path = dir + "/named.conf";
    const size_t split = input.find('\xff');
    const std::string versions[2] = {input.substr(0, split),
                                     split == std::string::npos ? input : input.substr(split + 1)};
    testutil::writeFile(dir + "/vantrel.conf", "ZONES_FILE=" + path + "\nFOLLOW_INCLUDES=TRUE\n");
    const ConfigFileParser config(dir + "/vantrel.conf");
    ZoneFileParser parser(&config);
    const char* const steps[] = {"first", "second", "unchanged", "moved away", "restored"};
    std::string problem;
    for (int step = 0; step < 5 && problem.empty(); ++step) {
        if ((step < 2 && !replaceWhole(path, versions[step])) ||
            (step == 3 && std::rename(path.c_str(), (path + ".away").c_str()) != 0) ||
            (step == 4 && std::rename((path + ".away").c_str(), path.c_str()) != 0)) {
            return "cannot write the zones file";
        }
        problem = readAndCheck(parser);
        problem = problem.empty() ? problem : steps[step] + (": " + problem);
        if (step == 1 && problem.empty() && parser.getLastResult() != readResult::Failed) {
            ZoneFileParser fresh(&config);
            fresh.readZones();
            // The parser holds the fresh reading's zones, and beyond them only
            // known zones whose statements turned to another type.
            std::vector<std::string> freshNames;
            for (const zoneData& zone : *fresh.getZones()) {
                freshNames.push_back(asciiLower(zone.getZoneName()));
            }
            size_t f = 0;
            for (const zoneData& zone : *parser.getZones()) {
                const bool inFresh =
                    f < freshNames.size() && freshNames[f] == asciiLower(zone.getZoneName());
                f += inFresh;
                if (!zone.isDeleted() && !inFresh && zone.isNewZone()) {
                    problem = "a reading after another added a zone a fresh reading lacks";
                }
            }
            if (f != freshNames.size() || fresh.getLastResult() != parser.getLastResult()) {
                problem = "a reading after another differs from a fresh reading";
            }
        }
    }
    return problem;
}

}  // namespace fuzzchecks

#endif  // VANTREL_FUZZ_FUZZ_CHECKS_H
