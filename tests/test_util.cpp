#include "test_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace testutil {

bool Child::run(const std::function<void()>& inChild) {
    // A Child may be started again once its previous process is done with.
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

bool Child::start(const std::vector<std::string>& argv, const std::string& workdir,
                  const std::vector<std::string>& env, bool pendingStop) {
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

}  // namespace testutil
