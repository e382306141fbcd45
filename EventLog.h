// The agent's one logging path and its identity. Every component reports
// through eventLog(); the texts that go to standard output whatever the
// logging settings (start-up, help, check mode) go through say(). Where a
// line goes is decided here: the journal when standard output is the
// journal's stream, else standard output in the foreground and the system
// log when detached. The loop sets the channel once the configuration is
// read; until then only NOTICE lines are written. Includes nothing of the
// agent, so that every part can log without depending on the loop.
#ifndef VANTREL_EVENTLOG_H
#define VANTREL_EVENTLOG_H

#include <string>

// The identity of the agent's lines in the system log and the journal.
constexpr const char* APPLICATION_NAME = "Vantrel";

// Severity of a log message; a higher value is more severe. DEBUG to ERROR
// are the thresholds LOG_LEVEL names; NOTICE marks the lines of the agent's
// own course (an orderly stop), which every threshold lets through.
enum logLevel { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, NOTICE = 4 };

// Sets the channel: |_detached| (DAEMONIZE) sends lines to the system log,
// |_threshold| (LOG_LEVEL) filters the system log and the journal, and
// |_failuresOnly| (check mode and the plan, which report their own findings)
// lets only ERROR and NOTICE lines through.
void setLogChannel(bool _detached, logLevel _threshold, bool _failuresOnly = false);

// Writes |_message| as one line. When standard output is the journal: there,
// led by the level's priority ("<7>" debug, "<6>" info, "<5>" notice, "<4>"
// warning, "<3>" error), at or above the threshold. Elsewhere: in the
// foreground verbatim to standard output (every level), detached to the
// system log at LOG_INFO (at or above the threshold); a NOTICE line goes to
// the system log at LOG_CRIT. The text is never used as a format string.
void eventLog(logLevel level, std::string _message);

// True when eventLog would write a message of |level| anywhere; lets a
// caller skip building a message that would be dropped.
bool isLogged(logLevel level);

// Writes |_line| to standard output and flushes it. When standard output is
// the journal, the line is led by the priority of |_level| ("<4>" for WARN)
// so that the journal files it so; elsewhere it is written verbatim. A
// failed write (a reader that went away) is dropped.
void say(const std::string& _line, logLevel _level = INFO);

// Opens the system log under APPLICATION_NAME; closeSystemLog() closes it.
void openSystemLog();
void closeSystemLog();

// Receives the lines meant for the system log. The default calls syslog();
// tests replace it to see what the agent would have logged.
using syslogWriter = void (*)(int priority, const std::string& message);
// Installs |writer| (nullptr restores the default) and returns the previous one.
syslogWriter setSyslogWriter(syslogWriter writer);
// Writes one line to the system log through the installed writer.
void writeSyslog(int priority, const std::string& message);

// True when standard output is the journal's stream (JOURNAL_STREAM names
// its device and inode). Decided once, on the first call.
bool isJournalStream();

#endif  // VANTREL_EVENTLOG_H
