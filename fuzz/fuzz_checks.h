// The checks the fuzz targets run on one input, shared with the regression
// tests that replay stored inputs. Each check drives the real component over
// real files and returns a description of the first invariant it found
// broken, or empty text when every invariant held.
#ifndef VANTREL_FUZZ_FUZZ_CHECKS_H
#define VANTREL_FUZZ_FUZZ_CHECKS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "serverConnector.h"

namespace fuzzchecks {

// Separates the two versions of the zones file in a zones input.
constexpr char kZonesSplit = '\xff';

// Writes |content| to |path| (created or truncated), byte for byte. False
// when the file could not be written whole.
inline bool writeWhole(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

// Writes |content| under a new name beside |path| and renames it into place,
// so that |path| gets a new inode even when size and times stay the same.
inline bool replaceWhole(const std::string& path, const std::string& content) {
    const std::string next = path + ".next";
    return writeWhole(next, content) && std::rename(next.c_str(), path.c_str()) == 0;
}

// ---------------------------------------------------------------------------
// Configuration decoding.

// What a decoded configuration holds, as the getters report it.
struct ConfigSettings {
    std::string zoneFile;
    std::string host;
    std::string token;
    std::string caFile;
    std::string cpanelZonesFile;
    bool daemonize = false;
    bool cpanelMethod = false;
    int32_t interval = UPDATE_ZONES_INTERVAL;
    logLevel level = LOGGING_LEVEL;
};

// The settings |config| reports.
inline ConfigSettings settingsOf(ConfigFileParser& config) {
    ConfigSettings s;
    s.zoneFile = config.getZoneFileName();
    s.host = config.getServerHostname();
    s.token = config.getToken();
    s.caFile = config.getCaFile();
    s.cpanelZonesFile = config.getCpanelZonesFile();
    s.daemonize = config.getDaemonize();
    s.cpanelMethod = config.getCpanelMethod();
    s.interval = config.getUpZoneInterval();
    s.level = config.getLoggingLevel();
    return s;
}

// Removes "//" and "/*" ... "*/" comments the way the configuration format
// defines them: a line comment keeps its line feed, a block comment's end is
// searched from its "*", an unclosed comment runs to the end, and a NUL byte
// outside a comment ends the removal with the rest kept as it is.
inline std::string referenceStripComments(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\0') {
            out.append(text, i, std::string::npos);
            break;
        }
        const bool slash = text[i] == '/' && i + 1 < text.size();
        if (slash && text[i + 1] == '/') {
            const size_t lf = text.find('\n', i);
            if (lf == std::string::npos) {
                break;
            }
            i = lf;
        } else if (slash && text[i + 1] == '*') {
            const size_t close = text.find("*/", i + 1);
            if (close == std::string::npos) {
                break;
            }
            i = close + 2;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

// |value| without spaces (code 32 only) at either end.
inline std::string referenceTrim(const std::string& value) {
    const size_t first = value.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return value.substr(first, value.find_last_not_of(' ') - first + 1);
}

// The interval a value gives after |current|: unchanged for an empty or
// blank value, otherwise strtoll's reading of it clamped to 32 bits.
inline int32_t referenceInterval(const std::string& value, int32_t current) {
    if (value.find_first_not_of(" \t\r\n\v\f") == std::string::npos) {
        return current;
    }
    const long long parsed = std::strtoll(value.c_str(), nullptr, 10);
    if (parsed > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (parsed < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(parsed);
}

// Decodes a configuration text independently of ConfigFileParser: lines of
// at least two characters (a shorter one joins the next), the text after the
// last line feed dropped, KEY=VALUE split at the first "=" (a line without
// one is both key and value), later keys overriding earlier ones except that
// DAEMONIZE=TRUE sticks.
inline ConfigSettings referenceDecode(const std::string& raw) {
    const std::string text = referenceStripComments(raw);
    std::vector<std::string> rows;
    std::string line;
    for (const char c : text) {
        if (c != '\n') {
            line.push_back(c);
        } else if (line.size() >= 2) {
            rows.push_back(line);
            line.clear();
        }
    }
    ConfigSettings s;
    for (const std::string& row : rows) {
        const size_t equals = row.find('=');
        const std::string key = row.substr(0, equals);
        const std::string value = equals == std::string::npos ? row : row.substr(equals + 1);
        if (key == "CPANEL_METHOD") {
            s.cpanelMethod = referenceTrim(value) == "TRUE";
        } else if (key == "CPANEL_ZONES_FILE") {
            s.cpanelZonesFile = value;
        } else if (key == "ZONES_FILE") {
            s.zoneFile = value;
        } else if (key == "SERVER_HOSTNAME") {
            s.host = value;
        } else if (key == "DAEMONIZE") {
            s.daemonize = s.daemonize || referenceTrim(value) == "TRUE";
        } else if (key == "UPDATE_INTERVAL") {
            s.interval = referenceInterval(value, s.interval);
        } else if (key == "LOG_LEVEL") {
            const std::string level = referenceTrim(value);
            s.level = level == "ERROR"  ? ERROR
                      : level == "WARN" ? WARN
                      : level == "INFO" ? INFO
                                        : DEBUG;
        } else if (key == "TOKEN") {
            s.token = value;
        } else if (key == "CA_FILE") {
            s.caFile = value;
        }
    }
    return s;
}

// Names the first setting in which |got| differs from |want|; empty when
// they agree.
inline std::string compareSettings(const ConfigSettings& got, const ConfigSettings& want) {
    if (got.zoneFile != want.zoneFile) {
        return "ZONES_FILE differs";
    }
    if (got.host != want.host) {
        return "SERVER_HOSTNAME differs";
    }
    if (got.token != want.token) {
        return "TOKEN differs";
    }
    if (got.caFile != want.caFile) {
        return "CA_FILE differs";
    }
    if (got.cpanelZonesFile != want.cpanelZonesFile) {
        return "CPANEL_ZONES_FILE differs";
    }
    if (got.daemonize != want.daemonize) {
        return "DAEMONIZE differs";
    }
    if (got.cpanelMethod != want.cpanelMethod) {
        return "CPANEL_METHOD differs";
    }
    if (got.interval != want.interval) {
        return "UPDATE_INTERVAL differs: " + std::to_string(got.interval) + " instead of " +
               std::to_string(want.interval);
    }
    if (got.level != want.level) {
        return "LOG_LEVEL differs";
    }
    return std::string();
}

// Writes |content| as a configuration file in |dir|, decodes it, compares
// every setting with the reference decoding, then decodes the same file on
// top (which must change nothing) and checks the acceptability rule.
inline std::string checkConfig(const std::string& dir, const std::string& content) {
    const std::string path = dir + "/vantrel.conf";
    if (!writeWhole(path, content)) {
        return "cannot write " + path;
    }
    ConfigFileParser config(path);
    const ConfigSettings want = referenceDecode(content);
    std::string problem = compareSettings(settingsOf(config), want);
    if (!problem.empty()) {
        return problem;
    }
    if (config.getConfigFileName() != path) {
        return "the configuration's file name is not the path read";
    }
    if (config.isCofigAcceptable() != (!want.host.empty() && !want.token.empty())) {
        return "acceptability disagrees with host name and token";
    }
    config.setConfigFilename(path);
    problem = compareSettings(settingsOf(config), want);
    if (!problem.empty()) {
        return "second decoding of the same file: " + problem;
    }
    return std::string();
}

// ---------------------------------------------------------------------------
// Zones file readings.

// One record of the zone vector with its flags.
struct ZoneRecord {
    std::string name;
    std::string type;
    bool found;
    bool isNew;
    bool deleted;
};

// Same name, type and flags.
inline bool operator==(const ZoneRecord& a, const ZoneRecord& b) {
    return a.name == b.name && a.type == b.type && a.found == b.found && a.isNew == b.isNew &&
           a.deleted == b.deleted;
}

// The zone vector of |parser|, in vector order.
inline std::vector<ZoneRecord> recordsOf(ZoneFileParser& parser) {
    std::vector<ZoneRecord> out;
    for (const zoneData& z : *parser.getZones()) {
        out.push_back(
            {z.getZoneName(), z.getZoneType(), z.isFound(), z.isNewZone(), z.isDeleted()});
    }
    return out;
}

// |name| with A-Z folded to a-z.
inline std::string foldCase(std::string name) {
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

// |records| as "name:flags" lines (F found, N new, D deleted) for reports.
inline std::string describe(const std::vector<ZoneRecord>& records) {
    std::string out;
    for (const ZoneRecord& r : records) {
        out += "\n  \"" + r.name + "\" " + r.type + ":" + (r.found ? "F" : "") +
               (r.isNew ? "N" : "") + (r.deleted ? "D" : "");
    }
    return out;
}

// The name and folded type of one zone block.
struct ZoneBlock {
    std::string name;
    std::string type;
};

// Parses one zone block by the format's rules, character by character: the
// name lies strictly between the block's first two double quotes; the body
// starts after the first "{" past the name's closing quote (past the first
// character without a name), and the non-blank text written against that
// brace starts the body's first word; words end at line feed, space, tab,
// ";", "{" and "}"; the last word before a value is the parameter name, and
// a ";" completes a statement whose value is the word before it. A value of
// "type" (folded to lower case up to its first NUL) sets the type; an
// allow-update or allow-transfer statement ends the parsing; an unterminated
// last word counts for nothing.
inline ZoneBlock referenceParseBlock(const std::string& block) {
    ZoneBlock out;
    size_t nameEnd = 0;
    const size_t open = block.find('"');
    if (open != std::string::npos) {
        const size_t close = block.find('"', open + 1);
        if (close != std::string::npos) {
            nameEnd = close;
            out.name = block.substr(open + 1, close - open - 1);
        }
    }
    const size_t start = nameEnd + 1;
    const size_t brace = start < block.size() ? block.find('{', start) : std::string::npos;
    if (brace == std::string::npos) {
        return out;
    }
    const auto blank = [](char c) { return c == '\n' || c == ' ' || c == '\t' || c == '\r'; };
    size_t carried = brace;
    while (carried > start && !blank(block[carried - 1])) {
        --carried;
    }
    const std::string delimiters("\n \t;{}", 6);
    std::string word = block.substr(carried, brace - carried);
    std::string paramName;
    bool param = false;
    for (size_t i = brace + 1; i < block.size(); ++i) {
        const char c = block[i];
        if (delimiters.find(c) == std::string::npos) {
            word.push_back(c);
            continue;
        }
        if (c == ';' && param) {
            if (paramName == "allow-update" || paramName == "allow-transfer") {
                break;
            }
            if (paramName == "type" && !word.empty()) {
                const size_t nul = word.find('\0');
                out.type = foldCase(word.substr(0, nul)) +
                           (nul == std::string::npos ? std::string() : word.substr(nul));
            }
            param = false;
        } else if (!word.empty()) {
            paramName = word;
            param = true;
        }
        word.clear();
    }
    return out;
}

// The zone blocks of a zones file, in file order, by the format's rules:
// comments removed as in the configuration format; a block starts at each
// "zone" outside all braces and double quotes counted from the start of the
// text and runs one character past the "}" that balances its first "{" (to
// the end when there is no "{" or no balance); the next "zone" is searched
// from there.
inline std::vector<ZoneBlock> referenceBlocks(const std::string& raw) {
    const std::string text = referenceStripComments(raw);
    // Brace depth and quote parity before each position.
    std::vector<long> depth(text.size() + 1, 0);
    std::vector<bool> quoted(text.size() + 1, false);
    for (size_t i = 0; i < text.size(); ++i) {
        depth[i + 1] = depth[i] + (text[i] == '{') - (text[i] == '}');
        quoted[i + 1] = quoted[i] != (text[i] == '"');
    }
    std::vector<ZoneBlock> blocks;
    size_t from = 0;
    while (from <= text.size()) {
        size_t keyword = text.find("zone", from);
        while (keyword != std::string::npos && (depth[keyword] != 0 || quoted[keyword])) {
            keyword = text.find("zone", keyword + 1);
        }
        if (keyword == std::string::npos) {
            break;
        }
        size_t end = text.size() + 1;
        const size_t open = text.find('{', keyword);
        if (open != std::string::npos) {
            long level = 1;
            size_t i = open + 1;
            for (; level > 0 && i < text.size(); ++i) {
                level += (text[i] == '{') - (text[i] == '}');
            }
            end = i + 1;
        }
        blocks.push_back(
            referenceParseBlock(text.substr(keyword, std::min(end, text.size()) - keyword)));
        from = end;
    }
    return blocks;
}

// The zone vector as the format's rules leave it after a reading of
// |blocks| on top of |records|: flags cleared; a named block whose name a
// record has (ignoring ASCII case) flags that record found, otherwise a
// master block adds a record flagged new; records neither found nor new are
// flagged deleted; the vector is in ascending byte order of the names.
inline std::vector<ZoneRecord> referenceReading(std::vector<ZoneRecord> records,
                                                const std::vector<ZoneBlock>& blocks) {
    std::map<std::string, size_t> byFoldedName;
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].found = records[i].isNew = records[i].deleted = false;
        byFoldedName.emplace(foldCase(records[i].name), i);
    }
    for (const ZoneBlock& b : blocks) {
        if (b.name.empty()) {
            continue;
        }
        const auto known = byFoldedName.emplace(foldCase(b.name), records.size());
        if (!known.second) {
            records[known.first->second].found = true;
        } else if (b.type == "master") {
            records.push_back({b.name, b.type, false, true, false});
        } else {
            byFoldedName.erase(known.first);
        }
    }
    for (ZoneRecord& r : records) {
        r.deleted = !r.found && !r.isNew;
    }
    std::sort(records.begin(), records.end(),
              [](const ZoneRecord& a, const ZoneRecord& b) { return a.name < b.name; });
    return records;
}

// Invariants of the zone vector after any reading: names non-empty, unique
// ignoring ASCII case and in strictly ascending byte order; only master
// records; a deleted record neither new nor found. The array copy holds the
// same records in the same order. After a reading of the file the counts
// zonesChanged reports match the flags, and it reports nothing only when no
// record is flagged; after a failed reading it reports nothing.
inline std::string checkZoneVector(ZoneFileParser& parser, const char* reading,
                                   bool failed = false) {
    const std::string where = std::string(reading) + ": ";
    const std::vector<ZoneRecord> records = recordsOf(parser);
    std::set<std::string> folded;
    int flaggedNew = 0;
    int flaggedDeleted = 0;
    int flaggedFound = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const ZoneRecord& r = records[i];
        if (r.name.empty()) {
            return where + "record with an empty name";
        }
        if (r.type != "master") {
            return where + "record of type \"" + r.type + "\"";
        }
        if (r.deleted && (r.isNew || r.found)) {
            return where + "record flagged deleted and new or found";
        }
        if (i > 0 && !(records[i - 1].name < r.name)) {
            return where + "names not in strictly ascending byte order";
        }
        if (!folded.insert(foldCase(r.name)).second) {
            return where + "two records share a name ignoring case";
        }
        flaggedNew += r.isNew;
        flaggedDeleted += r.deleted;
        flaggedFound += r.found;
    }
    int count = -1;
    zoneData* copy = parser.getZones(count);
    bool sameCopy = count == static_cast<int>(records.size());
    for (int i = 0; sameCopy && i < count; ++i) {
        const zoneData& c = copy[i];
        sameCopy = ZoneRecord{c.getZoneName(), c.getZoneType(), c.isFound(), c.isNewZone(),
                              c.isDeleted()} == records[static_cast<size_t>(i)];
    }
    delete[] copy;
    if (!sameCopy) {
        return where + "array copy differs from the vector";
    }
    int newZones = -1;
    int deletedZones = -1;
    if (failed) {
        if (parser.zonesChanged(newZones, deletedZones)) {
            return where + "zonesChanged reports a change after a failed reading";
        }
    } else if (parser.zonesChanged(newZones, deletedZones)) {
        if (newZones != flaggedNew || deletedZones != flaggedDeleted) {
            return where + "zonesChanged counts differ from the flags";
        }
        if (flaggedNew + flaggedDeleted + flaggedFound == 0) {
            return where + "zonesChanged reports a change without any flagged record";
        }
    } else if (flaggedNew + flaggedDeleted + flaggedFound != 0 || newZones != -1 ||
               deletedZones != -1) {
        return where + "zonesChanged reports nothing but records are flagged";
    }
    return std::string();
}

// Checks one reading (|failed| when the file could not be read): its result,
// the vector's invariants and the vector itself against |expected|.
inline std::string checkReading(ZoneFileParser& parser, const char* reading, int result,
                                int expectedResult, const std::vector<ZoneRecord>& expected,
                                bool failed = false) {
    const std::string problem = checkZoneVector(parser, reading, failed);
    if (!problem.empty()) {
        return problem;
    }
    if (result != expectedResult) {
        return std::string(reading) + ": returned " + std::to_string(result) + " instead of " +
               std::to_string(expectedResult);
    }
    const std::vector<ZoneRecord> records = recordsOf(parser);
    if (!(records == expected)) {
        return std::string(reading) + ": zone vector" + describe(records) + "\ninstead of" +
               describe(expected);
    }
    return std::string();
}

// Reads |first| as the zones file named by |config|, then |second| renamed
// into place, then once more without a change, then with the file removed,
// then with |second| back in place, and compares every reading with the
// reference model of the format and of the change tracking:
// - each reading that reads the file returns its number of zone blocks and
//   leaves the vector referenceReading describes;
// - the unchanged third reading defers (returns 0, flags cleared) unless
//   deletions are pending, in which case it reads the file again;
// - the reading of the missing file returns 0 and keeps the records, with
//   the deletions still owed flagged and no other flag;
// - success is reported once a reading met a zone block, and stays;
// - a fresh parser's reading of |second| gives the reference's vector too.
// The vector's invariants are checked after every reading.
inline std::string checkZoneReadings(ConfigFileParser* config, const std::string& first,
                                     const std::string& second) {
    const std::string path = config->getZoneFileName();
    if (!replaceWhole(path, first)) {
        return "cannot write " + path;
    }
    ZoneFileParser parser(config);
    const std::vector<ZoneBlock> firstBlocks = referenceBlocks(first);
    std::vector<ZoneRecord> expected = referenceReading({}, firstBlocks);
    std::string problem = checkReading(parser, "first reading", parser.readZones(),
                                       static_cast<int>(firstBlocks.size()), expected);
    if (!problem.empty()) {
        return problem;
    }
    // Only a reading that met a zone block is one a reconciliation may trust.
    if (parser.hasReadSuccessfully() != !firstBlocks.empty()) {
        return "first reading's success does not match its zone blocks";
    }

    if (!replaceWhole(path, second)) {
        return "cannot write " + path;
    }
    const std::vector<ZoneBlock> secondBlocks = referenceBlocks(second);
    expected = referenceReading(expected, secondBlocks);
    problem = checkReading(parser, "second reading", parser.readZones(),
                           static_cast<int>(secondBlocks.size()), expected);
    if (!problem.empty()) {
        return problem;
    }
    const bool succeeded = !firstBlocks.empty() || !secondBlocks.empty();
    if (parser.hasReadSuccessfully() != succeeded) {
        return "second reading's success does not match the zone blocks read so far";
    }

    const bool deletionsPending = std::any_of(expected.begin(), expected.end(),
                                              [](const ZoneRecord& r) { return r.deleted; });
    if (deletionsPending) {
        expected = referenceReading(expected, secondBlocks);
    } else {
        for (ZoneRecord& r : expected) {
            r.found = r.isNew = r.deleted = false;
        }
    }
    problem = checkReading(parser, "third reading", parser.readZones(),
                           deletionsPending ? static_cast<int>(secondBlocks.size()) : 0, expected);
    if (!problem.empty()) {
        return problem;
    }

    // The file is moved aside rather than removed, so that its inode stays in
    // use and the restored file cannot get the same one.
    const std::string aside = path + ".aside";
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        return "cannot move " + path;
    }
    for (ZoneRecord& r : expected) {
        r.found = r.isNew = false;
    }
    problem =
        checkReading(parser, "reading of the missing file", parser.readZones(), 0, expected, true);
    if (!problem.empty()) {
        return problem;
    }
    if (parser.hasReadSuccessfully() != succeeded) {
        return "a failed reading changed the reported success";
    }
    if (!replaceWhole(path, second) || std::remove(aside.c_str()) != 0) {
        return "cannot restore " + path;
    }
    expected = referenceReading(expected, secondBlocks);
    problem = checkReading(parser, "reading of the restored file", parser.readZones(),
                           static_cast<int>(secondBlocks.size()), expected);
    if (!problem.empty()) {
        return problem;
    }

    ZoneFileParser fresh(config);
    return checkReading(fresh, "fresh reading", fresh.readZones(),
                        static_cast<int>(secondBlocks.size()), referenceReading({}, secondBlocks));
}

// Splits a zones input at its first 0xFF byte into the two versions of the
// file; without one, both versions are the whole input.
inline std::string checkZonesInput(ConfigFileParser* config, const std::string& input) {
    const size_t split = input.find(kZonesSplit);
    if (split == std::string::npos) {
        return checkZoneReadings(config, input, input);
    }
    return checkZoneReadings(config, input.substr(0, split), input.substr(split + 1));
}

// ---------------------------------------------------------------------------
// Reply judging and form encoding.

// True for the bytes a form value keeps as they are.
inline bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// |value| with every byte but the unreserved ones written as %XX, upper-case
// hexadecimal.
inline std::string referenceEncode(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out.push_back(ch);
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

// Decodes %XX escapes; false when |encoded| holds anything but unreserved
// bytes and well-formed escapes.
inline bool decodeForm(const std::string& encoded, std::string& decoded) {
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    decoded.clear();
    for (size_t i = 0; i < encoded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(encoded[i]);
        if (isUnreserved(c)) {
            decoded.push_back(encoded[i]);
            continue;
        }
        if (c != '%' || i + 2 >= encoded.size() || digit(encoded[i + 1]) < 0 ||
            digit(encoded[i + 2]) < 0) {
            return false;
        }
        decoded.push_back(static_cast<char>(digit(encoded[i + 1]) * 16 + digit(encoded[i + 2])));
        i += 2;
    }
    return true;
}

// Judges |text| as a reply and as a zone list and encodes it as a form value:
// failures leave the outputs empty, an unparsable text fails both readers,
// both readers agree on whether the text is JSON, a listed zone rules out a
// message and a message rules out a list; the encoding is exactly the
// percent-encoding of every reserved byte and decodes back to |text|.
inline std::string checkReply(const std::string& text) {
    std::string message = "stale";
    bool messageParsed = true;
    const bool messageRead = serverConnector::readReplyMessage(text, message, messageParsed);
    if (!messageRead && !message.empty()) {
        return "readReplyMessage failed but left a message";
    }
    if (!messageParsed && messageRead) {
        return "readReplyMessage accepted text that is not JSON";
    }
    std::vector<std::string> names = {"stale"};
    bool listParsed = !messageParsed;
    const bool listRead = serverConnector::readZoneList(text, names, listParsed);
    if (!listRead && !names.empty()) {
        return "readZoneList failed but left names";
    }
    if (!listParsed && listRead) {
        return "readZoneList accepted text that is not JSON";
    }
    if (listParsed != messageParsed) {
        return "the readers disagree on whether the text is JSON";
    }
    // A list with names is an array, which is no reply; a message is a
    // member of an object with members, which is no list.
    if (listRead && !names.empty() && messageRead) {
        return "text read both as a zone list and as a reply";
    }
    if (messageRead && !message.empty() && listRead) {
        return "text with a message read as a zone list";
    }

    std::string encoded = "stale";
    if (!serverConnector::encodeFormValue(text, encoded)) {
        return "encodeFormValue failed";
    }
    if (encoded != referenceEncode(text)) {
        return "encodeFormValue output differs from the percent-encoding";
    }
    std::string decoded;
    if (!decodeForm(encoded, decoded) || decoded != text) {
        return "encodeFormValue output does not decode back to the value";
    }
    return std::string();
}

}  // namespace fuzzchecks

#endif  // VANTREL_FUZZ_FUZZ_CHECKS_H
