// ControlSocket is how root lets the running agent send deletions that the
// mass-deletion guard holds back ("vantrel --allow-deletions N"): a Unix
// stream socket, mode 0600, in the service's runtime folder. The agent answers
// only a process of user root (it checks the peer's credentials) and only
// between passes. It greets the client first, so a request is written only to
// an agent that is listening: a client that gave up waiting has sent nothing
// that a later greeting could pick up.
//
// One line each way: the agent "vantrel ready", the client
// "allow-deletions N", the agent "ok TEXT" or "error TEXT".
#ifndef VANTREL_CONTROLSOCKET_H
#define VANTREL_CONTROLSOCKET_H

#include <cstdint>
#include <functional>
#include <string>

// Largest number of deletions one --allow-deletions may allow.
constexpr uint64_t MAX_ALLOWED_DELETIONS = 1000000000;

// The socket's path: "control" in the first folder of $RUNTIME_DIRECTORY
// (which systemd sets from the unit's RuntimeDirectory=), else in
// /run/vantrel.
std::string controlSocketPath();

class ControlSocket {
public:
    // Answers "allow-deletions N" with "ok ..." or "error ...".
    using allowHandler = std::function<std::string(uint64_t)>;

    // Listens at |_path|, replacing a socket left there by an earlier run.
    // When it cannot, says why at INFO (nothing when the folder is missing)
    // and stays closed (getFd() is -1).
    ControlSocket(const std::string& _path, allowHandler _allow);
    // Stops listening and removes the socket.
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // The listening descriptor to wait on; -1 when closed.
    int getFd() const { return fd; }
    // Answers one waiting client, taking at most two seconds of its time.
    // True when the handler allowed deletions.
    bool serve();

private:
    std::string path;
    allowHandler allow;
    int fd = -1;
};

// "vantrel --allow-deletions N": checks that |_count| is a whole number from
// 1 to MAX_ALLOWED_DELETIONS and that the caller is root, then asks the
// running agent. Prints the agent's answer on standard output and any refusal
// on standard error. Returns 0 when the agent allowed deletions, 1 when
// nothing changed.
int requestAllowDeletions(const std::string& _count);

#endif  // VANTREL_CONTROLSOCKET_H
