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
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "ControlSocket.h"
#include "EventLog.h"
#include "MetricsFile.h"
#include "Plan.h"
#include "ServiceNotify.h"
#include "SetupCheck.h"
#include "Signals.h"
#include "ZoneFileParser.h"
#include "ZonesWatch.h"
#include "mylibs.h"
#include "serverConnector.h"

std::string configFilename;

namespace {

using steadyClock = std::chrono::steady_clock;

// Check mode.
bool checkMode = false;
// --plan, its --json, and --allow-deletions with its count.
bool planMode = false;
bool planAsJson = false;
bool allowMode = false;
std::string allowCount;

// The command line, kept for a restart in place.
std::vector<std::string> savedArguments;

// Marks a process that restarted itself after detaching.
constexpr const char* DETACHED_MARK = "VANTREL_DETACHED";

}  // namespace

std::string versionLine() {
    return std::string(APPLICATION_NAME) + " " + VERSION_NUMBER + " -- Build date:" + __DATE__ +
           " " + __TIME__;
}

void displayHelp() {
    say(versionLine());
    say("");
    say("     Arguments:");
    const char* const options[][2] = {
        {"\t-h or --help", "This screen"},
        {"\t-c or --config <filename>", "Specifies configuration file"},
        {"\t-v or --version", "Prints version number"},
        {"\t-t or --test", "Checks configuration and exits"},
        {"\t--plan [--json]", "Shows what a start would change"},
        {"\t--allow-deletions <count>", "Lets the agent send held deletions"},
    };
    // Each text left-aligned in a field of 30 characters.
    const auto field = [](std::string _text) {
        _text.resize(std::max<size_t>(30, _text.size()), ' ');
        return _text;
    };
    for (const auto& option : options) {
        say(field(option[0]) + field(option[1]));
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
        } else if (arg == "--plan" || arg == "--json") {
            planMode = planMode || arg == "--plan";
            planAsJson = planAsJson || arg == "--json";
        } else if (arg == "--allow-deletions") {
            if (i + 1 >= argc) {
                say("No count of deletions specified.");
                std::exit(1);
            }
            allowMode = true;
            allowCount = argv[++i];
        } else {
            say("Unknown argument:" + arg);
            std::exit(1);
        }
    }
    if (planAsJson && !planMode) {
        say("--json needs --plan.");
        std::exit(1);
    }
}

namespace {

// The configuration candidates in the order they are tried, each once.
std::vector<std::string> configurationCandidates() {
    std::vector<std::string> candidates;
    for (const std::string& path : {configFilename, std::string("/etc/vantrel.conf"),
                                    std::string("vantrel.conf"), std::string("/etc/orvel.conf")}) {
        if (!path.empty() &&
            std::find(candidates.begin(), candidates.end(), path) == candidates.end()) {
            candidates.push_back(path);
        }
    }
    return candidates;
}

}  // namespace

std::string getConfigurationFile() {
    for (const std::string& candidate : configurationCandidates()) {
        if (access(candidate.c_str(), F_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

namespace {

// Waits until |_until|, a stop or a restart request, (with |_watch|) an
// event about the zones file, (with |_control|) an operator's allowance or
// (with |_bind|) the verdict of BIND's checker, whichever comes first; serves
// the checker and feeds the watchdog meanwhile. Returns true when the zones
// file may have changed, deletions were allowed or a verdict arrived (then
// also |_verdict|).
bool waitFor(steadyClock::time_point _until, ZonesWatch* _watch, ControlSocket* _control = nullptr,
             BindCheck* _bind = nullptr, bool* _verdict = nullptr) {
    bool changed = false;
    while (!StopFlag && !ReloadFlag && !changed) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(_until - steadyClock::now())
                .count();
        if (left <= 0) {
            break;
        }
        notifyWatchdog();
        long timeout = std::min<long long>(left, 60 * 60 * 1000);
        const long watchdog = watchdogDueInMs();
        if (watchdog >= 0) {
            timeout = std::min(timeout, std::max(watchdog, 1L));
        }
        if (_bind != nullptr && _bind->isRunning()) {
            timeout = std::min<long>(timeout, std::max(_bind->getWaitMs(), 1));
        }
        pollfd fds[4] = {{getWakeFd(), POLLIN, 0},
                         {-1, POLLIN, 0},
                         {-1, POLLIN, 0},
                         {_bind != nullptr ? _bind->getFd() : -1, POLLIN, 0}};
        if (_watch != nullptr) {
            fds[1].fd = _watch->getFd();
        }
        if (_control != nullptr) {
            fds[2].fd = _control->getFd();
        }
        if (poll(fds, 4, static_cast<int>(timeout)) > 0) {
            if (_watch != nullptr && (fds[1].revents & POLLIN) != 0) {
                changed = _watch->consumeEvents();
            }
            if (_control != nullptr && (fds[2].revents & POLLIN) != 0) {
                changed = _control->serve() || changed;
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            drainWakeFd();
        }
        if (_bind != nullptr && _bind->isRunning() && _bind->service()) {
            changed = true;
            if (_verdict != nullptr) {
                *_verdict = true;
            }
        }
    }
    reportCaughtSignals();
    return changed;
}

// Seconds between passes: the configured interval, at least one.
int passInterval() {
    return std::max<int32_t>(1, configFile->getUpZoneInterval());
}

// Waits until the status of none of |_paths| (the zones file and the files
// it includes) has changed for a second (a status time ahead of the clock
// does not count), at most five seconds. False when one is still being
// written then, or a stop or restart came.
bool waitUntilQuiet(const std::vector<std::string>& _paths) {
    const steadyClock::time_point giveUp = steadyClock::now() + std::chrono::seconds(5);
    for (;;) {
        long long youngestMs = 1000;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        for (const std::string& path : _paths) {
            // A file without status is left to the reading, which says why.
            struct stat status;
            const long long ageMs = stat(path.c_str(), &status) != 0
                                        ? 1000
                                        : (now.tv_sec - status.st_ctim.tv_sec) * 1000LL +
                                              (now.tv_nsec - status.st_ctim.tv_nsec) / 1000000;
            if (ageMs >= 0) {
                youngestMs = std::min(youngestMs, ageMs);
            }
        }
        if (youngestMs >= 1000) {
            return true;
        }
        if (steadyClock::now() >= giveUp) {
            eventLog(DEBUG, "Zones file is still being written. Deferring update.");
            return false;
        }
        waitFor(std::min(giveUp, steadyClock::now() + std::chrono::milliseconds(1000 - youngestMs)),
                nullptr);
        if (StopFlag || ReloadFlag) {
            return false;
        }
    }
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

// The three kinds of work the loop does: the first pass reconciles in full,
// an interval pass commits, repairs and counts down to the heartbeat, and an
// early reading after a change of the file only commits and repairs.
enum class passKind { First, Interval, Early };

// Everything one run of the loop works with.
struct agentState {
    ZoneFileParser& zonesFile;
    serverConnector& server;
    BindCheck& bind;
    std::unique_ptr<ZonesWatch> watch;  // null when the file is only polled
    std::unique_ptr<ControlSocket> control = nullptr;
    int lastSeenCounter = 2;
    // The latest heartbeat failed: the next interval pass sends one again.
    bool heartbeatFailed = false;
    // When the latest pass ended.
    steadyClock::time_point lastPassEnd = steadyClock::time_point();
    // The latest reading that parsed the file held no zone block.
    bool lastParsedEmpty = false;
    time_t lastSuccess = 0;
    // Wall-clock time of the next interval pass, for the status line.
    time_t nextPass = 0;
    // The metrics file could not be written; said once until it can.
    bool metricsFailureLogged = false;
    // A verdict of BIND's checker waits for the pass it serves; an early
    // pass is wanted for it.
    bool verdictReady = false;
    bool earlyPassWanted = false;
    // The latest verdict that came (Unchecked before one).
    bindVerdict lastVerdict = bindVerdict::Unchecked;
};

// Sets what the deletions of the coming pass may do. Without BIND's checker
// they go; with it they wait for a verdict, and the verdict that came since
// the latest pass serves this pass alone: accepted, they go; otherwise they
// are held with BIND's message.
void applyVerdict(agentState& _agent) {
    if (!_agent.bind.isEnabled()) {
        _agent.server.setDeletionsBlocked("");
    } else if (!_agent.verdictReady) {
        _agent.server.setDeletionsBlocked("", true);
    } else {
        _agent.verdictReady = false;
        _agent.lastVerdict = _agent.bind.getVerdict();
        const std::string hold = _agent.bind.holdReason(_agent.lastVerdict);
        _agent.server.setDeletionsBlocked(
            hold.empty() ? hold : hold + "; they wait until named-checkconf accepts it.");
    }
}

// Asks BIND's checker for a verdict when deletions waited for one in the
// latest pass. A verdict less than a minute old on unchanged files stands:
// accepted, it serves an early pass at once; otherwise the deletions wait.
void requestVerdict(agentState& _agent) {
    if (!_agent.server.takeDeletionsWanted() || !_agent.bind.isEnabled() ||
        _agent.bind.isRunning() || _agent.verdictReady ||
        _agent.bind.start(_agent.zonesFile.getFilesRead())) {
        return;
    }
    if (_agent.bind.getVerdict() == bindVerdict::Accepted) {
        _agent.verdictReady = true;
        _agent.earlyPassWanted = true;
    }
}

// Why a reconciliation may not run yet; empty when it may.
std::string syncBlockReason(const agentState& _agent) {
    if (_agent.zonesFile.hasReadSuccessfully()) {
        return std::string();
    }
    if (_agent.lastParsedEmpty) {
        return "Zone reconciliation skipped: " + _agent.zonesFile.getNoZonesReason() + ".";
    }
    return "Zone reconciliation skipped: the zones file has not been read successfully yet.";
}

// Tells the service manager and the metrics file how the agent stands.
void publish(agentState& _agent, bool _succeeded) {
    const time_t now = time(nullptr);
    if (_succeeded) {
        _agent.lastSuccess = now;
    }
    const serverConnector& server = _agent.server;
    const size_t zones = _agent.zonesFile.getZones()->size();
    char next[16] = "";
    struct tm parts;
    if (localtime_r(&_agent.nextPass, &parts) != nullptr) {
        strftime(next, sizeof next, "%H:%M:%S", &parts);
    }
    const std::string& allowance = server.getAllowanceText();
    const std::string bindHold = _agent.bind.holdReason(_agent.lastVerdict);
    const std::string unconfigured =
        configFile->getServerHostname().empty() ? "not configured: SERVER_HOSTNAME is empty; " : "";
    notifyStatus(unconfigured + (bindHold.empty() ? "" : bindHold + "; ") + std::to_string(zones) +
                 " zones; last pass " + (_succeeded ? "ok" : "failed") + "; " +
                 std::to_string(server.getDeletionsHeld()) + " deletions held; " +
                 std::to_string(server.getDeletionsWaiting()) + " waiting; " +
                 (server.isSyncPending() ? "sync pending" : "in sync") + "; next pass at " + next +
                 (allowance.empty() ? "" : "; " + allowance));
    const std::string path = configFile->getMetricsFile();
    if (path.empty()) {
        return;
    }
    metricsValues values;
    values.zones = zones;
    values.lastPass = now;
    values.lastSuccess = _agent.lastSuccess;
    values.deletionsHeld = server.getDeletionsHeld();
    values.deletionsWaiting = server.getDeletionsWaiting();
    values.syncPending = server.isSyncPending();
    values.requests = &server.getRequestCounts();
    values.bindConfigOk = _agent.lastVerdict == bindVerdict::Accepted ? 1
                          : bindHold.empty()                          ? -1
                                                                      : 0;
    std::string error;
    if (replaceFile(path, formatMetrics(values), error)) {
        _agent.metricsFailureLogged = false;
    } else if (!_agent.metricsFailureLogged) {
        _agent.metricsFailureLogged = true;
        eventLog(ERROR, "Could not write the metrics file " + path + ": " + error);
    }
}

// One pass of the given kind: reading and commit, the repair when due, and
// for interval passes the heartbeat countdown.
void runPass(agentState& _agent, passKind _kind) {
    ZoneFileParser& zonesFile = _agent.zonesFile;
    serverConnector& server = _agent.server;
    const uint64_t failuresBefore = server.getFailureCount();
    if (_kind != passKind::Early) {
        server.beginPass();
    }
    applyVerdict(_agent);
    // A repair waits for its turn: a failure in this pass's commit makes the
    // next one due, not this one.
    const bool repairDue = _kind == passKind::First || server.isRepairDue();
    guarded([&] {
        if (waitUntilQuiet(zonesFile.getFilesRead())) {
            if (_agent.watch) {
                // Events up to here are answered by this reading.
                _agent.watch->consumeEvents();
            }
            const int zoneCount = zonesFile.readZones();
            const readResult result = zonesFile.getLastResult();
            if (_agent.watch) {
                _agent.watch->setPaths(zonesFile.getFilesRead());
            }
            if (result == readResult::Read || result == readResult::NoZoneBlocks) {
                _agent.lastParsedEmpty = result == readResult::NoZoneBlocks;
            }
            server.setSyncBlocked(syncBlockReason(_agent));
            int newZones = 0;
            int deletedZones = 0;
            // The first pass reconciles in full instead.
            if (_kind != passKind::First && zoneCount > 0 &&
                zonesFile.zonesChanged(newZones, deletedZones)) {
                server.commitChanges(newZones, deletedZones);
            }
        }
        if (!StopFlag && _kind == passKind::Interval) {
            server.retryRefusedZones();
        }
        if (!StopFlag && repairDue) {
            server.syncZones();
        }
    });
    if (_kind != passKind::Early && !StopFlag) {
        guarded([&] {
            // A failed heartbeat goes out again at the next pass, so that a
            // service that answers again is noticed at once.
            if (_kind == passKind::First || _agent.lastSeenCounter < 1 || _agent.heartbeatFailed) {
                _agent.lastSeenCounter = 2;
                _agent.heartbeatFailed = !server.updateLastSeen();
            } else {
                --_agent.lastSeenCounter;
            }
        });
    }
    if (_kind != passKind::Early) {
        server.endPass();
        _agent.nextPass = time(nullptr) + passInterval();
    }
    server.closeAllowance();
    requestVerdict(_agent);
    _agent.lastPassEnd = steadyClock::now();
    publish(_agent, server.getFailureCount() == failuresBefore);
}

// Sleeps until the next interval pass. A change of the zones file, an
// operator's allowance and the end of a deletion's grace period bring an
// early reading, at most one a second, without moving the next pass.
void sleepUntilNextPass(agentState& _agent) {
    const steadyClock::time_point deadline =
        steadyClock::now() + std::chrono::seconds(passInterval());
    steadyClock::time_point lastEarly = steadyClock::now() - std::chrono::seconds(1);
    bool changed = false;
    while (!StopFlag && !ReloadFlag && steadyClock::now() < deadline) {
        changed = changed || std::exchange(_agent.earlyPassWanted, false);
        // A grace end that the latest pass could not serve waits for the
        // interval pass.
        const steadyClock::time_point graceEnd = _agent.server.nextDeletionDue();
        const bool graceDue = graceEnd > _agent.lastPassEnd && graceEnd < deadline;
        steadyClock::time_point until = deadline;
        if (changed || graceDue) {
            until = std::min(deadline, std::max(changed ? steadyClock::now() : graceEnd,
                                                lastEarly + std::chrono::seconds(1)));
            if (steadyClock::now() >= until) {
                runPass(_agent, passKind::Early);
                lastEarly = steadyClock::now();
                changed = false;
                continue;
            }
        }
        bool verdict = false;
        changed =
            waitFor(until, _agent.watch.get(), _agent.control.get(), &_agent.bind, &verdict) ||
            changed;
        _agent.verdictReady = _agent.verdictReady || verdict;
    }
}

// Replaces the process with a new start of the agent with the same command
// line. Returns, having said why, when the new start could not run.
void restartInPlace() {
    ReloadFlag = 0;
    const std::string path = getConfigurationFile();
    struct stat status;
    if (path.empty() || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        access(path.c_str(), R_OK) != 0) {
        eventLog(ERROR, "Restart on SIGHUP refused: the configuration file " +
                            (path.empty() ? std::string("cannot be found")
                                          : path + " is not a readable regular file") +
                            "; going on with the current configuration.");
        return;
    }
    eventLog(DEBUG, "Received SIGHUP... restarting with " + path + ".");
    notifyReloading();
    std::vector<char*> argv;
    for (std::string& argument : savedArguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    // Signals stay blocked until the new start has its handlers in place.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &signals, &previous);
    execv("/proc/self/exe", argv.data());
    const std::string reason = std::strerror(errno);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    eventLog(ERROR, "Restart on SIGHUP failed: " + reason + "; going on as before.");
}

}  // namespace

void daemonize() {
    if (std::getenv(DETACHED_MARK) != nullptr) {
        return;
    }
    say("Daemonizing process...");
    if (!isJournalStream()) {
        writeSyslog(LOG_INFO, "Daemonizing...");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        say(std::string("Could not detach: fork failed: ") + std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0) {
        std::exit(0);
    }
    setenv(DETACHED_MARK, "1", 1);
}

void startDaemon() {
    if (configFile->getDaemonize() && std::getenv("NOTIFY_SOCKET") != nullptr) {
        // The service manager takes notifications from its main process
        // only: a detached child could never report itself ready.
        say("Warning: DAEMONIZE=TRUE is ignored: started by the service manager (NOTIFY_SOCKET "
            "is set), the agent stays in the foreground.",
            WARN);
    } else if (configFile->getDaemonize()) {
        daemonize();
    }
    if (configFile->getUpZoneInterval() < 1) {
        eventLog(ERROR, "UPDATE_INTERVAL is " + std::to_string(configFile->getUpZoneInterval()) +
                            "; using 1 second between passes.");
    }
    // The client borrows the parser's zone vector, so it is built after the
    // parser and destroyed before it.
    ZoneFileParser zonesFile(configFile);
    serverConnector server(configFile, zonesFile.getZones());
    // Deletions wait for BIND's verdict on its configuration; a stop ends a
    // check under way with the checker.
    BindCheck bind(configFile);
    eventLog(INFO, "BIND's checker before deletions: " + bind.getDescription());
    agentState agent{zonesFile, server, bind, nullptr};
    if (configFile->getWatchZonesFile()) {
        agent.watch = std::make_unique<ZonesWatch>(configFile->getZoneFileName());
    }
    if (StopFlag) {
        reportCaughtSignals();
        return;
    }
    agent.control =
        std::make_unique<ControlSocket>(controlSocketPath(), [&server](uint64_t _count) {
            const size_t held = server.allowDeletions(_count);
            if (held == 0) {
                return std::string("error The agent holds no deletions back; nothing was allowed.");
            }
            return "ok The agent holds " + std::to_string(held) +
                   " deletions back; it sends at most " +
                   std::to_string(std::min<uint64_t>(held, _count)) + " of them now.";
        });
    for (passKind kind = passKind::First; !StopFlag; kind = passKind::Interval) {
        if (agent.watch) {
            agent.watch->ensure();
        }
        runPass(agent, kind);
        if (kind == passKind::First) {
            notifyReady();
        }
        sleepUntilNextPass(agent);
        if (ReloadFlag && !StopFlag) {
            restartInPlace();
        }
    }
    reportCaughtSignals();
}

int runAgent(int argc, char** argv) {
    savedArguments.assign(argv, argv + argc);
    installSignalHandlers();
    openSystemLog();
    // The plan's standard output carries the plan alone: every other line
    // goes to standard error.
    int planOutput = -1;
    if (std::find(argv + 1, argv + argc, std::string("--plan")) != argv + argc) {
        planOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    paramsParser(argc, argv);
    if (allowMode) {
        return requestAllowDeletions(allowCount);
    }
    const std::string path = getConfigurationFile();
    if (path.empty()) {
        std::string tried;
        for (const std::string& candidate : configurationCandidates()) {
            tried += (tried.empty() ? "" : ", ") + candidate;
        }
        say("No configuration file found; tried " + tried + ".", WARN);
    }
    configFile = new ConfigFileParser(path);
    // Check mode and the plan report their own findings; of the agent's
    // lines they show only the failures (the plan's on standard error).
    setLogChannel(configFile->getDaemonize(), configFile->getLoggingLevel(), checkMode || planMode);
    if (planMode) {
        const int status = runPlan(planAsJson, planOutput);
        closeSystemLog();
        return status;
    }
    if (checkMode) {
        const int status = runCheck(path, configFilename);
        closeSystemLog();
        return status;
    }
    say("Using config file: " + path);
    say(versionLine());
    const setupFindings findings = checkConfiguration(path, configFilename);
    for (const std::string& problem : findings.problems) {
        say("Warning: " + problem, WARN);
    }
    for (const std::string& warning : findings.warnings) {
        say("Warning: " + warning, WARN);
    }
    startDaemon();
    closeSystemLog();
    return 0;
}
