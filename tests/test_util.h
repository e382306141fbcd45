// Helpers shared by the test suites: temporary folders, files, waiting, and
// one way to run a child process (the real agent binary, another program or
// a function) with its standard output collected.
#ifndef VANTREL_TESTS_TEST_UTIL_H
#define VANTREL_TESTS_TEST_UTIL_H

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir()
        : dir(std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vantrel-test-XXXXXX") {
        if (mkdtemp(dir.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    TempDir(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    // |name| joined to the folder's path.
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Writes |content| to |path| (created or truncated), byte for byte.
inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(content.data(), static_cast<std::streamsize>(content.size()))) {
        throw std::runtime_error("cannot write " + path);
    }
}
// The whole content of |path|; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
// Waits until |condition| holds or |timeout| passes; returns whether it held.
inline bool waitUntil(const std::function<bool()>& condition, milliseconds timeout = seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !condition(); std::this_thread::sleep_for(milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}
// A named.conf-style file with the given master zones, a slave, an options
// block and a commented-out zone.
inline std::string zonesText(const std::vector<std::string>& masters) {
    std::string text = "options { directory \"/tmp\"; };\n// zone \"c.example\";\n";
    for (const std::string& name : masters) {
        text += "zone \"" + name + "\" {\n    type master;\n    file \"db." + name + "\";\n};\n";
    }
    return text + "zone \"slave.example\" { type slave; masters { 192.0.2.1; }; };\n";
}
// |count| names "prefix<i>.example".
inline std::vector<std::string> names(const std::string& prefix, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(prefix + std::to_string(i) + ".example");
    }
    return out;
}
// Number of times |needle| occurs in |haystack|.
inline size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = 0; (at = haystack.find(needle, at)) != std::string::npos;
         at += needle.size()) {
        ++count;
    }
    return count;
}

// A child process in a process group of its own, its standard output
// collected on a thread; killed with its group when the object goes away.
class Child {
public:
    Child() = default;
    ~Child() { run(nullptr); }
    Child(const Child&) = delete;

    // Runs |argv| (argv[0] is the program's path) in |workdir| with |env|
    // ("NAME=value") added to the environment. With |pendingStop| it starts
    // with SIGTERM blocked and pending, as if a stop came during start-up.
    bool start(const std::vector<std::string>& argv, const std::string& workdir = ".",
               const std::vector<std::string>& env = {}, bool pendingStop = false) {
        return run([&] {
            if (chdir(workdir.c_str()) != 0) {
                _exit(98);
            }
            for (const std::string& entry : env) {
                putenv(const_cast<char*>(entry.c_str()));
            }
            if (pendingStop) {
                sigset_t term{};
                sigaddset(&term, SIGTERM);
                sigprocmask(SIG_BLOCK, &term, nullptr);
                raise(SIGTERM);
            }
            std::vector<char*> args(argv.size() + 1, nullptr);
            std::transform(argv.begin(), argv.end(), args.begin(),
                           [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
            execv(args[0], args.data());
        });
    }
    // Runs |inChild| in a new child (ending the one before); its end is the
    // child's. Without |inChild| only ends the one before.
    bool run(const std::function<void()>& inChild) {
        if (child > 0) {
            kill(-child, SIGKILL);
            waitExit(seconds(5));
        }
        if (reader.joinable()) {
            reader.join();
        }
        reaped = readerDone = false;
        collected.clear();
        int fds[2];
        if (!inChild || pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        std::cout.flush();
        if ((child = fork()) == 0) {
            setpgid(0, 0);
            dup2(fds[1], STDOUT_FILENO);
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            inChild();
            _exit(96);
        }
        close(fds[1]);
        if (child < 0) {
            close(fds[0]);
            return false;
        }
        setpgid(child, child);
        reader = std::thread([this, fd = fds[0]] {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
                std::lock_guard<std::mutex> guard(lock);
                collected.append(buffer, static_cast<size_t>(n));
            }
            close(fd);
            readerDone = true;
        });
        return true;
    }
    // Everything the child (and any process it forked) wrote so far.
    std::string output() const {
        std::lock_guard<std::mutex> guard(lock);
        return collected;
    }
    // Everything it wrote, once it has ended (it is killed if it has not).
    std::string finalOutput() {
        if (waitExit(milliseconds(0)) == -1) {
            kill(-child, SIGKILL);
            waitExit(seconds(5));
        }
        waitUntil([this] { return readerDone.load(); }, seconds(5));
        return output();
    }
    // Waits until the output holds |text| |times| times.
    bool waitForOutput(const std::string& text, size_t times = 1,
                       milliseconds timeout = seconds(20)) {
        return waitUntil([&] { return countOf(output(), text) >= times; }, timeout);
    }
    pid_t pid() const { return child; }
    void signal(int sig) const {
        if (child > 0) {
            kill(child, sig);
        }
    }
    // The exit status, or -1 when it was killed by a signal or did not end
    // within |timeout|.
    int waitExit(milliseconds timeout = seconds(30)) {
        int status = 0;
        if (child > 0 && !reaped &&
            waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout)) {
            reaped = true;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return reaped ? exitStatus : -1;
    }

private:
    pid_t child = -1;
    bool reaped = false;
    int exitStatus = -1;
    mutable std::mutex lock;
    std::string collected;
    std::atomic<bool> readerDone{false};
    std::thread reader;
};

// Result of running a program or function to its end: the exit status (-1
// when killed) and everything written to standard output.
struct ProcessResult {
    int status = -1;
    std::string out;
};

// Runs |argv| in |workdir| to its end (killed after |timeout|).
inline ProcessResult runProcess(const std::vector<std::string>& argv,
                                const std::string& workdir = ".",
                                milliseconds timeout = seconds(30)) {
    Child child;
    child.start(argv, workdir);
    const int status = child.waitExit(timeout);
    return {status, child.finalOutput()};
}
// Runs |body| in a child process to its end; the child exits with 0.
inline ProcessResult runInChild(const std::function<void()>& body) {
    Child child;
    child.run([&] {
        body();
        std::cout.flush();
        std::fflush(stdout);
        _exit(0);
    });
    const int status = child.waitExit(seconds(60));
    return {status, child.finalOutput()};
}
// Runs |body| in a child process that has dropped root's privileges to the
// user nobody; returns its result (-1 when it could not run).
inline int runAsNobody(const std::function<int()>& body) {
    return runInChild([&] {
               const passwd* nobody = getpwnam("nobody");
               _exit(nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0
                         ? 99
                         : body());
           })
        .status;
}

}  // namespace testutil

#endif  // VANTREL_TESTS_TEST_UTIL_H
