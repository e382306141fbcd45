#include "ConfigFileParser.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <limits>

#include "mylibs.h"

const int32_t UPDATE_ZONES_INTERVAL = 180;

ConfigFileParser* configFile = nullptr;

ConfigFileParser::ConfigFileParser(std::string path)
    : runStamp(static_cast<uint64_t>(time(nullptr))),
      cpanelMethod(false),
      daemonize(false),
      updateZonesInterval(UPDATE_ZONES_INTERVAL),
      loggingLevel(LOGGING_LEVEL) {
    load(path, "Error reading file ");
}

ConfigFileParser::ConfigFileParser()
    : runStamp(0),
      cpanelMethod(false),
      daemonize(false),
      updateZonesInterval(UPDATE_ZONES_INTERVAL),
      loggingLevel(LOGGING_LEVEL) {}

ConfigFileParser::~ConfigFileParser() {
    rows.clear();
}

void ConfigFileParser::setConfigFilename(std::string path) {
    load(path, "Error reading file");
}

void ConfigFileParser::load(std::string path, const char* statFailureText) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        say(statFailureText + path, ERROR);
        std::exit(-1);
    }
    if (!S_ISREG(status.st_mode)) {
        say("Not a regular file!", ERROR);
        std::exit(-1);
    }
    // A file that cannot be opened reads as an empty text: every setting
    // keeps its default.
    std::ifstream infile(path, std::ios::in | std::ios::binary);
    std::string text = readFile(infile);
    removeComments(&text);
    readLines(&text);
    parseLines();
    configFile = path;
}

std::string ConfigFileParser::readFile(std::ifstream& infile) {
    if (!infile.is_open()) {
        return std::string();
    }
    return std::string(std::istreambuf_iterator<char>(infile), std::istreambuf_iterator<char>());
}

void ConfigFileParser::removeComments(std::string* text) {
    stripComments(text);
}

void ConfigFileParser::readLines(std::string* text) {
    // A line shorter than two characters is not taken: an empty line
    // vanishes and a one-character line becomes the front of the next one.
    // Whatever follows the last line feed is dropped.
    std::string line;
    for (char c : *text) {
        if (c != '\n') {
            line.push_back(c);
        } else if (line.size() >= 2) {
            rows.push_back(line);
            line.clear();
        }
    }
}

void ConfigFileParser::parseLines() {
    decodeWarnings.clear();
    for (const std::string& row : rows) {
        const size_t equals = row.find('=');
        const std::string key = equals == std::string::npos ? row : row.substr(0, equals);
        const std::string value = equals == std::string::npos ? row : row.substr(equals + 1);
        if (key == "CPANEL_METHOD") {
            decodeCpanelMethod(value);
        } else if (key == "CPANEL_ZONES_FILE") {
            cpanelZonesFile = value;
        } else if (key == "ZONES_FILE") {
            zoneFile = value;
        } else if (key == "SERVER_HOSTNAME") {
            serverHostname = value;
        } else if (key == "DAEMONIZE") {
            decodeDaemonize(value);
        } else if (key == "UPDATE_INTERVAL") {
            decodeInterval(value);
        } else if (key == "LOG_LEVEL") {
            decodeDebugLevel(value);
        } else if (key == "TOKEN") {
            token = value;
        } else if (key == "CA_FILE") {
            caFile = value;
        } else if (key == "MAX_DELETE_PERCENT") {
            decodeBounded(value, "MAX_DELETE_PERCENT", 100, DEFAULT_MAX_DELETE_PERCENT,
                          "a number from 0 to 100", maxDeletePercent);
        } else if (key == "DELETE_GRACE") {
            decodeBounded(value, "DELETE_GRACE", std::numeric_limits<int32_t>::max(),
                          DEFAULT_DELETE_GRACE, "a number of seconds", deleteGrace);
        } else if (key == "WATCH_ZONES_FILE") {
            decodeFlag("WATCH_ZONES_FILE", value, true, &watchZonesFile);
        } else if (key == "FOLLOW_INCLUDES") {
            decodeFlag("FOLLOW_INCLUDES", value, false, &followIncludes);
        } else if (key == "ZONES_VIEW") {
            zonesView = trim(value);
        } else if (key == "EXCLUDE_ZONES") {
            // Patterns separated by blanks or commas.
            excludeZones.clear();
            std::string pattern;
            for (const char c : value + " ") {
                if (c == ' ' || c == '\t' || c == ',') {
                    if (!pattern.empty()) {
                        excludeZones.push_back(pattern);
                    }
                    pattern.clear();
                } else {
                    pattern.push_back(c);
                }
            }
        } else if (key == "METRICS_FILE") {
            metricsFile = value;
        } else if (key == "NAMED_CONF") {
            namedConf = trim(value);
        } else if (key == "NAMED_CHECKCONF") {
            namedCheckconf = value;
        }
    }
}

bool ConfigFileParser::isCofigAcceptable() const {
    return !serverHostname.empty() && !token.empty();
}

namespace {

// Reads the leading signed decimal integer of |_value| after white space,
// saturated to the 32-bit range, into |_number|. Returns false, leaving
// |_number| alone, for an empty or blank value; a value without digits reads
// as 0 and |_digits| tells whether there was one.
bool readInteger(const std::string& _value, int32_t& _number, bool* _digits = nullptr) {
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    size_t i = 0;
    while (i < _value.size() && isBlank(_value[i])) {
        ++i;
    }
    if (i == _value.size()) {
        return false;
    }
    bool negative = false;
    if (_value[i] == '+' || _value[i] == '-') {
        negative = _value[i] == '-';
        ++i;
    }
    // Accumulate with saturation at the 32-bit limits.
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t magnitude = 0;
    const size_t digits = i;
    for (; i < _value.size() && _value[i] >= '0' && _value[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (_value[i] - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    if (_digits != nullptr) {
        *_digits = i > digits;
    }
    _number = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

}  // namespace

void ConfigFileParser::decodeInterval(std::string value) {
    readInteger(value, updateZonesInterval);
}

void ConfigFileParser::decodeBounded(const std::string& _value, const char* _key, int32_t _high,
                                     int32_t _fallback, const char* _expected, int32_t& _target) {
    int32_t number = 0;
    bool digits = false;
    if (!readInteger(_value, number, &digits)) {
        return;  // empty or blank: keep the current value
    }
    if (digits && number >= 0 && number <= _high) {
        _target = number;
        return;
    }
    _target = _fallback;
    decodeWarnings.push_back(std::string(_key) + " \"" + _value + "\" is not " + _expected +
                             "; using " + std::to_string(_fallback) + ".");
}

void ConfigFileParser::decodeFlag(const char* _key, const std::string& _value, bool _fallback,
                                  bool* _flag) {
    const std::string flag = trim(_value);
    if (flag == "TRUE" || flag == "FALSE") {
        *_flag = flag == "TRUE";
        return;
    }
    *_flag = _fallback;
    decodeWarnings.push_back(std::string(_key) + " \"" + _value +
                             "\" is neither TRUE nor FALSE; using " +
                             (_fallback ? "TRUE." : "FALSE."));
}

void ConfigFileParser::decodeCpanelMethod(std::string value) {
    cpanelMethod = trim(value) == "TRUE";
}

void ConfigFileParser::decodeDaemonize(std::string value) {
    // Once set, no later line clears it.
    if (trim(value) == "TRUE") {
        daemonize = true;
    }
}

void ConfigFileParser::decodeDebugLevel(std::string value) {
    const std::string level = trim(value);
    if (level == "ERROR") {
        loggingLevel = ERROR;
    } else if (level == "WARN") {
        loggingLevel = WARN;
    } else if (level == "INFO") {
        loggingLevel = INFO;
    } else {
        loggingLevel = DEBUG;
    }
}
