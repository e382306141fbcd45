// ConfigFileParser holds the agent's settings, decoded once at start-up from a
// file of KEY=VALUE lines with "//" and "/*" ... "*/" comments. Exactly one
// instance exists (the global configFile); after construction it is only read.
#ifndef VANTREL_CONFIGFILEPARSER_H
#define VANTREL_CONFIGFILEPARSER_H

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "Vantrel.h"

// Default threshold of the system-log channel.
constexpr logLevel LOGGING_LEVEL = DEBUG;
// Default pause between passes of the main loop, in seconds.
extern const int32_t UPDATE_ZONES_INTERVAL;

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

    std::string getZoneFileName() { return zoneFile; }
    std::string getServerHostname() { return serverHostname; }
    std::string getToken() { return token; }
    bool getDaemonize() { return daemonize; }
    int32_t getUpZoneInterval() { return updateZonesInterval; }
    logLevel getLoggingLevel() { return loggingLevel; }
    uint64_t getRunTimestamp() { return runStamp; }
    // PEM file of certificate authorities to trust instead of the system's
    // store; empty to use the system's store.
    std::string getCaFile() { return caFile; }
    std::string getCpanelZonesFile() { return cpanelZonesFile; }
    bool getCpanelMethod() { return cpanelMethod; }
    // The path the settings were read from; empty before a file was decoded.
    std::string getConfigFileName() { return configFile; }

    // True when both the host name and the token are set.
    bool isCofigAcceptable();

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
};

#endif  // VANTREL_CONFIGFILEPARSER_H
