// The agent's entry point, command line, main loop, stop handling and the one
// logging entry point that every component reports through.
#ifndef VANTREL_VANTREL_H
#define VANTREL_VANTREL_H

#include <csignal>
#include <string>

class ConfigFileParser;

constexpr const char* APPLICATION_NAME = "Vantrel";
constexpr const char* VERSION_NUMBER = "2.0.0";

// Severity of a log message; a higher value is more severe. DEBUG to ERROR
// are the thresholds LOG_LEVEL names; NOTICE marks the lines of the agent's
// own course (an orderly stop), which every threshold lets through.
enum logLevel { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, NOTICE = 4 };

// The kind of change a log entry records.
enum actionType { atNONE = 0, atINSERT = 1, atDELETE = 2 };

// Set by the stop handler; read by the main loop, the waits and every request
// in flight, which end at once. Never reset.
extern volatile std::sig_atomic_t StopFlag;
// Set by SIGHUP: the agent restarts itself in place after the pass under way.
extern volatile std::sig_atomic_t ReloadFlag;
// The path given with the last -c/--config option; empty when none was given.
extern std::string configFilename;
// The one configuration object of the process; never released before exit.
extern ConfigFileParser* configFile;

// Writes |_message| as one line. When standard output is the journal: there,
// led by the level's priority ("<7>" debug, "<6>" info, "<5>" notice, "<4>"
// warning, "<3>" error), at or above the configured threshold. Elsewhere: in
// the foreground verbatim to standard output (every level), detached to the
// system log at LOG_INFO (at or above the threshold); a NOTICE line goes to
// the system log at LOG_CRIT. The text is never used as a format string.
void eventLog(logLevel level, std::string _message);

// True when eventLog would write a message of |level| anywhere; lets a
// caller skip building a message that would be dropped.
bool isLogged(logLevel level);

// Receives the lines meant for the system log. The default calls syslog();
// tests replace it to see what the agent would have logged.
using syslogWriter = void (*)(int priority, const std::string& message);
// Installs |writer| (nullptr restores the default) and returns the previous one.
syslogWriter setSyslogWriter(syslogWriter writer);
// Writes one line to the system log through the installed writer.
void writeSyslog(int priority, const std::string& message);

// "Vantrel 2.0.0 -- Build date:" followed by the build date and time.
std::string versionLine();

// Walks the command line. Returns only when the agent is to go on; ends the
// process itself for -v, -h (status 0) and usage errors (status 1). Sets
// check mode for -t.
void paramsParser(int argc, char** argv);
// True after -t/--test: check the setup instead of running.
bool isCheckMode();

// Prints the help screen.
void displayHelp();

// The first existing candidate among the -c path, "/etc/vantrel.conf",
// "vantrel.conf" and "/etc/orvel.conf"; empty when none exists.
std::string getConfigurationFile();

// The whole start-up: stop handlers, system log, command line, configuration,
// then the main loop. Returns the process's exit status.
int runAgent(int argc, char** argv);

// Detaches when DAEMONIZE=TRUE, unless a service manager started the agent
// (NOTIFY_SOCKET is set: it then stays in the foreground and warns), and runs
// the main loop until a stop is requested.
void startDaemon();

// Detaches with a single fork: the parent exits with status 0, a failed fork
// ends the process with status 1; only the child returns. A process that
// restarted itself in place after detaching does not fork again.
void daemonize();

// The handler for SIGTERM and SIGINT (stop) and SIGHUP (restart in place):
// records the signal and wakes the loop. Async-signal-safe; the loop writes
// the log line.
extern "C" void signalCatcher(int sig);

#endif  // VANTREL_VANTREL_H
