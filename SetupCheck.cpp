#include "SetupCheck.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "EventLog.h"
#include "ZoneFileParser.h"
#include "mylibs.h"

namespace {

// The token as check mode shows it: its first four characters when it is
// longer than eight, the rest masked.
std::string maskedToken(const std::string& _token) {
    std::string masked = _token.size() > 8 ? _token.substr(0, 4) : std::string();
    return masked.append(_token.size() - masked.size(), '*');
}

// Reads the zones file once and adds what an operator should know of it.
void checkZonesFile(const ConfigFileParser& _config, setupFindings& _findings) {
    const std::string path = _config.getZoneFileName();
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        _findings.problems.push_back("Zones file \"" + path + "\" does not exist.");
        return;
    }
    if (S_ISLNK(status.st_mode)) {
        _findings.problems.push_back("Zones file \"" + path +
                                     "\" is a symbolic link; name the file itself.");
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        _findings.problems.push_back("Zones file \"" + path + "\" is not a regular file.");
        return;
    }
    ZoneFileParser zonesFile(configFile);
    zonesFile.setReportSkipped(true);
    zonesFile.readZones();
    const std::string prefix = "Zones file \"" + path + "\"";
    if (zonesFile.getLastResult() == readResult::Failed) {
        const std::string error = zonesFile.getReadError();
        _findings.problems.push_back(
            error.compare(0, path.size(), path) == 0 ? error : prefix + ": " + error);
        return;
    }
    if (zonesFile.getLastResult() == readResult::NoZoneBlocks) {
        _findings.problems.push_back(prefix + ": " + zonesFile.getNoZonesReason() + ".");
        return;
    }
    const std::vector<zoneData>* zones = zonesFile.getZones();
    say("Master zones: " + std::to_string(zones->size()));
    for (const zoneData& zone : *zones) {
        say("  " + zone.getZoneName());
    }
    const std::vector<skippedZone>& skipped = zonesFile.getSkippedZones();
    say("Not mirrored: " + std::to_string(skipped.size()));
    for (const skippedZone& zone : skipped) {
        say("  " + zone.name + ": " + zone.reason);
    }
    if (zones->empty()) {
        _findings.warnings.push_back(prefix +
                                     " holds no master zone; the agent would remove every "
                                     "zone of this agent at the service.");
    }
    for (const std::string& include : zonesFile.getSkippedIncludes()) {
        _findings.warnings.push_back(prefix + " includes \"" + include +
                                     "\", not read while FOLLOW_INCLUDES=FALSE.");
    }
}

// Runs BIND's checker once on the configuration BIND loads and adds its
// verdict: a refusal holds deletions (a warning), no verdict is a setup
// problem (an error).
void checkBind(const ConfigFileParser& _config, setupFindings& _findings) {
    BindCheck check(&_config);
    if (!check.isEnabled()) {
        say("BIND's checker: " + check.getDescription());
        if (_config.getNamedCheckconf().empty()) {
            _findings.warnings.push_back("BIND's checker is " + check.getDescription() + ".");
        }
        return;
    }
    const bindVerdict verdict = check.runToEnd({});
    char figures[96];
    std::snprintf(figures, sizeof figures, " in %.2f s, peak %.1f MiB", check.getSeconds(),
                  static_cast<double>(check.getPeakKiB()) / 1024.0);
    say("BIND's checker: " + check.getDescription() + ": " +
        (verdict == bindVerdict::Accepted  ? "accepted"
         : verdict == bindVerdict::Refused ? "refused"
                                           : "no verdict") +
        figures);
    if (verdict == bindVerdict::Refused) {
        _findings.warnings.push_back(check.holdReason(verdict) +
                                     "; every deletion is held until it is fixed.");
    } else if (verdict != bindVerdict::Accepted) {
        _findings.problems.push_back(check.holdReason(bindVerdict::Failed) +
                                     "; every deletion would be held.");
    }
}

}  // namespace

setupFindings checkConfiguration(const std::string& _path, const std::string& _requested) {
    setupFindings findings;
    const ConfigFileParser& config = *configFile;
    if (!_requested.empty() && _requested != _path) {
        findings.problems.push_back("Configuration file \"" + _requested +
                                    "\" given with -c does not exist; \"" + _path +
                                    "\" is used instead.");
    }
    if (!config.isCofigAcceptable()) {
        findings.problems.push_back("SERVER_HOSTNAME or TOKEN is empty.");
    }
    const std::string host = config.getServerHostname();
    if (!host.empty() && host.back() == ':') {
        findings.problems.push_back("SERVER_HOSTNAME \"" + host +
                                    "\" was cut short by a \"//\" comment; give the host name "
                                    "without a scheme.");
    }
    const std::pair<const char*, std::string> values[] = {
        {"ZONES_FILE", config.getZoneFileName()},
        {"SERVER_HOSTNAME", host},
        {"TOKEN", config.getToken()},
        {"CA_FILE", config.getCaFile()},
        {"METRICS_FILE", config.getMetricsFile()},
        {"NAMED_CONF", config.getNamedConf()},
        {"NAMED_CHECKCONF", config.getNamedCheckconf()}};
    for (const auto& value : values) {
        if (!value.second.empty() && value.second.back() == '\r') {
            findings.problems.push_back(std::string(value.first) +
                                        " ends in a carriage return; convert the file to Unix "
                                        "line ends.");
        }
    }
    const std::string caFile = config.getCaFile();
    if (!caFile.empty() && access(caFile.c_str(), R_OK) != 0) {
        findings.problems.push_back("CA_FILE \"" + caFile + "\" is missing or unreadable.");
    }
    if (config.getUpZoneInterval() < 1) {
        findings.warnings.push_back("UPDATE_INTERVAL is below 1; the agent will use 1 second.");
    }
    for (const std::string& warning : config.getDecodeWarnings()) {
        findings.warnings.push_back(warning);
    }
    // The token's file may be readable by the agent's own group (the package
    // installs it root:vantrel 0640), never by others.
    struct stat status;
    if (!config.getToken().empty() && stat(_path.c_str(), &status) == 0) {
        const group* agents = getgrnam("vantrel");
        const bool ownGroup =
            status.st_gid == getgid() || (agents != nullptr && status.st_gid == agents->gr_gid);
        if ((status.st_mode & S_IROTH) != 0 || ((status.st_mode & S_IRGRP) != 0 && !ownGroup)) {
            findings.warnings.push_back(_path +
                                        " holds the service token and is readable by group or "
                                        "others; restrict it with chmod 600, or 640 with the "
                                        "agent's own group.");
        }
    }
    return findings;
}

int runCheck(const std::string& _path, const std::string& _requested) {
    const ConfigFileParser& config = *configFile;
    say("Configuration file: " + _path);
    const char* const levels[] = {"DEBUG", "INFO", "WARN", "ERROR"};
    std::string excluded;
    for (const std::string& pattern : config.getExcludeZones()) {
        excluded += (excluded.empty() ? "" : " ") + pattern;
    }
    const std::pair<const char*, std::string> settings[] = {
        {"ZONES_FILE", config.getZoneFileName()},
        {"SERVER_HOSTNAME", config.getServerHostname()},
        {"TOKEN", maskedToken(config.getToken())},
        {"CA_FILE", config.getCaFile()},
        {"DAEMONIZE", config.getDaemonize() ? "TRUE" : "FALSE"},
        {"UPDATE_INTERVAL", std::to_string(config.getUpZoneInterval())},
        {"LOG_LEVEL", levels[config.getLoggingLevel()]},
        {"MAX_DELETE_PERCENT", std::to_string(config.getMaxDeletePercent())},
        {"DELETE_GRACE", std::to_string(config.getDeleteGrace())},
        {"WATCH_ZONES_FILE", config.getWatchZonesFile() ? "TRUE" : "FALSE"},
        {"FOLLOW_INCLUDES", config.getFollowIncludes() ? "TRUE" : "FALSE"},
        {"ZONES_VIEW", config.getZonesView()},
        {"EXCLUDE_ZONES", excluded},
        {"METRICS_FILE", config.getMetricsFile()},
        {"NAMED_CONF", config.getNamedConf()},
        {"NAMED_CHECKCONF", config.getNamedCheckconf()},
        {"CPANEL_METHOD", config.getCpanelMethod() ? "TRUE" : "FALSE"},
        {"CPANEL_ZONES_FILE", config.getCpanelZonesFile()},
    };
    for (const auto& setting : settings) {
        say(std::string(setting.first) + "=" + setting.second);
    }
    setupFindings findings = checkConfiguration(_path, _requested);
    checkZonesFile(config, findings);
    checkBind(config, findings);
    for (const std::string& problem : findings.problems) {
        say("Error: " + problem);
    }
    for (const std::string& warning : findings.warnings) {
        say("Warning: " + warning);
    }
    say(findings.problems.empty() ? "Configuration OK." : "Configuration has errors.");
    return findings.problems.empty() ? 0 : 1;
}
