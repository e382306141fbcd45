// The plan ("vantrel --plan [--json]"): what a start of the agent would do at
// the service now, without doing it. It reads the zones file once, as a pass
// does, fetches the service's zone list with one request and changes nothing
// (no heartbeat either), so it can run beside a running agent.
#ifndef VANTREL_PLAN_H
#define VANTREL_PLAN_H

#include <string>

// Exit statuses of the plan.
constexpr int PLAN_IN_SYNC = 0;
constexpr int PLAN_UNREADABLE = 1;
constexpr int PLAN_CHANGES = 2;

// Writes the plan for the configuration in the global configFile to the
// descriptor |_out|: plain text (the counts, then one line per zone), or with
// |_json| one JSON object. Every failure goes to standard error. Returns
// PLAN_IN_SYNC when the service matches the zones file, PLAN_CHANGES when a
// reconciliation would change something (insertions, deletions, waiting or
// held ones), PLAN_UNREADABLE when the configuration lacks the service, or
// the zones file or the service's list cannot be read.
int runPlan(bool _json, int _out);

#endif  // VANTREL_PLAN_H
