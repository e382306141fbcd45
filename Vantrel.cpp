#include "Vantrel.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <iomanip>
#include <iostream>

#include "ConfigFileParser.h"

volatile std::sig_atomic_t StopFlag = 0;
std::string configFilename;
ConfigFileParser* configFile = nullptr;

namespace {

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

void eventLog(logLevel level, std::string _message) {
    if (configFile == nullptr) {
        return;
    }
    const logLevel threshold = configFile->getLoggingLevel();
    if (!configFile->getDaemonize()) {
        std::cout << _message << std::endl;
        return;
    }
    if (level >= threshold) {
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
    if (sig == SIGTERM || sig == SIGINT) {
        StopFlag = 1;
    }
}

int runAgent(int argc, char** argv) {
    signal(SIGTERM, signalCatcher);
    signal(SIGINT, signalCatcher);
    openlog(APPLICATION_NAME, LOG_CONS, LOG_USER);
    paramsParser(argc, argv);
    const std::string path = getConfigurationFile();
    configFile = new ConfigFileParser(path);
    say("Using config file: " + path);
    say(versionLine());
    closelog();
    return 0;
}
