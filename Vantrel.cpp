#include "Vantrel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iomanip>
#include <iostream>

#include "ConfigFileParser.h"
#include "ZoneFileParser.h"
#include "serverConnector.h"

volatile std::sig_atomic_t StopFlag = 0;
std::string configFilename;
ConfigFileParser* configFile = nullptr;

namespace {

// Set by -t/--test: check the setup instead of running.
bool checkMode = false;

// Signals caught and not yet reported, and the pipe that wakes the loop's
// sleep. Only the stop handler writes the counters and the pipe.
volatile std::sig_atomic_t caughtTerm = 0;
volatile std::sig_atomic_t caughtInt = 0;
int wakePipe[2] = {-1, -1};

void defaultSyslogWriter(int priority, const std::string& message) {
    // The message is data, never a format string.
    syslog(priority, "%s", message.c_str());
}

syslogWriter currentSyslogWriter = defaultSyslogWriter;

// Writes one line to standard output and flushes it at once.
void say(const std::string& line) {
    std::cout << line << std::endl;
}

}  // namespace

syslogWriter setSyslogWriter(syslogWriter writer) {
    syslogWriter previous = currentSyslogWriter;
    currentSyslogWriter = writer != nullptr ? writer : defaultSyslogWriter;
    return previous;
}

void writeSyslog(int priority, const std::string& message) {
    currentSyslogWriter(priority, message);
}

bool isLogged(logLevel level) {
    if (configFile == nullptr) {
        return false;
    }
    if (!configFile->getDaemonize() || checkMode) {
        // Check mode reports its own findings; of the reading it shows only
        // the failures.
        return !checkMode || level >= ERROR;
    }
    return level >= configFile->getLoggingLevel();
}

void eventLog(logLevel level, std::string _message) {
    if (!isLogged(level)) {
        return;
    }
    if (!configFile->getDaemonize() || checkMode) {
        std::cout << _message << std::endl;
    } else {
        writeSyslog(LOG_INFO, _message);
    }
}

std::string versionLine() {
    return std::string(APPLICATION_NAME) + " " + VERSION_NUMBER + " -- Build date:" + __DATE__ +
           " " + __TIME__;
}

void displayHelp() {
    say(versionLine());
    say("");
    std::cout << std::setw(15) << std::right << "Arguments:" << std::endl;
    const char* const options[][2] = {
        {"\t-h or --help", "This screen"},
        {"\t-c or --config <filename>", "Specifies configuration file"},
        {"\t-v or --version", "Prints version number"},
        {"\t-t or --test", "Checks configuration and exits"},
    };
    for (const auto& option : options) {
        std::cout << std::left << std::setw(30) << option[0] << std::setw(30) << option[1]
                  << std::right << std::endl;
    }
}

void paramsParser(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-c" || arg == "--config") {
            if (i + 1 >= argc) {
                say("No configuration file specified.");
                std::exit(1);
            }
            configFilename = argv[++i];
            say("Using config file: " + configFilename);
        } else if (arg == "-v" || arg == "--version") {
            say(versionLine());
            std::exit(0);
        } else if (arg == "-h" || arg == "--help") {
            displayHelp();
            std::exit(0);
        } else if (arg == "-t" || arg == "--test") {
            checkMode = true;
        } else {
            say("Unknown argument:" + arg);
            std::exit(1);
        }
    }
}

std::string getConfigurationFile() {
    const std::string candidates[] = {configFilename, "/etc/vantrel.conf", "vantrel.conf",
                                      "/etc/orvel.conf"};
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && access(candidate.c_str(), F_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

extern "C" void signalCatcher(int sig) {
    if (sig != SIGTERM && sig != SIGINT) {
        return;
    }
    const int savedErrno = errno;
    if (sig == SIGTERM) {
        caughtTerm = caughtTerm + 1;
    } else {
        caughtInt = caughtInt + 1;
    }
    StopFlag = 1;
    if (wakePipe[1] >= 0) {
        // Wakes a sleep that is under way or about to begin.
        const ssize_t ignored = write(wakePipe[1], "s", 1);
        (void)ignored;
    }
    errno = savedErrno;
}

namespace {

// Writes the stop line of every signal caught since the last call.
void reportCaughtSignals() {
    static std::sig_atomic_t reportedTerm = 0;
    static std::sig_atomic_t reportedInt = 0;
    for (; reportedTerm < caughtTerm; ++reportedTerm) {
        writeSyslog(LOG_CRIT, "Received SIGTERM... Quiting.");
    }
    for (; reportedInt < caughtInt; ++reportedInt) {
        writeSyslog(LOG_CRIT, "Received SIGINT... Quiting.");
    }
}

// Creates the pipe through which the stop handler wakes the sleep.
void openWakePipe() {
    if (wakePipe[0] >= 0) {
        return;
    }
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
}

// The pause between passes: the configured interval, at least one second.
int passInterval() {
    const int32_t interval = configFile->getUpZoneInterval();
    return interval < 1 ? 1 : interval;
}

// Sleeps |seconds| or until a stop is requested, whichever comes first.
void sleepInterval(int seconds) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(seconds);
    while (!StopFlag) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            break;
        }
        if (wakePipe[0] < 0) {
            // Without the pipe a caught signal still cuts the sleep short.
            usleep(static_cast<useconds_t>(std::min<long long>(left, 1000) * 1000));
            continue;
        }
        pollfd waker{wakePipe[0], POLLIN, 0};
        poll(&waker, 1, static_cast<int>(std::min<long long>(left, 60 * 60 * 1000)));
    }
    char drain[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], drain, sizeof drain) > 0) {
    }
    reportCaughtSignals();
}

// Runs one step of the loop; a failure that escapes it is logged and the
// next pass is the retry.
template <typename Step>
void guarded(Step step) {
    try {
        step();
    } catch (const std::exception& e) {
        eventLog(ERROR, std::string("Pass abandoned: ") + e.what());
    } catch (...) {
        eventLog(ERROR, "Pass abandoned: unknown failure");
    }
}

// The warning for a configuration file that holds a token while readable by
// group or others; empty when there is nothing to warn about.
std::string tokenExposureWarning(const std::string& path) {
    struct stat status;
    if (configFile->getToken().empty() || stat(path.c_str(), &status) != 0 ||
        (status.st_mode & (S_IRGRP | S_IROTH)) == 0) {
        return std::string();
    }
    return path +
           " holds the service token and is readable by group or others; restrict it with "
           "chmod 600.";
}

// Check mode: reports the settings, the master zones and every problem an
// operator should fix. Returns 0 when the agent could run, 1 otherwise.
int runCheck(const std::string& path) {
    std::vector<std::string> problems;  // the agent cannot work with these
    std::vector<std::string> warnings;  // it can, but an operator should look
    say("Configuration file: " + path);

    const std::string token = configFile->getToken();
    std::string masked = token.size() > 8 ? token.substr(0, 4) : std::string();
    masked.append(token.size() - masked.size(), '*');
    const std::string host = configFile->getServerHostname();
    const std::string zonesPath = configFile->getZoneFileName();
    const char* const levels[] = {"DEBUG", "INFO", "WARN", "ERROR"};
    const std::pair<const char*, std::string> settings[] = {
        {"ZONES_FILE", zonesPath},
        {"SERVER_HOSTNAME", host},
        {"TOKEN", masked},
        {"CA_FILE", configFile->getCaFile()},
        {"DAEMONIZE", configFile->getDaemonize() ? "TRUE" : "FALSE"},
        {"UPDATE_INTERVAL", std::to_string(configFile->getUpZoneInterval())},
        {"LOG_LEVEL", levels[configFile->getLoggingLevel()]},
        {"CPANEL_METHOD", configFile->getCpanelMethod() ? "TRUE" : "FALSE"},
        {"CPANEL_ZONES_FILE", configFile->getCpanelZonesFile()},
    };
    for (const auto& setting : settings) {
        say(std::string(setting.first) + "=" + setting.second);
    }

    if (!configFile->isCofigAcceptable()) {
        problems.push_back("SERVER_HOSTNAME or TOKEN is empty.");
    }
    if (!host.empty() && host.back() == ':') {
        problems.push_back("SERVER_HOSTNAME \"" + host +
                           "\" was cut short by a \"//\" comment; give the host name without "
                           "a scheme.");
    }
    const std::pair<const char*, std::string> crValues[] = {{"ZONES_FILE", zonesPath},
                                                            {"SERVER_HOSTNAME", host},
                                                            {"TOKEN", token},
                                                            {"CA_FILE", configFile->getCaFile()}};
    for (const auto& value : crValues) {
        if (!value.second.empty() && value.second.back() == '\r') {
            problems.push_back(std::string(value.first) +
                               " ends in a carriage return; convert the file to Unix line ends.");
        }
    }
    if (configFile->getUpZoneInterval() < 1) {
        warnings.push_back("UPDATE_INTERVAL is below 1; the agent will use 1 second.");
    }
    const std::string exposure = tokenExposureWarning(path);
    if (!exposure.empty()) {
        warnings.push_back(exposure);
    }

    struct stat status;
    if (lstat(zonesPath.c_str(), &status) != 0) {
        problems.push_back("Zones file \"" + zonesPath + "\" does not exist.");
    } else if (S_ISLNK(status.st_mode)) {
        problems.push_back("Zones file \"" + zonesPath +
                           "\" is a symbolic link; name the file itself.");
    } else if (!S_ISREG(status.st_mode)) {
        problems.push_back("Zones file \"" + zonesPath + "\" is not a regular file.");
    } else {
        ZoneFileParser zonesFile(configFile);
        zonesFile.readZones();
        if (!zonesFile.hasReadSuccessfully()) {
            problems.push_back("Zones file \"" + zonesPath +
                               "\" could not be read or holds no zone statement.");
        } else {
            const std::vector<zoneData>* zones = zonesFile.getZones();
            say("Master zones: " + std::to_string(zones->size()));
            for (const zoneData& zone : *zones) {
                say("  " + zone.getZoneName());
            }
            if (zones->empty()) {
                warnings.push_back("Zones file \"" + zonesPath +
                                   "\" holds no master zone; the agent would remove every "
                                   "zone of this agent at the service.");
            }
        }
    }

    for (const std::string& problem : problems) {
        say("Error: " + problem);
    }
    for (const std::string& warning : warnings) {
        say("Warning: " + warning);
    }
    say(problems.empty() ? "Configuration OK." : "Configuration has errors.");
    return problems.empty() ? 0 : 1;
}

}  // namespace

void daemonize() {
    say("Daemonizing process...");
    writeSyslog(LOG_INFO, "Daemonizing...");
    const pid_t pid = fork();
    if (pid < 0) {
        say(std::string("Could not detach: fork failed: ") + std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0) {
        std::exit(0);
    }
}

void startDaemon() {
    if (configFile->getDaemonize()) {
        daemonize();
    }
    openWakePipe();
    if (configFile->getUpZoneInterval() < 1) {
        eventLog(ERROR, "UPDATE_INTERVAL is " + std::to_string(configFile->getUpZoneInterval()) +
                            "; using 1 second between passes.");
    }
    int lastSeenCounter = 2;
    // The client borrows the parser's zone vector, so it is built after the
    // parser and destroyed before it.
    ZoneFileParser zonesFile(configFile);
    serverConnector server(configFile, zonesFile.getZones());

    if (StopFlag) {
        reportCaughtSignals();
        return;
    }
    guarded([&] {
        zonesFile.readZones();
        server.setZonesReady(zonesFile.hasReadSuccessfully());
        server.syncZones();
        server.updateLastSeen();
    });
    sleepInterval(passInterval());

    while (!StopFlag) {
        guarded([&] {
            // Failed pushes of earlier passes are repaired by a reconciliation.
            const bool resync = server.isSyncPending();
            const int zoneCount = zonesFile.readZones();
            server.setZonesReady(zonesFile.hasReadSuccessfully());
            int newZones = 0;
            int deletedZones = 0;
            if (zoneCount > 0 && zonesFile.zonesChanged(newZones, deletedZones)) {
                server.commitChanges(newZones, deletedZones);
            }
            if (resync) {
                server.syncZones();
            }
        });
        guarded([&] {
            if (lastSeenCounter < 1) {
                lastSeenCounter = 2;
                server.updateLastSeen();
            } else {
                --lastSeenCounter;
            }
        });
        sleepInterval(passInterval());
    }
}

int runAgent(int argc, char** argv) {
    openWakePipe();
    signal(SIGTERM, signalCatcher);
    signal(SIGINT, signalCatcher);
    // A stop signal blocked by whoever started the agent would never reach
    // the handler; one already pending is delivered here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
    openlog(APPLICATION_NAME, LOG_CONS, LOG_USER);
    paramsParser(argc, argv);
    const std::string path = getConfigurationFile();
    configFile = new ConfigFileParser(path);
    if (checkMode) {
        const int status = runCheck(path);
        closelog();
        return status;
    }
    say("Using config file: " + path);
    say(versionLine());
    const std::string exposure = tokenExposureWarning(path);
    if (!exposure.empty()) {
        say("Warning: " + exposure);
    }
    startDaemon();
    closelog();
    return 0;
}
