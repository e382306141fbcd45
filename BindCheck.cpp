#include "BindCheck.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "ConfigFileParser.h"
#include "mylibs.h"

namespace {

// Output kept of one check; the rest is read and dropped so that the
// checker never blocks on a full pipe.
constexpr size_t OUTPUT_KEPT = 64 * 1024;
// Output read by one call of service(), so that a flood cannot hold it.
constexpr size_t READ_PER_CALL = 1024 * 1024;
// A verdict younger than this is kept while none of the files changed.
constexpr auto REUSE_PERIOD = std::chrono::seconds(60);
// The longest wait between two looks at a running checker, in milliseconds.
constexpr int64_t RECHECK_MS = 1000;
// The longest message kept.
constexpr size_t MESSAGE_BYTES = 1024;
// Where the default checker is looked for.
const char* const CHECKER_FOLDERS[] = {"/usr/bin/", "/usr/sbin/"};

// The first of the checker folders holding an executable |_name|; empty
// when none does.
std::string findChecker(const std::string& _name) {
    for (const char* folder : CHECKER_FOLDERS) {
        const std::string path = folder + _name;
        struct stat status;
        if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return std::string();
}

// The line with its control bytes replaced by blanks, cut to MESSAGE_BYTES.
std::string cleanLine(std::string _line) {
    if (_line.size() > MESSAGE_BYTES) {
        _line.resize(MESSAGE_BYTES);
    }
    for (char& c : _line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return _line;
}

// True when |_line| starts with "file:line: ", the shape of BIND's messages
// about a place in its configuration.
bool isPlaced(const std::string& _line) {
    for (size_t colon = _line.find(':'); colon != std::string::npos;
         colon = _line.find(':', colon + 1)) {
        size_t digits = colon + 1;
        while (digits < _line.size() && _line[digits] >= '0' && _line[digits] <= '9') {
            ++digits;
        }
        if (digits > colon + 1 && _line.compare(digits, 2, ": ") == 0) {
            return true;
        }
    }
    return false;
}

// BIND's first error in |_output|: the first line that is not a warning
// about a deprecated or obsolete option, else the first line; empty when
// there is none.
std::string firstError(const std::string& _output) {
    std::string first;
    size_t begin = 0;
    while (begin < _output.size()) {
        size_t end = _output.find('\n', begin);
        if (end == std::string::npos) {
            end = _output.size();
        }
        const std::string line = trim(_output.substr(begin, std::min(end - begin, MESSAGE_BYTES)));
        begin = end + 1;
        if (line.empty()) {
            continue;
        }
        if (line.find("deprecated") == std::string::npos &&
            line.find("is obsolete") == std::string::npos) {
            return line;
        }
        if (first.empty()) {
            first = line;
        }
    }
    return first;
}

}  // namespace

BindCheck::BindCheck(const ConfigFileParser* _config) : verdict(bindVerdict::Unchecked) {
    std::string namedConf = trim(_config->getNamedConf());
    for (const char* candidate : {"/etc/bind/named.conf", "/etc/named.conf"}) {
        struct stat status;
        if (namedConf.empty() && stat(candidate, &status) == 0) {
            namedConf = candidate;
        }
    }
    if (namedConf.empty()) {
        namedConf = _config->getZoneFileName();
    }
    // The command's words, split on blanks.
    std::vector<std::string> words;
    std::string word;
    for (const char c : _config->getNamedCheckconf() + " ") {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    std::string off;
    if (words.size() == 1 && words[0] == "none") {
        off = "NAMED_CHECKCONF=none";
    } else if (words.empty()) {
        words.push_back(findChecker("named-checkconf"));
        if (words[0].empty()) {
            off = "named-checkconf is not installed in /usr/bin or /usr/sbin";
        }
    } else if (words[0].find('/') == std::string::npos && !findChecker(words[0]).empty()) {
        words[0] = findChecker(words[0]);
    }
    if (off.empty() && namedConf.empty()) {
        off = "no configuration to check (NAMED_CONF and ZONES_FILE are empty)";
    }
    if (!off.empty()) {
        verdict = bindVerdict::Off;
        description = "off: " + off + "; deletions go without BIND's verdict";
        return;
    }
    argv = words;
    argv.push_back(namedConf);
    for (const std::string& each : argv) {
        description += (description.empty() ? "" : " ") + each;
    }
}

BindCheck::~BindCheck() {
    killChild();
    // A killed process ends at once unless the kernel holds it in a wait;
    // it is not waited for longer than a second.
    for (int round = 0; round < 100 && !killed.empty(); ++round) {
        reapKilled();
        if (!killed.empty()) {
            usleep(10000);
        }
    }
}

bool BindCheck::start(const std::vector<std::string>& _files) {
    if (!isEnabled()) {
        return false;
    }
    reapKilled();
    std::vector<fileStamp> now = takeStamps(_files);
    const bool changed = changedSince(now);
    if (isRunning() && !changed) {
        return true;
    }
    if (!isRunning() && !changed && verdict != bindVerdict::Unchecked &&
        clock::now() - started < REUSE_PERIOD) {
        return false;
    }
    // A running check judges files that have changed since it started: its
    // verdict would not describe them.
    killChild();
    stamps = std::move(now);
    return launch();
}

int BindCheck::getWaitMs() const {
    if (!isRunning()) {
        return -1;
    }
    // Once the output has ended the exit is near; a checker whose output
    // stays open after its exit (a process it left behind holds the pipe) is
    // noticed within a second.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        started + std::chrono::seconds(deadlineSeconds) - clock::now());
    return static_cast<int>(
        std::clamp<int64_t>(left.count() + 1, 0, outputEnded ? 20 : RECHECK_MS));
}

bool BindCheck::service() {
    reapKilled();
    if (!isRunning()) {
        return false;
    }
    if (!outputEnded && !drain()) {
        outputEnded = true;
        close(fd);
        fd = -1;
    }
    // A look without reaping: while the ended checker is a zombie, its
    // process group's number stays its own, so what is left of the group can
    // be killed before the reap.
    siginfo_t exited{};
    if (waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno != EINTR) {
        // Not our child any more (a SIGCHLD set to ignore reaps it itself).
        pid = -1;
        finish(bindVerdict::Failed, "the checker \"" + argv[0] + "\" vanished without a status");
        return true;
    }
    if (exited.si_pid == pid) {
        kill(-pid, SIGKILL);
        int status = 0;
        rusage usage{};
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        pid = -1;
        peakKiB = usage.ru_maxrss;
        if (fd >= 0) {
            drain();  // what the checker wrote last
        }
        judge(status);
        return true;
    }
    if (clock::now() >= started + std::chrono::seconds(deadlineSeconds)) {
        killChild();
        finish(bindVerdict::Failed, "the checker \"" + argv[0] + "\" gave no verdict within " +
                                        std::to_string(deadlineSeconds) + " s and was killed");
        return true;
    }
    return false;
}

void BindCheck::cancel() {
    if (isRunning()) {
        killChild();
        finish(bindVerdict::Failed, "the check was stopped before its verdict");
        stamps.clear();
    }
}

double BindCheck::getSeconds() const {
    if (verdict == bindVerdict::Unchecked || verdict == bindVerdict::Off) {
        return 0;
    }
    return std::chrono::duration<double>((isRunning() ? clock::now() : ended) - started).count();
}

bindVerdict BindCheck::runToEnd(const std::vector<std::string>& _files) {
    start(_files);
    while (isRunning()) {
        pollfd readable{fd, POLLIN, 0};
        poll(&readable, fd >= 0 ? 1 : 0, getWaitMs());
        service();
    }
    return verdict;
}

std::vector<BindCheck::fileStamp> BindCheck::takeStamps(
    const std::vector<std::string>& _files) const {
    std::vector<fileStamp> out;
    std::vector<std::string> paths = {argv.back()};
    paths.insert(paths.end(), _files.begin(), _files.end());
    for (const std::string& path : paths) {
        fileStamp stamp;
        stamp.path = path;
        struct stat status;
        if (stat(path.c_str(), &status) == 0) {
            stamp.device = status.st_dev;
            stamp.inode = status.st_ino;
            stamp.size = status.st_size;
            stamp.modified = status.st_mtim;
            stamp.changed = status.st_ctim;
        }
        out.push_back(stamp);
    }
    return out;
}

bool BindCheck::changedSince(const std::vector<fileStamp>& _stamps) const {
    const auto same = [](const fileStamp& a, const fileStamp& b) {
        return a.path == b.path && a.device == b.device && a.inode == b.inode && a.size == b.size &&
               a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
               a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
    };
    return _stamps.size() != stamps.size() ||
           !std::equal(_stamps.begin(), _stamps.end(), stamps.begin(), same);
}

bool BindCheck::launch() {
    started = clock::now();
    verdict = bindVerdict::Running;
    message.clear();
    output.clear();
    outputEnded = false;
    peakKiB = 0;
    std::vector<char*> args;
    for (std::string& each : argv) {
        args.push_back(each.data());
    }
    args.push_back(nullptr);
    // The checker gets /dev/null as input, the pipe as output and error, no
    // other descriptor, default signal dispositions (the agent ignores
    // SIGPIPE), an empty signal mask and a process group of its own, which a
    // kill ends whole.
    int out[2] = {-1, -1};
    int error = pipe2(out, O_CLOEXEC) == 0 ? 0 : errno;
    if (error == 0 && out[1] <= STDERR_FILENO) {
        // Kept clear of the descriptors the checker's are made from.
        const int high = fcntl(out[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(out[1]);
        out[1] = high;
        error = high < 0 ? errno : 0;
    }
    if (error == 0 && fcntl(out[0], F_SETFL, O_NONBLOCK) != 0) {
        error = errno;
    }
    if (error == 0) {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        // A failed exec (not found, not executable, a directory) comes back
        // as the error of the spawn.
        error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    if (out[1] >= 0) {
        close(out[1]);
    }
    if (error == 0) {
        fd = out[0];
        return true;
    }
    pid = -1;
    if (out[0] >= 0) {
        close(out[0]);
    }
    struct stat target;
    const bool folder = stat(argv[0].c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    finish(bindVerdict::Failed, "the checker \"" + argv[0] + "\" cannot be run (" +
                                    (folder ? "it is a directory" : std::strerror(error)) + ")");
    return false;
}

bool BindCheck::drain() {
    char buffer[16384];
    for (size_t taken = 0; taken < READ_PER_CALL;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const size_t keep = std::min(static_cast<size_t>(n), OUTPUT_KEPT - output.size());
            output.append(buffer, keep);
            taken += static_cast<size_t>(n);
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    return true;
}

void BindCheck::killChild() {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
    if (pid > 0) {
        kill(-pid, SIGKILL);
        killed.push_back(pid);
        pid = -1;
    }
    reapKilled();
}

void BindCheck::reapKilled() {
    killed.erase(std::remove_if(killed.begin(), killed.end(),
                                [](pid_t each) {
                                    const pid_t reaped = waitpid(each, nullptr, WNOHANG);
                                    return reaped == each || (reaped < 0 && errno == ECHILD);
                                }),
                 killed.end());
}

void BindCheck::finish(bindVerdict _verdict, const std::string& _message) {
    ended = clock::now();
    verdict = _verdict;
    message = cleanLine(_message);
    output.clear();
    output.shrink_to_fit();
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

void BindCheck::judge(int _status) {
    const std::string checker = "the checker \"" + argv[0] + "\"";
    if (WIFSIGNALED(_status)) {
        finish(bindVerdict::Failed,
               checker + " was killed by signal " + std::to_string(WTERMSIG(_status)));
        return;
    }
    const int code = WEXITSTATUS(_status);
    if (code == 0) {
        finish(bindVerdict::Accepted, std::string());
        return;
    }
    const std::string line = firstError(output);
    // An unreadable file: "[file:line: ]open: PATH: permission denied".
    const std::string denied = ": permission denied";
    const size_t open = line.find("open: ");
    if (open != std::string::npos && line.size() > denied.size() &&
        line.compare(line.size() - denied.size(), denied.size(), denied) == 0) {
        const std::string path = line.substr(open + 6, line.size() - denied.size() - open - 6);
        const std::string place = open >= 2 ? ", included at " + line.substr(0, open - 2) : "";
        finish(bindVerdict::Failed, checker + " cannot read \"" + path + "\" (permission denied" +
                                        place + "); " + readAccessAdvice());
        return;
    }
    if (isPlaced(line)) {
        finish(bindVerdict::Refused, line);
        return;
    }
    finish(bindVerdict::Failed, checker + " exited with status " + std::to_string(code) +
                                    (line.empty() ? " without a message" : ": " + line));
}

std::string BindCheck::holdReason(bindVerdict _verdict) const {
    if (_verdict == bindVerdict::Refused) {
        return "BIND refuses its configuration: " + message;
    }
    if (_verdict == bindVerdict::Failed) {
        return "BIND's checker gave no verdict: " + message;
    }
    return std::string();
}
