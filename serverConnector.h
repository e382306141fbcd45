// serverConnector is the agent's only client of the cloud DNS service. Every
// operation sends its requests through one procedure ("https://" + host + path,
// a single "Authorization: " header, IPv4 only, certificate verification always
// on) and judges the JSON replies through the pure reader functions below.
//
// Ownership: the zone vector belongs to ZoneFileParser, which must outlive the
// connector; the connector only erases zones whose deletion the service
// accepted. The configuration object is read during construction only. The
// connector owns one libcurl share handle (connection, TLS session and DNS
// caches) that all its requests use; each request owns its own transfer
// handle, header list and reply text for its duration only. Single-threaded:
// every operation runs on the caller's thread and blocks until done.
#ifndef VANTREL_SERVERCONNECTOR_H
#define VANTREL_SERVERCONNECTOR_H

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>
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

    // Copies the run time stamp, token, host name and CA file from
    // |_configFile| and borrows |_zones|. With |_shareConnections| the requests
    // reuse connections and TLS sessions; without it each request connects
    // anew. Makes no request and validates nothing.
    serverConnector(ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                    bool _shareConnections = true);
    // Closes the shared connections. Releases neither the configuration nor
    // the zone vector.
    virtual ~serverConnector();

    serverConnector(const serverConnector&) = delete;
    serverConnector& operator=(const serverConnector&) = delete;

    // Inserts the zones flagged new (one bulk request) when |_newZones| > 0,
    // then deletes those flagged deleted when |_deletedZones| > 0.
    void commitChanges(int _newZones, int _deletedZones);
    // Bulk-inserts the names of the zones flagged new, even when there are
    // none; the result is not used.
    void insertZones();
    // One POST of every name in |_zonesList|. True when the service answered
    // "ok"; false (logged, sync marked pending) otherwise.
    bool insertBulkZones(std::vector<std::string> _zonesList);
    // Inserts one zone. True when the service answered "ok"; false (logged,
    // sync marked pending) otherwise.
    bool insertZone(std::string _zoneName);
    // Deletes every zone flagged deleted, erasing each accepted one from the
    // zone vector and starting over from the top after each success.
    void deleteZones();
    // Deletes one zone at the service. True when it answered "ok"; false
    // (logged, sync marked pending) otherwise. The zone vector is untouched.
    bool deleteZone(std::string _zoneName);
    // True only when the service answers "Zone found"; false on any failure.
    // Logs nothing.
    bool zoneExists(std::string _zone);
    // Has no effect: the service keeps no log entries from the agent.
    void insertLogEntry(std::string _zone, actionType _type);

    // Heartbeat. An "ok" answer is logged as success; "recheck" first runs
    // syncZones; any failure is logged and forgotten.
    void updateLastSeen();
    // Full reconciliation: bulk insertion of every zone not flagged deleted,
    // then deletion of every zone the service lists that is not in the zone
    // vector. Skipped, with an error line and the sync left pending, until
    // setZonesReady(true).
    void syncZones();
    // Fetches the service's zone list and deletes each listed zone that no
    // zone of the vector carries (ASCII letter case ignored). A failed fetch
    // deletes nothing and marks the sync pending.
    void deleteNotFoundZones();

    // Allows reconciliation once the zones file has been read successfully;
    // before that an empty vector would wipe the agent's zones at the service.
    void setZonesReady(bool _ready) { zonesReady = _ready; }
    // True once setZonesReady(true) allowed reconciliation.
    bool isZonesReady() const { return zonesReady; }
    // True after a failed insertion or deletion, a failed list fetch or a
    // skipped reconciliation: the service may differ from the zone vector and
    // the main loop should run syncZones. Cleared when syncZones starts.
    bool isSyncPending() const { return syncPending; }

    // Replaces the connection and stall bounds (seconds, each at least 1);
    // used by tests that must not wait the default minute.
    void setTimeouts(long _connectSeconds, long _lowSpeedSeconds);
    // True when requests share connections and TLS sessions.
    bool isSharingConnections() const { return share != nullptr; }

    // Parses a reply judged by its "message" member. |_parsed| tells whether
    // the text was JSON at all. Returns true with the member's text in
    // |_message| for an object (a missing or null member reads as empty, a
    // number or boolean as its text) and for null (empty). Returns false with
    // |_message| empty for text that is not JSON and for any other shape: an
    // array, a bare string, number or boolean, or a "message" that is an
    // object or array. Never throws.
    static bool readReplyMessage(const std::string& _text, std::string& _message, bool& _parsed);
    // Parses the service's zone list into |_names|, in listed order. |_parsed|
    // tells whether the text was JSON at all. Returns true for an array whose
    // elements are objects or null (a missing or null "zone" reads as empty,
    // a number or boolean as its text), and for null, an empty object or a
    // bare string, number or boolean, which list nothing. Returns false with
    // |_names| empty for text that is not JSON, an object with members, an
    // element of another kind, or a "zone" that is an object or array. Never
    // throws.
    static bool readZoneList(const std::string& _text, std::vector<std::string>& _names,
                             bool& _parsed);
    // |_value| percent-encoded as a form value: every byte but letters,
    // digits, "-", ".", "_" and "~" becomes %XX. False when encoding failed.
    static bool encodeFormValue(const std::string& _value, std::string& _encoded);

private:
    // What one request produced.
    struct requestResult {
        bool sent = false;         // a transfer handle existed and ran
        CURLcode code = CURLE_OK;  // the transfer's result when sent
        std::string readBuffer;    // the reply text, possibly partial
    };

    // The one request procedure: GET of |_path| when |_body| is null, POST of
    // *|_body| otherwise. |sent| is false when no handle could be created.
    requestResult performRequest(const std::string& _path, const std::string* _body);
    // Sends "zone=" + the encoded name to |_path| and judges the "message"
    // member against "ok", logging |_success| or |_failure|.
    bool postSingleZone(const std::string& _path, const std::string& _zoneName,
                        const std::string& _success, const std::string& _failure);

    // The configuration's run time stamp, narrowed; no request sends it.
    int32_t runTimestamp;
    // Borrowed; read during construction only.
    ConfigFileParser* configFile;
    // Borrowed from ZoneFileParser; only deleteZones erases from it.
    std::vector<zoneData>* zones;
    // The "Authorization" header value, verbatim.
    std::string token;
    // Host (and port) the URLs are built on, verbatim.
    std::string serverHostname;
    // PEM file of trusted authorities; empty for the system's store.
    std::string caFile;
    // Connection, TLS session and DNS caches of all requests; null when
    // every request connects anew.
    CURLSH* share;
    // Connection bound in seconds.
    long connectTimeout;
    // Seconds under one byte per second after which a transfer fails.
    long lowSpeedTime;
    // Whether reconciliation may run (the zones file has been read).
    bool zonesReady;
    // Whether the service may differ from the zone vector.
    bool syncPending;
};

#endif  // VANTREL_SERVERCONNECTOR_H
