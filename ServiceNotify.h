// Talks to the service manager: readiness, status, watchdog and stop
// notifications through sd_notify(). Every call is harmless where no notification socket is set.
// Called from the main loop's thread only; the watchdog is never fed from
// another thread, so a frozen loop is noticed.
#ifndef VANTREL_SERVICENOTIFY_H
#define VANTREL_SERVICENOTIFY_H

#include <string>

// Tells the service manager that the agent is up (after its first pass).
void notifyReady();
// Replaces the one-line status the service manager shows.
void notifyStatus(const std::string& _status);
// Tells the service manager that a stop has begun.
void notifyStopping();
// Tells the service manager that the agent restarts itself in place.
void notifyReloading();
// Feeds the watchdog when a quarter of its period has passed since the last
// feed;
// cheap enough to call between requests and from transfer callbacks.
void notifyWatchdog();
// Milliseconds until the watchdog must be fed again; -1 when it is off.
long watchdogDueInMs();

#endif  // VANTREL_SERVICENOTIFY_H
