// Helpers shared by the test suites: temporary folders, files, captured
// output and running code without root's privileges.
#ifndef VANTREL_TESTS_TEST_UTIL_H
#define VANTREL_TESTS_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

namespace testutil {

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

// Runs |body| in a child process that has dropped root's privileges to the
// user nobody; returns the child's exit status (-1 when it did not exit).
int runAsNobody(const std::function<int()>& body);

// Result of running a program.
struct ProcessResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;  // everything written to standard output
};

// Runs |argv| (argv[0] is the program's path) in |workdir| with standard
// input from /dev/null, collects its standard output and waits for it. Once
// the output holds |stopWhen| (when not empty) the program gets SIGTERM; after
// |timeoutSeconds| it gets SIGKILL and the status is -1.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workdir = ".",
                         const std::string& stopWhen = "", int timeoutSeconds = 30);

// Runs |body| in a forked child whose standard output is collected; the
// child exits with status 0 when |body| returns, and is killed (status -1)
// after a minute.
ProcessResult runInChild(const std::function<void()>& body);

}  // namespace testutil

#endif  // VANTREL_TESTS_TEST_UTIL_H
