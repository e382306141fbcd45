// The agent's stop and restart requests. The handler of SIGTERM, SIGINT and
// SIGHUP only sets a flag and writes one byte to a pipe that wakes the
// loop's waits; the loop and every request in flight read the flags, and the
// loop writes the log lines. SIGPIPE is ignored: a write to a reader that
// went away fails and is handled where it happens.
#ifndef VANTREL_SIGNALS_H
#define VANTREL_SIGNALS_H

#include <csignal>

// Set by SIGTERM and SIGINT; read by the main loop, the waits and every
// request in flight, which end at once. Never reset.
extern volatile std::sig_atomic_t StopFlag;
// Set by SIGHUP: the agent restarts itself in place after the pass under way.
extern volatile std::sig_atomic_t ReloadFlag;

// Creates the wake pipe, installs the handler for SIGTERM, SIGINT and SIGHUP,
// ignores SIGPIPE, and unblocks the three (a signal blocked by whoever
// started the agent would never reach the handler; one already pending is
// delivered here).
void installSignalHandlers();

// The handler: records the signal and wakes the loop. Async-signal-safe.
extern "C" void signalCatcher(int sig);

// The descriptor that becomes readable when a signal was caught; -1 before
// installSignalHandlers().
int getWakeFd();
// Reads what the handler wrote, so that the next wait blocks again.
void drainWakeFd();

// Writes the stop line of every signal caught since the last call, and tells
// the service manager once that the stop has begun.
void reportCaughtSignals();

#endif  // VANTREL_SIGNALS_H
