#include "Signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "EventLog.h"
#include "ServiceNotify.h"

volatile std::sig_atomic_t StopFlag = 0;
volatile std::sig_atomic_t ReloadFlag = 0;

namespace {

// Signals caught and not yet reported, and the pipe that wakes the loop's
// waits. Only the signal handler writes the counters and the pipe.
volatile std::sig_atomic_t caughtTerm = 0;
volatile std::sig_atomic_t caughtInt = 0;
int wakePipe[2] = {-1, -1};

}  // namespace

void installSignalHandlers() {
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
    signal(SIGTERM, signalCatcher);
    signal(SIGINT, signalCatcher);
    signal(SIGHUP, signalCatcher);
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

extern "C" void signalCatcher(int sig) {
    const int savedErrno = errno;
    if (sig == SIGTERM) {
        caughtTerm = caughtTerm + 1;
        StopFlag = 1;
    } else if (sig == SIGINT) {
        caughtInt = caughtInt + 1;
        StopFlag = 1;
    } else if (sig == SIGHUP) {
        ReloadFlag = 1;
    } else {
        return;
    }
    if (wakePipe[1] >= 0) {
        // Wakes a wait that is under way or about to begin.
        const ssize_t ignored = write(wakePipe[1], "s", 1);
        (void)ignored;
    }
    errno = savedErrno;
}

int getWakeFd() {
    return wakePipe[0];
}

void drainWakeFd() {
    char drain[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], drain, sizeof drain) > 0) {
    }
}

void reportCaughtSignals() {
    static std::sig_atomic_t reportedTerm = 0;
    static std::sig_atomic_t reportedInt = 0;
    if (StopFlag && reportedTerm + reportedInt == 0) {
        notifyStopping();
    }
    for (; reportedTerm < caughtTerm; ++reportedTerm) {
        eventLog(NOTICE, "Received SIGTERM... Quiting.");
    }
    for (; reportedInt < caughtInt; ++reportedInt) {
        eventLog(NOTICE, "Received SIGINT... Quiting.");
    }
}
