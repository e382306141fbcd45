#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace testutil {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vantrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) {
        // Leaving a temporary folder behind is not worth failing a test.
    }
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int runAsNobody(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
            _exit(99);
        }
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

namespace {

// Forks a child that runs |childBody| with its standard output on a pipe and
// then exits with status 0; collects that output. Once it holds |stopWhen|
// (when not empty) the child gets SIGTERM; after |timeoutSeconds| it gets
// SIGKILL and the status is -1.
ProcessResult collectChild(const std::function<void()>& childBody, const std::string& stopWhen,
                           int timeoutSeconds) {
    ProcessResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    std::cout.flush();
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        childBody();
        std::cout.flush();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool stopped = false;
    bool killed = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<size_t>(n));
        if (!stopped && !stopWhen.empty() && result.out.find(stopWhen) != std::string::npos) {
            kill(pid, SIGTERM);
            stopped = true;
        }
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !killed) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workdir,
                         const std::string& stopWhen, int timeoutSeconds) {
    return collectChild(
        [&] {
            const int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
            if (chdir(workdir.c_str()) != 0) {
                _exit(98);
            }
            std::vector<char*> args;
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(97);
        },
        stopWhen, timeoutSeconds);
}

ProcessResult runInChild(const std::function<void()>& body) {
    return collectChild(body, "", 60);
}

}  // namespace testutil
