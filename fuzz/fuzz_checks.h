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
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "serverConnector.h"

namespace fuzzchecks {

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
