// ConfigFileParser holds the agent's settings, decoded once at start-up from a
// file of KEY=VALUE lines with "//" and "/*" ... "*/" comments. Exactly one
// instance exists (the global configFile); after construction it is only read.
#ifndef VANTREL_CONFIGFILEPARSER_H
#define VANTREL_CONFIGFILEPARSER_H

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "EventLog.h"

// Default threshold of the system-log channel.
constexpr logLevel LOGGING_LEVEL = DEBUG;
// Default pause between passes of the main loop, in seconds.
extern const int32_t UPDATE_ZONES_INTERVAL;
// Default of MAX_DELETE_PERCENT.
constexpr int DEFAULT_MAX_DELETE_PERCENT = 50;
// Default of DELETE_GRACE, in seconds.
constexpr int32_t DEFAULT_DELETE_GRACE = 60;

class ConfigFileParser {
public:
    // Sets the defaults and decodes the file at |path|. Ends the process with
    // status 255 when |path| cannot be queried ("Error reading file ") or is
    // not a regular file, symbolic links included ("Not a regular file!").
    explicit ConfigFileParser(std::string path);
    // Sets the defaults only; reads no file.
    ConfigFileParser();
    ~ConfigFileParser();

    // Decodes the file at |path| on top of what the object already holds;
    // fails like the constructor.
    void setConfigFilename(std::string path);

    std::string getZoneFileName() const { return zoneFile; }
    std::string getServerHostname() const { return serverHostname; }
    std::string getToken() const { return token; }
    bool getDaemonize() const { return daemonize; }
    int32_t getUpZoneInterval() const { return updateZonesInterval; }
    logLevel getLoggingLevel() const { return loggingLevel; }
    uint64_t getRunTimestamp() const { return runStamp; }
    // PEM file of certificate authorities to trust instead of the system's
    // store; empty to use the system's store.
    std::string getCaFile() const { return caFile; }
    std::string getCpanelZonesFile() const { return cpanelZonesFile; }
    bool getCpanelMethod() const { return cpanelMethod; }
    // Largest share of the zones, in percent, that one pass or one
    // reconciliation may delete when it deletes more than ten; 100 = no limit.
    int getMaxDeletePercent() const { return maxDeletePercent; }
    // Seconds a zone must have been missing from the zones file before the
    // agent deletes it at the service; 0 = at once.
    int32_t getDeleteGrace() const { return deleteGrace; }
    // Whether the agent reacts to changes of the zones file between passes.
    bool getWatchZonesFile() const { return watchZonesFile; }
    // Whether include statements of the zones file are followed.
    bool getFollowIncludes() const { return followIncludes; }
    // The view whose zones are mirrored; empty for the zones outside views.
    std::string getZonesView() const { return zonesView; }
    // Shell-style patterns of zone names never mirrored.
    const std::vector<std::string>& getExcludeZones() const { return excludeZones; }
    // The configuration BIND loads, as NAMED_CONF gives it (blanks trimmed);
    // empty for the default, which BindCheck resolves.
    std::string getNamedConf() const { return namedConf; }
    // BIND's checker command as NAMED_CHECKCONF gives it: a path and its
    // arguments, or "none"; empty for the default.
    std::string getNamedCheckconf() const { return namedCheckconf; }
    // File the metrics are written to after every pass; empty for none.
    std::string getMetricsFile() const { return metricsFile; }
    // The path the settings were read from; empty before a file was decoded.
    std::string getConfigFileName() const { return configFile; }
    // One text for each value that could not be decoded and kept its default.
    const std::vector<std::string>& getDecodeWarnings() const { return decodeWarnings; }

    // True when both the host name and the token are set.
    bool isCofigAcceptable() const;

    // Decodes an UPDATE_INTERVAL value: leading decimal integer, saturated to
    // the 32-bit range; empty or blank leaves the value, no digit gives 0.
    void decodeInterval(std::string value);
    // Decodes a CPANEL_METHOD value: "TRUE" (spaces trimmed) or false.
    void decodeCpanelMethod(std::string value);

private:
    void load(std::string path, const char* statFailureText);
    std::string readFile(std::ifstream& infile);
    void removeComments(std::string* text);
    void readLines(std::string* text);
    void parseLines();
    void decodeDaemonize(std::string value);
    void decodeDebugLevel(std::string value);
    // Decodes a whole number from 0 to |_high| into |_target|. An empty or
    // blank value keeps it; any other unusable one sets |_fallback| and leaves
    // a warning naming |_key| and what it should be (|_expected|).
    void decodeBounded(const std::string& _value, const char* _key, int32_t _high,
                       int32_t _fallback, const char* _expected, int32_t& _target);
    // Decodes a TRUE/FALSE value of |_key| into |_flag|; any other value
    // gives |_fallback| and a decode warning.
    void decodeFlag(const char* _key, const std::string& _value, bool _fallback, bool* _flag);

    uint64_t runStamp;
    std::string configFile;
    std::vector<std::string> rows;
    bool cpanelMethod;
    std::string cpanelZonesFile;
    std::string zoneFile;
    std::string serverHostname;
    std::string token;
    bool daemonize;
    int32_t updateZonesInterval;
    logLevel loggingLevel;
    std::string caFile;
    int32_t maxDeletePercent = DEFAULT_MAX_DELETE_PERCENT;
    int32_t deleteGrace = DEFAULT_DELETE_GRACE;
    bool watchZonesFile = true;
    bool followIncludes = false;
    std::string zonesView;
    std::vector<std::string> excludeZones;
    std::string metricsFile;
    std::string namedConf;
    std::string namedCheckconf;
    std::vector<std::string> decodeWarnings;
};

// The one configuration object of the process, built at start-up; never
// released before exit.
extern ConfigFileParser* configFile;

#endif  // VANTREL_CONFIGFILEPARSER_H
