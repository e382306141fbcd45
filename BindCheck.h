// BIND's own judgement of its configuration: runs the configuration checker
// that ships with BIND (named-checkconf) on the configuration BIND loads, as
// a child process of the agent's own user, without a shell, its standard
// input /dev/null, its output bounded and under a deadline. The checker never
// blocks the caller: it is started, then served whenever its descriptor is
// readable, until its verdict arrives. Deletions wait for that verdict, since
// BIND keeps serving its previous configuration when it refuses a new one.
#ifndef VANTREL_BINDCHECK_H
#define VANTREL_BINDCHECK_H

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ConfigFileParser;

// Where BIND's verdict stands.
enum class bindVerdict {
    Off,        // no checker (NAMED_CHECKCONF=none, or none installed)
    Unchecked,  // no check has run yet
    Running,    // a check runs
    Accepted,   // the checker exited with status 0
    Refused,    // the checker refused the configuration; the message is BIND's
    Failed      // no verdict: the checker could not run, read a file or finish
};

class BindCheck {
public:
    // Takes NAMED_CONF and NAMED_CHECKCONF of |_config| and resolves their
    // defaults; runs nothing.
    explicit BindCheck(const ConfigFileParser* _config);
    // Kills and reaps a checker still running.
    ~BindCheck();
    BindCheck(const BindCheck&) = delete;
    BindCheck& operator=(const BindCheck&) = delete;

    // True when a checker is configured or installed.
    bool isEnabled() const { return !argv.empty(); }
    // The command that runs ("/usr/bin/named-checkconf /etc/bind/named.conf"),
    // or "off: " and why the check is off.
    const std::string& getDescription() const { return description; }

    // Starts a check of the configuration, with |_files| (the files the zones
    // reader read) watched besides it. Keeps the latest verdict instead when
    // it started less than a minute ago and none of the files changed since;
    // kills and restarts a running check whose files changed. Returns true
    // when a check runs now, false when the latest verdict stands (or the
    // check is off).
    bool start(const std::vector<std::string>& _files);
    // The descriptor to poll for reading while a check runs; -1 otherwise.
    int getFd() const { return fd; }
    // Milliseconds a poll may wait before service() is due (at most a
    // second, less near the deadline); -1 when no check runs.
    int getWaitMs() const;
    // Reads the pending output, reaps a finished checker and kills one past
    // its deadline; never blocks. Returns true when a verdict just arrived.
    bool service();
    // Kills a running check now; its verdict is Failed.
    void cancel();
    // True while a check runs.
    bool isRunning() const { return pid > 0; }

    // The latest verdict, Running while a check runs.
    bindVerdict getVerdict() const { return verdict; }
    // For Refused BIND's first message ("file:line: text"); for Failed why
    // there is no verdict; empty otherwise.
    const std::string& getMessage() const { return message; }
    // Why |_verdict| (one of this checker's) holds deletions back: "BIND
    // refuses its configuration: " or "BIND's checker gave no verdict: " and
    // the message; empty when it lets them go.
    std::string holdReason(bindVerdict _verdict) const;
    // Seconds the latest check ran (so far, while it runs).
    double getSeconds() const;
    // Peak resident memory of the latest finished checker in KiB; 0 when
    // unknown.
    long getPeakKiB() const { return peakKiB; }

    // Starts a check (as start()) and waits for its verdict, at most until
    // its deadline. Returns the verdict.
    bindVerdict runToEnd(const std::vector<std::string>& _files);

    // Sets the deadline of the checks started from now on (120 s by default).
    void setDeadline(int _seconds) { deadlineSeconds = _seconds; }

private:
    // What identifies a version of a file; all zero when it cannot be taken.
    struct fileStamp {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
    };

    // The stamps of the configuration and of |_files|.
    std::vector<fileStamp> takeStamps(const std::vector<std::string>& _files) const;
    // True when |_stamps| differ from those of the latest check.
    bool changedSince(const std::vector<fileStamp>& _stamps) const;
    // Spawns the checker. Returns false with a Failed verdict.
    bool launch();
    // Reads what the pipe holds, keeping the first 64 KiB; at most 1 MiB per
    // call. Returns false once the output has ended.
    bool drain();
    // Kills the running checker's process group and leaves it to be reaped.
    void killChild();
    // Reaps killed checkers that have ended.
    void reapKilled();
    // Ends the running check with |_verdict| and |_message|.
    void finish(bindVerdict _verdict, const std::string& _message);
    // The verdict of a checker that exited with |_status|.
    void judge(int _status);

    using clock = std::chrono::steady_clock;

    // The command with the configuration last; empty when the check is off.
    std::vector<std::string> argv;
    std::string description;
    int deadlineSeconds = 120;

    // The running checker and its output pipe; -1 when none runs.
    pid_t pid = -1;
    int fd = -1;
    bool outputEnded = false;
    // The first 64 KiB of its output.
    std::string output;
    // Killed checkers not reaped yet.
    std::vector<pid_t> killed;
    // Start and end of the latest check, and its files' stamps at its start.
    clock::time_point started{};
    clock::time_point ended{};
    std::vector<fileStamp> stamps;

    bindVerdict verdict;
    std::string message;
    long peakKiB = 0;
};

#endif  // VANTREL_BINDCHECK_H
