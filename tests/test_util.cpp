#include "test_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace testutil {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    dir = std::string(base != nullptr ? base : "/tmp") + "/vantrel-test-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(content.data(), static_cast<std::streamsize>(content.size()))) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

Child::~Child() {
    launch(nullptr);
}

bool Child::launch(const std::function<void()>& inChild) {
    // A Child may be started again once its previous process is done with.
    if (child > 0) {
        kill(-child, SIGKILL);
        waitExit(seconds(5));
    }
    if (reader.joinable()) {
        reader.join();
    }
    child = -1;
    reaped = false;
    readerDone = false;
    collected.clear();
    int fds[2];
    if (!inChild || pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    std::cout.flush();
    child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (child == 0) {
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        inChild();
        _exit(96);
    }
    setpgid(child, child);
    close(fds[1]);
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

bool Child::start(const std::vector<std::string>& argv, const std::string& workdir,
                  const std::vector<std::string>& env, bool pendingStop) {
    return launch([&] {
        if (chdir(workdir.c_str()) != 0) {
            _exit(98);
        }
        for (const std::string& entry : env) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        if (pendingStop) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            raise(SIGTERM);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
    });
}

bool Child::run(const std::function<int()>& body) {
    return launch([&] {
        const int status = body();
        std::cout.flush();
        std::fflush(stdout);
        _exit(status);
    });
}

std::string Child::output() const {
    std::lock_guard<std::mutex> guard(lock);
    return collected;
}

std::string Child::finalOutput() {
    if (waitExit(milliseconds(0)) == -1) {
        kill(-child, SIGKILL);
        waitExit(seconds(5));
    }
    waitUntil([this] { return readerDone.load(); }, seconds(5));
    return output();
}

bool Child::waitForOutput(const std::string& text, size_t times, milliseconds timeout) {
    return waitUntil([&] { return countOf(output(), text) >= times; }, timeout);
}

void Child::signal(int sig) const {
    if (child > 0) {
        kill(child, sig);
    }
}

int Child::waitExit(milliseconds timeout) {
    int status = 0;
    if (child > 0 && !reaped &&
        waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout)) {
        reaped = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return reaped ? exitStatus : -1;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workdir,
                         milliseconds timeout) {
    Child child;
    child.start(argv, workdir);
    const int status = child.waitExit(timeout);
    return {status, child.finalOutput()};
}

ProcessResult runInChild(const std::function<void()>& body) {
    Child child;
    child.run([&] {
        body();
        return 0;
    });
    const int status = child.waitExit(seconds(60));
    return {status, child.finalOutput()};
}

int runAsNobody(const std::function<int()>& body) {
    Child child;
    child.run([&] {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
            return 99;
        }
        return body();
    });
    return child.waitExit(seconds(60));
}

}  // namespace testutil
