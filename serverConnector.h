// serverConnector is the agent's client of the cloud DNS service: it decides
// what to send. It sends through its ServiceSession (ServiceSession.h), which
// knows how a request travels and how a reply is judged.
//
// It is gentle with a struggling service: bulk insertions go out in batches,
// the repair of failed pushes (a full reconciliation) waits an exponentially
// growing number of passes while it keeps failing, and a mass deletion is
// held back by the MAX_DELETE_PERCENT guard until the operator allows it. A
// batch refused for its content is split in halves down to the zones the
// service refuses, which wait on their own backoff. A zone is deleted only
// once it has been missing for DELETE_GRACE seconds, and no deletion goes out
// while setDeletionsBlocked() holds a reason.
//
// Ownership: the zone vector belongs to ZoneFileParser, which must outlive the
// client; the client erases zones whose deletion the service accepted and
// sets their "at service" mark, nothing else. The configuration is read
// during construction only. Single-threaded: every operation runs on the
// caller's thread, blocks until done, and gives up at once when a stop is
// requested.
#ifndef VANTREL_SERVERCONNECTOR_H
#define VANTREL_SERVERCONNECTOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DeletionPolicy.h"
#include "ServiceSession.h"
#include "ZoneData.h"

class ConfigFileParser;

// The kind of change a log entry records.
enum actionType { atNONE = 0, atINSERT = 1, atDELETE = 2 };

// What a reconciliation started now would do, as "vantrel --plan" shows it.
struct reconciliationPlan {
    size_t listed = 0;                 // zones the service lists
    std::vector<std::string> inserts;  // zones of the file the list lacks
    std::vector<std::string> deletes;  // listed zones the file lacks, deleted at once
    std::vector<std::string> waiting;  // the same, deleted once DELETE_GRACE has passed
    std::vector<std::string> held;     // the same, held back
    std::string heldReason;            // why they are held; empty when none is
};

class serverConnector {
public:
    // Most zones and most body bytes of one bulk insertion request.
    static constexpr size_t BATCH_MAX_ZONES = 1000;
    static constexpr size_t BATCH_MAX_BYTES = size_t{512} << 10;
    // Longest wait of the repair after failures, in seconds of passes.
    static constexpr long MAX_REPAIR_WAIT_SECONDS = 1800;
    // Shortest time between two ERROR lines about one refused zone, in seconds.
    static constexpr long REFUSAL_LOG_SECONDS = 3600;

    // Copies the interval and deletion settings from |_configFile| and gives
    // the session its token, host name and CA file; borrows |_zones|. With
    // |_shareConnections| the requests reuse connections and TLS sessions.
    // Makes no request and validates nothing.
    serverConnector(const ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                    bool _shareConnections = true);
    virtual ~serverConnector();

    serverConnector(const serverConnector&) = delete;
    serverConnector& operator=(const serverConnector&) = delete;

    // Inserts the zones flagged new when |_newZones| > 0, then walks the
    // deletions when |_deletedZones| > 0: asks once for the deletion of every
    // zone flagged deleted whose grace period is over, in vector order, and
    // erases the accepted ones from the zone vector; refused ones stay flagged
    // for the next pass.
    void commitChanges(int _newZones, int _deletedZones);
    // Bulk-inserts the zones flagged new and marks those the service accepted.
    void insertZones();
    // Sends every name in |_zonesList| in batches (even an empty list goes out
    // once). A batch refused for its content (a message other than "ok", or a
    // 4xx status but 429) is sent again in halves down to the single zones
    // the service refuses, which are logged and wait on their own backoff; a
    // failed transfer, a reply that is not JSON, a 5xx or 429 status ends the
    // insertion (logged, sync marked pending). True when every zone was
    // accepted.
    bool insertBulkZones(std::vector<std::string> _zonesList);
    // Inserts one zone. True when the service answered "ok"; false (logged,
    // sync marked pending) otherwise.
    bool insertZone(std::string _zoneName);
    // Sends again, in batches, the refused zones whose backoff is over.
    void retryRefusedZones();
    // Deletes one zone at the service. True when it answered "ok"; false
    // (logged, sync marked pending) otherwise. The zone vector is untouched.
    bool deleteZone(std::string _zoneName);
    // True only when the service answers "Zone found"; false on any failure.
    bool zoneExists(std::string _zone);
    // Has no effect: the service keeps no log entries from the agent.
    void insertLogEntry(std::string _zone, actionType _type);

    // Heartbeat. An "ok" answer is logged as success; "recheck" first runs a
    // full reconciliation of every zone; any failure is logged. True when the
    // service answered "ok" or "recheck".
    bool updateLastSeen();
    // Full reconciliation: bulk insertion of the zones the service is not
    // known to hold (flagged deleted ones excepted), then deletion of every
    // zone the service lists that is not in the vector (ASCII letter case
    // ignored) and has been listed so for DELETE_GRACE seconds (held back by
    // the deletion guard), then insertion of the zones the list lacks whose
    // insertion has not failed in this reconciliation (none after a failed
    // batch). Skipped, with the reason logged and the sync left pending,
    // while setSyncBlocked() holds a reason.
    void syncZones();
    // Fetches the service's zone list and deletes each listed zone that no
    // zone of the vector carries. A failed fetch deletes nothing and marks
    // the sync pending.
    void deleteNotFoundZones();
    // Fetches the service's zone list (one request; nothing else is sent or
    // changed) and fills |_plan| with what a reconciliation started now would
    // do. False, with the failure logged, when the list cannot be fetched.
    bool planReconciliation(reconciliationPlan& _plan);

    // Lets the walk and the reconciliation of the next pass send, ahead of
    // the guard, at most |_count| of the deletions the guard holds now, once
    // (logged at WARNING; a held reconciliation runs at that pass). Returns
    // how many the guard holds; when none, nothing is allowed.
    size_t allowDeletions(size_t _count);
    // Ends a pass, early ones included: an allowance given before it ends,
    // logged at WARNING with how many of the allowed deletions were sent.
    void closeAllowance();
    // "allowed N deletions, M sent" about the latest allowance, or that it
    // waits for its pass; empty before any.
    const std::string& getAllowanceText() const { return policy.getAllowanceText(); }

    // Forbids reconciliation with |_reason| logged instead (empty allows it):
    // before the zones file has been read, an empty vector would wipe the
    // agent's zones at the service.
    void setSyncBlocked(const std::string& _reason) { syncBlocked = _reason; }
    // Holds every deletion that is due, with |_reason| (empty lets them go);
    // with |_awaiting| they wait silently for a verdict instead. The
    // operator's allowance overrides neither.
    void setDeletionsBlocked(const std::string& _reason, bool _awaiting = false) {
        policy.setBlocked(_reason);
        policy.setAwaiting(_awaiting);
    }
    // True when a deletion was due since the last call while deletions were
    // blocked or awaiting; clears the mark.
    bool takeDeletionsWanted() { return policy.takeWanted(); }

    // Starts an interval pass: counts down the wait of a pending repair.
    void beginPass();
    // Ends an interval pass: a pass with a failure makes the repair wait
    // 1, 2, 4, ... passes (with jitter, up to about half an hour); a
    // reconciliation without failure resets the wait, and so does a request
    // that succeeds after passes in which every request failed on the
    // service's side.
    void endPass();
    // True when no hold applies and either a repair is pending and its wait is
    // over, the grace period of a listed zone the file lacks has ended, or
    // the deletions of listed zones waited for a verdict that has come.
    bool isRepairDue() const;
    // The earliest end of a grace period a deletion waits for (steady clock),
    // as computed by the latest walk and reconciliation; the time point's
    // maximum when none waits.
    std::chrono::steady_clock::time_point nextDeletionDue() const { return policy.nextDue(); }
    // True after a failed request, a skipped or held reconciliation: the
    // service may differ from the zone vector.
    bool isSyncPending() const { return syncPending; }
    // True when a request failed since the last beginPass().
    bool hasPassFailed() const { return passFailed; }
    // Failed, held or skipped requests so far.
    uint64_t getFailureCount() const { return failureCount; }
    // Deletions held back in the latest walk and reconciliation.
    size_t getDeletionsHeld() const { return policy.getHeld(); }
    // Deletions waiting for their grace period to end.
    size_t getDeletionsWaiting() const { return policy.getWaiting(); }
    // Requests sent so far, by endpoint name and outcome ("ok", "refused",
    // "error").
    const std::map<std::pair<std::string, std::string>, uint64_t>& getRequestCounts() const {
        return session.getRequestCounts();
    }
    // The session the requests go through.
    ServiceSession& getSession() { return session; }

private:
    using steadyClock = std::chrono::steady_clock;
    using Operation = ServiceSession::Operation;
    using Reply = ServiceSession::Reply;

    // What the service made of one batch, or of one insertion of a zone.
    enum class batchOutcome : char { Unsent, Accepted, Refused, Failed };

    // The session's verdicts; a failure also marks the sync pending.
    bool delivered(const Operation& _op, const Reply& _reply);
    bool judge(const Operation& _op, const Reply& _reply, std::string& _message);
    void fail(const Operation& _op, const Reply& _reply, std::initializer_list<const char*> _lines);
    // Sends one batch body; logs a failure (not a refusal) with its cause.
    batchOutcome postBatch(const std::string& _body, Reply& _reply);
    // Sends |_names| in batches, splitting refused ones; returns each name's
    // outcome (Failed for the batch that failed, Unsent after it).
    std::vector<batchOutcome> insertBatches(const std::vector<std::string>& _names);
    // Records that the service refused |_name|, as |_reply| says: the zone
    // waits 1, 2, 4, ... passes; logged at most once an hour.
    void noteRefusal(const std::string& _name, const Reply& _reply);
    // Bulk-inserts the records at |_positions| and marks the accepted ones.
    // A record whose refusal backoff runs is skipped; one listed at the service
    // while waiting for its deletion grace is marked held there instead.
    // Returns the outcome of each position.
    std::vector<batchOutcome> insertRecords(const std::vector<size_t>& _positions);
    // Sends "zone=" + the encoded name to a single-zone operation.
    bool postSingleZone(const Operation& _op, std::string_view _zoneName, const char* _success);
    // Fetches the service's zone list; false (logged) when it fails.
    bool fetchZoneList(nameList& _names);
    // Deletes the flagged records whose grace period is over (the walk).
    void deleteZones(size_t _base);
    // Returns, for each record, whether |_listed| holds it (ASCII letter case
    // ignored), and in |_extras| the positions in |_listed| of the names no
    // record carries, in folded name order.
    std::vector<bool> matchListed(const nameList& _listed, std::vector<uint32_t>& _extras) const;
    // Deletes the listed zones the vector lacks whose grace period is over
    // and returns, for each record, whether the list holds it.
    std::vector<bool> deleteListedExtras(const nameList& _listed);
    // Sends the deletions of |_names|, due now out of |_base| zones, that
    // the policy lets through (|_allowed|: those the allowance covers).
    // Returns per name whether the service accepted its deletion and, in
    // |_held|, whether it was held back.
    std::vector<bool> sendDeletions(const std::vector<std::string_view>& _names,
                                    const std::vector<bool>& _allowed, size_t _base,
                                    std::vector<bool>& _held);
    // Marks the sync pending and the pass failed.
    void noteFailure();

    // Borrowed from ZoneFileParser.
    std::vector<zoneData>* zones;
    ServiceSession session;
    // What may be deleted now.
    DeletionPolicy policy;
    // Most passes the repair waits.
    long maxRepairWait;

    // Why reconciliation may not run; empty when it may.
    std::string syncBlocked = "Zone reconciliation skipped: the zones file has not been read yet.";
    bool syncPending = false;
    // The latest reconciliation's deletions wait for a verdict.
    bool extrasAwaiting = false;
    bool passFailed = false;
    uint64_t failureCount = 0;
    // The latest reconciliation ran without failure.
    bool syncSucceeded = false;
    // Consecutive interval passes with a failure, and the passes the pending
    // repair still waits.
    int failureStreak = 0;
    long repairWait = 0;
    std::minstd_rand jitter;
    // A zone the service refused: consecutive refusals, interval passes until
    // it is sent again, when it was last logged.
    struct refusal {
        int streak = 0;
        long passesLeft = 0;
        steadyClock::time_point lastLogged;
    };
    std::unordered_map<std::string, refusal> refusals;
};

#endif  // VANTREL_SERVERCONNECTOR_H
