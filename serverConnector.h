// serverConnector is the agent's only client of the cloud DNS service. Every
// operation sends its requests through one procedure ("https://" + host + path,
// a single "Authorization: " header, IPv4 only, certificate verification always
// on, bounded in time and reply size) and judges every reply in one step.
//
// It is gentle with a struggling service: bulk insertions go out in batches,
// a 429 or 503 reply with Retry-After holds every request back until then,
// the repair of failed pushes (a full reconciliation) waits an exponentially
// growing number of passes, and a mass deletion is held back by the
// MAX_DELETE_PERCENT guard.
//
// Ownership: the zone vector belongs to ZoneFileParser, which must outlive the
// connector; the connector erases zones whose deletion the service accepted
// and sets their "at service" mark, nothing else. The configuration is read
// during construction only. The connector owns one libcurl share handle
// (connection, TLS session and DNS caches) that all its requests use; each
// request owns its transfer handle, header list and reply for its duration.
// Single-threaded: every operation runs on the caller's thread, blocks until
// done, and gives up at once when a stop is requested.
#ifndef VANTREL_SERVERCONNECTOR_H
#define VANTREL_SERVERCONNECTOR_H

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Vantrel.h"
#include "ZoneData.h"

class ConfigFileParser;

class serverConnector {
public:
    // Longest wait for a connection (TCP and TLS handshake), in seconds.
    static constexpr long DEFAULT_CONNECT_TIMEOUT = 30;
    // A transfer moving less than one byte per second for this many seconds is
    // abandoned as failed.
    static constexpr long DEFAULT_LOW_SPEED_TIME = 60;
    // Longest time one request may take, in seconds.
    static constexpr long DEFAULT_REQUEST_DEADLINE = 120;
    // Longest reply body read; a longer one fails the request.
    static constexpr size_t MAX_REPLY_BYTES = size_t{256} << 20;
    // Replies longer than this are parsed a slice at a time (zone lists) or
    // refused (replies judged by their "message").
    static constexpr size_t SLICE_ABOVE = size_t{1} << 20;
    // Most zones and most body bytes of one bulk insertion request.
    static constexpr size_t BATCH_MAX_ZONES = 1000;
    static constexpr size_t BATCH_MAX_BYTES = size_t{512} << 10;
    // Longest hold a Retry-After answer can ask for, in seconds.
    static constexpr long MAX_HOLD_SECONDS = 3600;
    // Longest wait of the repair after failures, in seconds of passes.
    static constexpr long MAX_REPAIR_WAIT_SECONDS = 1800;
    // Deletions up to this many are never held back by the guard.
    static constexpr size_t GUARD_MIN_DELETIONS = 10;

    // Copies the token, host name, CA file, interval and deletion guard from
    // |_configFile| and borrows |_zones|. With |_shareConnections| the requests
    // reuse connections and TLS sessions; without it each request connects
    // anew. Makes no request and validates nothing.
    serverConnector(const ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                    bool _shareConnections = true);
    // Closes the shared connections. Releases neither the configuration nor
    // the zone vector.
    virtual ~serverConnector();

    serverConnector(const serverConnector&) = delete;
    serverConnector& operator=(const serverConnector&) = delete;

    // Inserts the zones flagged new when |_newZones| > 0, then deletes those
    // flagged deleted when |_deletedZones| > 0.
    void commitChanges(int _newZones, int _deletedZones);
    // Bulk-inserts the zones flagged new and marks those the service accepted.
    void insertZones();
    // Sends every name in |_zonesList| in batches (even an empty list goes out
    // once). True when the service answered "ok" to every batch; the first
    // failed batch ends the insertion (logged, sync marked pending).
    bool insertBulkZones(std::vector<std::string> _zonesList);
    // Inserts one zone. True when the service answered "ok"; false (logged,
    // sync marked pending) otherwise.
    bool insertZone(std::string _zoneName);
    // Asks once for the deletion of every zone flagged deleted, in vector
    // order, and erases the accepted ones from the zone vector; refused ones
    // stay flagged for the next pass. Held back whole by the deletion guard.
    void deleteZones();
    // Deletes one zone at the service. True when it answered "ok"; false
    // (logged, sync marked pending) otherwise. The zone vector is untouched.
    bool deleteZone(std::string _zoneName);
    // True only when the service answers "Zone found"; false on any failure.
    bool zoneExists(std::string _zone);
    // Has no effect: the service keeps no log entries from the agent.
    void insertLogEntry(std::string _zone, actionType _type);

    // Heartbeat. An "ok" answer is logged as success; "recheck" first runs a
    // full reconciliation of every zone; any failure is logged and forgotten.
    void updateLastSeen();
    // Full reconciliation: bulk insertion of the zones the service is not
    // known to hold (flagged deleted ones excepted), then deletion of every
    // zone the service lists that is not in the vector (ASCII letter case
    // ignored; held back by the deletion guard), then insertion of the zones
    // the list lacks. Skipped, with the reason logged and the sync left
    // pending, while setSyncBlocked() holds a reason.
    void syncZones();
    // Fetches the service's zone list and deletes each listed zone that no
    // zone of the vector carries. A failed fetch deletes nothing and marks
    // the sync pending.
    void deleteNotFoundZones();

    // Forbids reconciliation with |_reason| logged instead (empty allows it):
    // before the zones file has been read, an empty vector would wipe the
    // agent's zones at the service.
    void setSyncBlocked(const std::string& _reason) { syncBlocked = _reason; }

    // Starts an interval pass: counts down the wait of a pending repair.
    void beginPass();
    // Ends an interval pass: a pass with a failure makes the repair wait
    // 1, 2, 4, ... passes (with jitter, up to about half an hour); a
    // reconciliation without failure resets the wait.
    void endPass();
    // True when a repair is pending, its wait is over and no hold applies.
    bool isRepairDue() const;
    // True after a failed request, a skipped or held reconciliation: the
    // service may differ from the zone vector.
    bool isSyncPending() const { return syncPending; }
    // True when a request failed since the last beginPass().
    bool hasPassFailed() const { return passFailed; }
    // Failed, held or skipped requests so far.
    uint64_t getFailureCount() const { return failureCount; }
    // Deletions the guard held back in the latest walk or reconciliation.
    size_t getDeletionsHeld() const { return deletionsHeld; }
    // Requests sent so far, by endpoint name and outcome ("ok", "refused",
    // "error").
    const std::map<std::pair<std::string, std::string>, uint64_t>& getRequestCounts() const {
        return requestCounts;
    }

    // Replaces the connection, stall and overall bounds (seconds, each at
    // least 1); used by tests that must not wait the defaults.
    void setTimeouts(long _connectSeconds, long _lowSpeedSeconds,
                     long _deadlineSeconds = DEFAULT_REQUEST_DEADLINE);
    // True when requests share connections and TLS sessions.
    bool isSharingConnections() const { return share != nullptr; }

    // Parses a reply judged by its "message" member. |_parsed| tells whether
    // the text was JSON at all. Returns true with the member's text in
    // |_message| for an object (a missing or null member reads as empty, a
    // number or boolean as its text) and for null (empty). Returns false with
    // |_message| empty for text that is not JSON and for any other shape.
    // Never throws.
    static bool readReplyMessage(const std::string& _text, std::string& _message, bool& _parsed);
    // Parses the service's zone list into |_names|, in listed order. |_parsed|
    // tells whether the text was JSON at all. Returns true for an array whose
    // elements are objects or null (a missing or null "zone" reads as empty,
    // a number or boolean as its text), and for null, an empty object or a
    // bare string, number or boolean, which list nothing. Returns false with
    // |_names| empty for text that is not JSON, an object with members, an
    // element of another kind, or a "zone" that is an object or array.
    // A text longer than |_sliceAbove| must be an array and is parsed a slice
    // of elements at a time, with the same result in far less memory.
    static bool readZoneList(const std::string& _text, std::vector<std::string>& _names,
                             bool& _parsed, size_t _sliceAbove = SLICE_ABOVE);
    // |_value| percent-encoded as a form value: every byte but letters,
    // digits, "-", ".", "_" and "~" becomes %XX. False when encoding failed.
    static bool encodeFormValue(const std::string& _value, std::string& _encoded);

    struct Operation;
    struct Reply;

private:
    // The one request procedure: GET when |_body| is null, POST otherwise.
    // Sends nothing (the reply is held) during a Retry-After hold and while
    // the host name is empty, which it logs at most once a minute.
    Reply request(const Operation& _op, const std::string* _body);
    // Checks that |_reply| arrived: false, after logging the operation's
    // failure line and the cause, when it was held, not sent or (for the
    // operations that examine it) the transfer failed.
    bool delivered(const Operation& _op, const Reply& _reply);
    // The one reply judge: reads the "message" of |_reply| into |_message|.
    // Returns false, after logging the operation's failure lines and the
    // cause, when there is no message to judge.
    bool judge(const Operation& _op, const Reply& _reply, std::string& _message);
    // Logs |_lines| at ERROR, then the cause of the failure; counts it.
    void fail(const Operation& _op, const Reply& _reply, std::initializer_list<const char*> _lines);
    // Records the outcome of a sent request for the metrics.
    void count(const Operation& _op, const char* _outcome);
    // Sends one batch body; true when the service accepted it.
    bool postBatch(const std::string& _body);
    // Sends |_names| in batches; returns how many of them (a prefix) the
    // service accepted.
    size_t insertBatches(const std::vector<std::string>& _names);
    // Bulk-inserts the records at |_positions| and marks the accepted ones.
    void insertRecords(const std::vector<size_t>& _positions);
    // Sends "zone=" + the encoded name to a single-zone operation.
    bool postSingleZone(const Operation& _op, const std::string& _zoneName, const char* _success);
    // Fetches the service's zone list; false (logged) when it fails.
    bool fetchZoneList(std::vector<std::string>& _names);
    // Deletes the listed zones the vector lacks and returns, for each record,
    // whether the list holds it.
    std::vector<bool> deleteListedExtras(const std::vector<std::string>& _listed);
    // True, with the ERROR line logged once per pass, when |_planned| of
    // |_base| zones are more deletions than the guard allows.
    bool holdDeletions(size_t _planned, size_t _base);
    // Marks the sync pending and the pass failed.
    void noteFailure();

    // Borrowed from ZoneFileParser.
    std::vector<zoneData>* zones;
    // The "Authorization" header value, verbatim.
    std::string token;
    // Host (and port) the URLs are built on, verbatim.
    std::string serverHostname;
    // PEM file of trusted authorities; empty for the system's store.
    std::string caFile;
    // Connection, TLS session and DNS caches; null when each request connects
    // anew.
    CURLSH* share;
    long connectTimeout = DEFAULT_CONNECT_TIMEOUT;
    long lowSpeedTime = DEFAULT_LOW_SPEED_TIME;
    long requestDeadline = DEFAULT_REQUEST_DEADLINE;
    // MAX_DELETE_PERCENT.
    int maxDeletePercent;
    // Most passes the repair waits.
    long maxRepairWait;

    // Why reconciliation may not run; empty when it may.
    std::string syncBlocked = "Zone reconciliation skipped: the zones file has not been read yet.";
    bool syncPending = false;
    bool passFailed = false;
    uint64_t failureCount = 0;
    // The latest reconciliation ran without failure.
    bool syncSucceeded = false;
    // Consecutive interval passes with a failure, and the passes the pending
    // repair still waits.
    int failureStreak = 0;
    long repairWait = 0;
    std::minstd_rand jitter;
    // No request goes out before this time (a Retry-After answer).
    std::chrono::steady_clock::time_point heldUntil;
    // When the refusal to send without a host name was last logged.
    std::optional<std::chrono::steady_clock::time_point> unconfiguredSaid;
    // The guard's line was logged in this pass.
    bool guardLogged = false;
    size_t deletionsHeld = 0;
    std::map<std::pair<std::string, std::string>, uint64_t> requestCounts;
};

#endif  // VANTREL_SERVERCONNECTOR_H
