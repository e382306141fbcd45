#include "EventLog.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

struct logChannel {
    bool configured = false;
    bool detached = false;
    logLevel threshold = DEBUG;
    bool failuresOnly = false;
};

logChannel channel;

void defaultSyslogWriter(int priority, const std::string& message) {
    // The message is data, never a format string.
    syslog(priority, "%s", message.c_str());
}

syslogWriter currentSyslogWriter = defaultSyslogWriter;

}  // namespace

void setLogChannel(bool _detached, logLevel _threshold, bool _failuresOnly) {
    channel = logChannel{true, _detached, _threshold, _failuresOnly};
}

bool isLogged(logLevel level) {
    if (level == NOTICE) {
        return true;
    }
    if (!channel.configured) {
        return false;
    }
    if (channel.failuresOnly) {
        return level >= ERROR;
    }
    if (!channel.detached && !isJournalStream()) {
        return true;
    }
    return level >= channel.threshold;
}

void eventLog(logLevel level, std::string _message) {
    if (!isLogged(level)) {
        return;
    }
    // Under the journal every line goes to standard output, so that all of
    // them carry the one identity the journal gives the service's stream.
    if (!isJournalStream() && (level == NOTICE || (channel.detached && !channel.failuresOnly))) {
        writeSyslog(level == NOTICE ? LOG_CRIT : LOG_INFO, _message);
    } else {
        say(_message, level);
    }
}

void say(const std::string& _line, logLevel _level) {
    static const char* const priorities[] = {"<7>", "<6>", "<4>", "<3>", "<5>"};
    std::cout << (isJournalStream() ? priorities[_level] : "") << _line << std::endl;
    // A reader that went away leaves the stream failed; later lines are
    // tried again rather than lost for good.
    std::cout.clear();
}

void openSystemLog() {
    openlog(APPLICATION_NAME, LOG_CONS, LOG_USER);
}

void closeSystemLog() {
    closelog();
}

syslogWriter setSyslogWriter(syslogWriter writer) {
    syslogWriter previous = currentSyslogWriter;
    currentSyslogWriter = writer != nullptr ? writer : defaultSyslogWriter;
    return previous;
}

void writeSyslog(int priority, const std::string& message) {
    currentSyslogWriter(priority, message);
}

bool isJournalStream() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat status;
        if (stream == nullptr || fstat(1, &status) != 0) {
            return false;
        }
        unsigned long long device = 0;
        unsigned long long inode = 0;
        return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
               device == static_cast<unsigned long long>(status.st_dev) &&
               inode == static_cast<unsigned long long>(status.st_ino);
    }();
    return journal;
}
