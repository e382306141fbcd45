// Helpers shared by the test suites: temporary folders, files, waiting, and
// one way to run a child process (the real agent binary, another program or
// a function) with its standard output collected.
#ifndef VANTREL_TESTS_TEST_UTIL_H
#define VANTREL_TESTS_TEST_UTIL_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
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
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    // |name| joined to the folder's path.
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Writes |content| to |path| (created or truncated), byte for byte.
void writeFile(const std::string& path, const std::string& content);
// The whole content of |path|; empty when it cannot be read.
std::string readFile(const std::string& path);
// Waits until |condition| holds or |timeout| passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout = seconds(20));
// Number of times |needle| occurs in |haystack|.
size_t countOf(const std::string& haystack, const std::string& needle);

// A child process in a process group of its own, its standard output
// collected on a thread; killed with its group when the object goes away.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Runs |argv| (argv[0] is the program's path) in |workdir| with |env|
    // ("NAME=value") added to the environment. With |pendingStop| it starts
    // with SIGTERM blocked and pending, as if a stop came during start-up.
    bool start(const std::vector<std::string>& argv, const std::string& workdir = ".",
               const std::vector<std::string>& env = {}, bool pendingStop = false);
    // Runs |body| in the child; the child exits with |body|'s result.
    bool run(const std::function<int()>& body);
    // Everything the child (and any process it forked) wrote so far.
    std::string output() const;
    // Everything it wrote, once it has ended (it is killed if it has not).
    std::string finalOutput();
    // Waits until the output holds |text| |times| times.
    bool waitForOutput(const std::string& text, size_t times = 1,
                       milliseconds timeout = seconds(20));
    void signal(int sig) const;
    // The exit status, or -1 when it was killed by a signal or did not end
    // within |timeout|.
    int waitExit(milliseconds timeout = seconds(30));
    pid_t pid() const { return child; }

private:
    bool launch(const std::function<void()>& inChild);

    pid_t child = -1;
    bool reaped = false;
    int exitStatus = -1;
    mutable std::mutex lock;
    std::string collected;
    std::atomic<bool> readerDone{false};
    std::thread reader;
};

// Result of running a program or function to its end.
struct ProcessResult {
    int status = -1;  // exit status, or -1 when killed
    std::string out;  // everything written to standard output
};

// Runs |argv| in |workdir| to its end (killed after |timeout|).
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workdir = ".",
                         milliseconds timeout = seconds(30));
// Runs |body| in a child process to its end; the child exits with 0.
ProcessResult runInChild(const std::function<void()>& body);
// Runs |body| in a child process that has dropped root's privileges to the
// user nobody; returns its result (-1 when it could not run).
int runAsNobody(const std::function<int()>& body);

}  // namespace testutil

#endif  // VANTREL_TESTS_TEST_UTIL_H
