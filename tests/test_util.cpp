#include "test_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // Files made unreadable by a test are removed all the same.
    const std::string command = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) {
        std::cerr << "could not remove " << dir << "\n";
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
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

Child::~Child() {
    if (child > 0) {
        kill(-child, SIGKILL);
        waitExit(seconds(5));
    }
    if (reader.joinable()) {
        reader.join();
    }
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
    reaped = false;
    readerDone = false;
    collected.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    std::cout.flush();
    std::fflush(stdout);
    child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        inChild();
        _exit(96);
    }
    setpgid(child, child);
    close(fds[1]);
    reader = std::thread([this, fd = fds[0]] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
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
        _exit(97);
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

std::string Child::finalOutput() {
    if (waitExit(milliseconds(0)) == -1 && !reaped) {
        kill(-child, SIGKILL);
        waitExit(seconds(5));
    }
    waitUntil([this] { return readerDone.load(); }, seconds(5));
    return output();
}

std::string Child::output() const {
    std::lock_guard<std::mutex> guard(lock);
    return collected;
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
    if (child > 0 && !reaped) {
        int status = 0;
        if (!waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout)) {
            return -1;
        }
        reaped = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exitStatus;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& workdir,
                         milliseconds timeout) {
    ProcessResult result;
    Child child;
    child.start(argv, workdir);
    result.status = child.waitExit(timeout);
    result.out = child.finalOutput();
    return result;
}

ProcessResult runInChild(const std::function<void()>& body) {
    ProcessResult result;
    Child child;
    child.run([&] {
        body();
        return 0;
    });
    result.status = child.waitExit(seconds(60));
    result.out = child.finalOutput();
    return result;
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
