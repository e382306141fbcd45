#include "ControlSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "EventLog.h"

namespace {

constexpr const char* GREETING = "vantrel ready";
constexpr const char* REQUEST = "allow-deletions ";

// Fills |_address| with |_path|; false when the path does not fit.
bool socketAddress(const std::string& _path, sockaddr_un& _address) {
    _address = sockaddr_un();
    _address.sun_family = AF_UNIX;
    if (_path.size() >= sizeof _address.sun_path) {
        return false;
    }
    _path.copy(_address.sun_path, _path.size());
    return true;
}

// Reads one line (without its line feed) of at most 128 bytes from |_fd|,
// waiting at most |_timeoutMs| in all; empty when none came.
std::string readLine(int _fd, int _timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_timeoutMs);
    std::string line;
    while (line.size() < 128) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd ready = {_fd, POLLIN, 0};
        char c = 0;
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0 || recv(_fd, &c, 1, 0) != 1) {
            break;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
    return std::string();
}

// Sends |_line| and a line feed; a peer that went away is no error.
void sendLine(int _fd, const std::string& _line) {
    const std::string text = _line + "\n";
    const ssize_t ignored = send(_fd, text.data(), text.size(), MSG_NOSIGNAL);
    (void)ignored;
}

// Reads a whole number from 1 to MAX_ALLOWED_DELETIONS; false for anything
// else.
bool readCount(const std::string& _text, uint64_t& _count) {
    if (_text.empty() || _text.size() > 10 ||
        _text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    _count = std::strtoull(_text.c_str(), nullptr, 10);
    return _count >= 1 && _count <= MAX_ALLOWED_DELETIONS;
}

}  // namespace

std::string controlSocketPath() {
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    std::string folder = runtime != nullptr ? runtime : "";
    folder = folder.substr(0, folder.find(':'));
    return (folder.empty() ? std::string("/run/vantrel") : folder) + "/control";
}

ControlSocket::ControlSocket(const std::string& _path, allowHandler _allow)
    : path(_path), allow(std::move(_allow)) {
    sockaddr_un address;
    struct stat status;
    int failure = 0;
    if (!socketAddress(path, address)) {
        failure = ENAMETOOLONG;
    } else if (lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
               unlink(path.c_str()) != 0) {
        failure = errno;
    } else if ((fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) < 0) {
        failure = errno;
    } else {
        // Only the agent's user may connect; root may anyway.
        const mode_t previous = umask(0177);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 4) != 0) {
            failure = errno;
        }
        umask(previous);
    }
    if (failure == 0) {
        return;
    }
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
    // Without its runtime folder the agent runs outside its unit, where no
    // operator expects the socket.
    if (failure != ENOENT) {
        eventLog(INFO, "No control socket at " + path + " (" + std::strerror(failure) +
                           "); vantrel --allow-deletions cannot reach this agent.");
    }
}

ControlSocket::~ControlSocket() {
    if (fd >= 0) {
        close(fd);
        unlink(path.c_str());
    }
}

bool ControlSocket::serve() {
    const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        return false;
    }
    ucred peer = {};
    socklen_t length = sizeof peer;
    bool allowed = false;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != 0) {
        sendLine(client, "error Only root may allow deletions; nothing was allowed.");
    } else {
        sendLine(client, GREETING);
        const std::string line = readLine(client, 2000);
        uint64_t count = 0;
        if (line.rfind(REQUEST, 0) == 0 && readCount(line.substr(std::strlen(REQUEST)), count)) {
            const std::string answer = allow(count);
            allowed = answer.rfind("ok ", 0) == 0;
            sendLine(client, answer);
        } else if (!line.empty()) {
            sendLine(client, "error Unknown request; nothing was allowed.");
        }
    }
    close(client);
    return allowed;
}

int requestAllowDeletions(const std::string& _count) {
    uint64_t count = 0;
    if (!readCount(_count, count)) {
        std::cerr << "--allow-deletions needs a whole number from 1 to " << MAX_ALLOWED_DELETIONS
                  << ", not \"" << _count << "\"; nothing was allowed." << std::endl;
        return 1;
    }
    if (geteuid() != 0) {
        std::cerr << "Only root may allow deletions; nothing was allowed." << std::endl;
        return 1;
    }
    const std::string path = controlSocketPath();
    sockaddr_un address;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !socketAddress(path, address) ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "No running agent answers at " << path << " (" << std::strerror(errno)
                  << "); nothing was allowed." << std::endl;
        if (fd >= 0) {
            close(fd);
        }
        return 1;
    }
    // The agent greets between passes; a pass may take a while.
    std::string answer = readLine(fd, 60000);
    if (answer == GREETING) {
        sendLine(fd, REQUEST + std::to_string(count));
        answer = readLine(fd, 10000);
    }
    close(fd);
    if (answer.rfind("ok ", 0) == 0) {
        std::cout << answer.substr(3) << std::endl;
        return 0;
    }
    std::cerr << (answer.rfind("error ", 0) == 0
                      ? answer.substr(6)
                      : "The agent did not answer within a minute; nothing was allowed.")
              << std::endl;
    return 1;
}
