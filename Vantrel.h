// The agent's entry point: the command line, the choice of the configuration
// file, detaching and the main loop. Only main.cpp includes this header; the
// parts the loop stands on include nothing of it.
#ifndef VANTREL_VANTREL_H
#define VANTREL_VANTREL_H

#include <string>

constexpr const char* VERSION_NUMBER = "2.0.0";

// "Vantrel 2.0.0 -- Build date:" followed by the build date and time.
std::string versionLine();

// Walks the command line. Returns only when the agent is to go on; ends the
// process itself for -v, -h (status 0) and usage errors (status 1). Sets
// check mode for -t.
void paramsParser(int argc, char** argv);
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

#endif  // VANTREL_VANTREL_H
