// Runs the real agent binary as a child process for end-to-end tests: writes
// its configuration, collects its standard output on a thread and stops it.
#ifndef VANTREL_TESTS_AGENT_PROCESS_H
#define VANTREL_TESTS_AGENT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// Waits until |condition| holds or |timeout| passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Number of times |needle| occurs in |haystack|.
size_t countOf(const std::string& haystack, const std::string& needle);

class AgentProcess {
public:
    AgentProcess() = default;
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts the agent with |args| in |workdir|, in a process group of its
    // own. With |pendingStop| the child starts with SIGTERM blocked and
    // pending, as if the stop arrived during start-up.
    bool start(const std::vector<std::string>& args, const std::string& workdir,
               bool pendingStop = false);
    // Everything the agent (and any child it forked) wrote so far.
    std::string output() const;
    // Waits until the output holds |text| |times| times.
    bool waitForOutput(const std::string& text, size_t times = 1,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sends |sig| to the started process.
    void signal(int sig) const;
    // Waits for the started process to end; its exit status, or -1 when it
    // was killed by a signal or did not end within |timeout|.
    int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // True while the started process runs.
    bool running();
    // Ends every process of the group (a detached child included).
    void killGroup();
    pid_t pid() const { return child; }

private:
    void collect(int fd);

    pid_t child = -1;
    bool reaped = false;
    int exitStatus = -1;
    mutable std::mutex lock;
    std::string collected;
    std::thread reader;
};

}  // namespace testutil

#endif  // VANTREL_TESTS_AGENT_PROCESS_H
