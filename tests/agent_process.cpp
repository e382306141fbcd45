#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

AgentProcess::~AgentProcess() {
    killGroup();
    if (reader.joinable()) {
        reader.join();
    }
}

bool AgentProcess::start(const std::vector<std::string>& args, const std::string& workdir,
                         bool pendingStop) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        if (chdir(workdir.c_str()) != 0) {
            _exit(98);
        }
        if (pendingStop) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            raise(SIGTERM);
        }
        std::vector<char*> argv{const_cast<char*>(VANTREL_BINARY)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(97);
    }
    setpgid(child, child);
    close(fds[1]);
    reader = std::thread(&AgentProcess::collect, this, fds[0]);
    return true;
}

void AgentProcess::collect(int fd) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> guard(lock);
        collected.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
}

std::string AgentProcess::output() const {
    std::lock_guard<std::mutex> guard(lock);
    return collected;
}

bool AgentProcess::waitForOutput(const std::string& text, size_t times,
                                 std::chrono::milliseconds timeout) {
    return waitUntil([&] { return countOf(output(), text) >= times; }, timeout);
}

void AgentProcess::signal(int sig) const {
    if (child > 0) {
        kill(child, sig);
    }
}

int AgentProcess::waitExit(std::chrono::milliseconds timeout) {
    if (child <= 0) {
        return -1;
    }
    if (!reaped) {
        int status = 0;
        const bool ended =
            waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout);
        if (!ended) {
            return -1;
        }
        reaped = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exitStatus;
}

bool AgentProcess::running() {
    if (child <= 0 || reaped) {
        return false;
    }
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
        reaped = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

void AgentProcess::killGroup() {
    if (child > 0) {
        kill(-child, SIGKILL);
        if (!reaped) {
            int status = 0;
            waitpid(child, &status, 0);
            reaped = true;
        }
    }
}

}  // namespace testutil
