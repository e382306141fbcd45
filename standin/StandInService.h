// StandInService is a local stand-in of the cloud DNS service: a real HTTPS
// server on a loopback address (cpp-httplib over OpenSSL) that implements the
// six endpoints the agent calls, keeps a zone list per access token, records
// the latest requests it receives and can be told to misbehave. Tests run it
// in-process; the program vantrel-standin runs it for the demo and for
// operators who want to try the agent without the real service.
//
// Ownership and threads: the object owns the server, its listening thread and
// worker threads, the zone lists, the faults and the request log. Every
// public member may be called from any thread; the state sits behind one
// mutex. stop() (also run by the destructor) releases stalled requests, ends
// the server and joins its threads. The certificate folder belongs to the
// caller; start() fills it when it lacks ca.pem, server.pem or server-key.pem.
//
// The service's endpoints (the token is the whole "Authorization" header
// value; an unknown or missing token gets HTTP 401 {"message":"invalid token"}):
//   POST /api/zones/bulk_insert  form fields zone[0], zone[1], ... -> {"message":"ok"}
//   POST /api/zones/insert       form field zone -> {"message":"ok"}
//   POST /api/zones/delete       form field zone -> {"message":"ok"} (also when
//                                the zone is not held: deletion is idempotent)
//   POST /api/zones/exists       form field zone -> {"message":"Zone found"} or
//                                {"message":"Zone not found"}
//   GET  /api/last_seen          -> {"message":"ok"}
//   GET  /api/zones/agent        -> [{"zone":"a.example"}, ...] in stored order
// A missing or empty zone field gets HTTP 400 {"message":"missing zone"}; any
// other path under /api/ gets HTTP 404 {"message":"not found"}. Zone lists keep
// insertion order; inserting a name already held changes nothing, deleting
// removes every entry of that name. Insertion, deletion and lookup take
// constant time per zone, so lists of a million zones stay quick. In lower-case mode names are
// folded to ASCII lower case before they are stored or compared.
//
// The admin endpoints, on the same server, need no token, are never recorded
// and never faulted. Form fields are URL-encoded bodies:
//   GET  /_admin/zones?token=T   200 text/plain: T's zones, one per line, in
//                                stored order; 404 for an unknown token
//   POST /_admin/zones           token=T&zone=N: appends N to T's list exactly
//                                as given (duplicates kept; T added if new)
//   POST /_admin/fault           kind=K plus optional endpoint=/api/...,
//                                zone=N, count=C (default 1; 0 = until
//                                cleared), status=S, body=B, ms=M, bytes=L,
//                                value=V. K is one of recheck, refuse,
//                                error500, empty, malformed, array, string,
//                                reply (S and B), stall (M ms, 0 = until
//                                released), reset, bodylimit (413 for bodies
//                                longer than L bytes), retryafter (S, default
//                                429, with "Retry-After: V"), endless
//   POST /_admin/faults/clear    removes every fault and releases stalls
//   POST /_admin/release         releases the stalled requests
//   POST /_admin/mode            lowercase=on|off
//   GET  /_admin/requests        the request log, one JSON object per line:
//                                {"method","path","headers":[[n,v],...],
//                                 "body","body_length","form":[[n,v],...],
//                                 "zone_fields","client_port"}
//   GET  /_admin/counts          requests per path: {"/api/...":N,...}
//   POST /_admin/requests/clear  empties the request log and the counts
// Admin replies are {"message":"ok"} or HTTP 400 {"message":reason}.
#ifndef VANTREL_STANDIN_STANDINSERVICE_H
#define VANTREL_STANDIN_STANDINSERVICE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace standin {

// Ordered name/value pairs (headers or form fields).
using Fields = std::vector<std::pair<std::string, std::string>>;

// Bounds of the request log: requests kept, bytes of a body kept, form
// fields kept.
constexpr size_t MAX_LOGGED_REQUESTS = 10000;
constexpr size_t MAX_LOGGED_BODY = 4096;
constexpr size_t MAX_LOGGED_FIELDS = 64;

// One request to the service's endpoints as the stand-in received it.
struct RecordedRequest {
    std::string method;         // "GET", "POST", ...
    std::string path;           // without the query
    Fields headers;             // as sent, library-made entries removed
    std::string body;           // raw, as sent, cut after MAX_LOGGED_BODY bytes
    size_t bodyLength = 0;      // length of the whole body
    Fields form;                // form fields wholly within |body|, in body order,
                                // at most MAX_LOGGED_FIELDS
    size_t zoneFieldCount = 0;  // zone and zone[i] fields in the whole body
    int clientPort = 0;         // the client's port: one connection, one port

    // Number of headers named |_name| (ASCII case-insensitive).
    size_t headerCount(const std::string& _name) const;
    // Value of the first header named |_name|; empty when there is none.
    std::string header(const std::string& _name) const;
    // Values of the form fields named |_name|, in body order.
    std::vector<std::string> formValues(const std::string& _name) const;
};

// Ways the stand-in can misbehave.
enum class FaultKind {
    Reply,      // answer with status, content type and body instead of serving
    Refuse,     // answer {"message":"refused"} and change nothing
    Recheck,    // answer {"message":"recheck"} (meant for the heartbeat)
    Stall,      // hold the request unanswered, then serve it as usual
    Reset,      // reset the TCP connection without answering
    BodyLimit,  // answer 413 with an HTML page to bodies over a limit
    Endless,    // answer 200 with a JSON array that never ends
};

// One fault: what happens, to which requests, how often. Build it with the
// factory functions and narrow it with on(), forZone(), times() or always().
struct Fault {
    FaultKind kind = FaultKind::Reply;
    std::string endpoint;         // path the fault applies to; empty = every /api/ path
    std::string zone;             // only requests carrying this zone; empty = any
    int remaining = 1;            // requests left to hit; negative = until cleared
    int status = 200;             // Reply: HTTP status
    std::string contentType;      // Reply: content type
    std::string body;             // Reply: body
    std::string retryAfterValue;  // Reply: Retry-After header value; empty = none
    long stallMs = 0;             // Stall: hold time in ms; 0 = until released
    size_t maxBody = 0;           // BodyLimit: longest body served

    // HTTP |_status| with |_body| as application/json.
    static Fault reply(int _status, std::string _body);
    // HTTP 500 with an HTML page.
    static Fault serverError();
    // HTTP 200 with an empty body.
    static Fault emptyBody();
    // HTTP 200 with JSON cut short.
    static Fault malformedJson();
    // HTTP 200 with a JSON array.
    static Fault jsonArray();
    // HTTP 200 with a bare JSON string.
    static Fault jsonString();
    // Refuses requests carrying |_zone| (any request when empty).
    static Fault refuse(std::string _zone = std::string());
    // The heartbeat's "recheck" answer, on /api/last_seen.
    static Fault recheck();
    // Holds requests |_ms| milliseconds, or until released when 0.
    static Fault stall(long _ms = 0);
    // Resets the connection.
    static Fault reset();
    // HTTP 413 with an HTML page for requests whose body is longer than
    // |_bytes|; shorter ones pass untouched and do not use the fault up.
    static Fault bodyLimit(size_t _bytes);
    // HTTP |_status| with {"message":"slow down"} and the header
    // "Retry-After: |_value|", sent verbatim.
    static Fault retryAfter(int _status, std::string _value);
    // HTTP 200 with a chunked body of "[{"zone":"x0.example"},..." that never
    // ends; it stops when the client goes away or the service stops.
    static Fault endless();

    // Applies the fault to |_endpoint| only.
    Fault& on(std::string _endpoint);
    // Applies the fault only to requests whose form carries |_zone|.
    Fault& forZone(std::string _zone);
    // Applies the fault to the next |_count| matching requests.
    Fault& times(int _count);
    // Applies the fault until the faults are cleared.
    Fault& always();
};

class StandInService {
public:
    // Serves with the certificates in |_certDir| (generated there when
    // missing at start()).
    explicit StandInService(std::string _certDir);
    // Stops the service when it runs.
    ~StandInService();

    StandInService(const StandInService&) = delete;
    StandInService& operator=(const StandInService&) = delete;

    // Binds |_address| (an IPv4 address in 127.0.0.0/8) and |_port| (0 picks
    // a free port) and starts serving. Returns false with the reason in
    // |_error| when the address is not loopback, the certificates cannot be
    // made or loaded, the port cannot be bound, or it already runs.
    bool start(int _port, std::string& _error, const std::string& _address = "127.0.0.1");
    // The bound port; 0 before start().
    int port() const { return boundPort.load(); }
    // "127.0.0.1:PORT", the agent's SERVER_HOSTNAME for this service.
    std::string hostAndPort() const;
    // Path of the CA certificate clients must trust.
    std::string caFile() const;
    // Releases stalled requests, stops serving and joins the threads.
    // Harmless when not running.
    void stop();

    // Keep-alive limits: requests per connection (default 100000) and idle
    // seconds (default 5); effective at the next start().
    void setKeepAlive(size_t _maxRequests, long _timeoutSeconds);

    // Accepts |_token| (with an empty zone list when new).
    void addToken(const std::string& _token);
    // Appends |_zone| to |_token|'s list exactly as given, duplicates kept;
    // adds the token when new.
    void addZone(const std::string& _token, const std::string& _zone);
    // Replaces |_token|'s list by |_zones| as given; adds the token when new.
    void setZones(const std::string& _token, const std::vector<std::string>& _zones);
    // |_token|'s zone list in stored order; empty for an unknown token.
    std::vector<std::string> zones(const std::string& _token) const;
    // Folds names to ASCII lower case before storing or comparing them.
    void setLowerCaseNames(bool _on);

    // Adds |_fault| after the ones already set; the first that matches a
    // request applies.
    void addFault(const Fault& _fault);
    // Removes every fault and releases stalled requests.
    void clearFaults();
    // Lets every stalled request go on.
    void releaseStalled();
    // Number of requests held by a stall right now.
    size_t stalledCount() const;

    // The latest MAX_LOGGED_REQUESTS requests to /api/ paths, oldest first.
    std::vector<RecordedRequest> requests() const;
    // Number of requests in the log (at most MAX_LOGGED_REQUESTS).
    size_t requestCount() const;
    // Requests per /api/ path since the start or the last clearRequests(),
    // never cut.
    std::map<std::string, size_t> requestCounts() const;
    // Empties the request log and the counts.
    void clearRequests();

    // True for an IPv4 address in 127.0.0.0/8, the only ones served on.
    static bool isLoopbackAddress(const std::string& _address);
    // Decodes a URL-encoded form body into fields, in order; "+" is a space,
    // a broken %-sequence stays as written, empty segments are skipped.
    static Fields parseForm(const std::string& _body);

private:
    // One endpoint's work on the state, run with the lock held.
    using Handler = void (StandInService::*)(const std::string&, const Fields&, httplib::Response&);

    // Serves one request to an /api/ path: records it, checks the token,
    // applies a matching fault, then runs |_handler|.
    void serveApi(const httplib::Request& _request, const std::string& _body,
                  httplib::Response& _response, Handler _handler);
    // Adds every zone[i] field's name not yet held; answers ok.
    void handleBulkInsert(const std::string& _token, const Fields& _form,
                          httplib::Response& _response);
    // Adds the zone field's name unless held; 400 without a name.
    void handleInsert(const std::string& _token, const Fields& _form, httplib::Response& _response);
    // Removes every entry of the zone field's name; 400 without a name.
    void handleDelete(const std::string& _token, const Fields& _form, httplib::Response& _response);
    // Answers "Zone found" or "Zone not found"; 400 without a name.
    void handleExists(const std::string& _token, const Fields& _form, httplib::Response& _response);
    // Answers ok.
    void handleLastSeen(const std::string& _token, const Fields& _form,
                        httplib::Response& _response);
    // Answers the token's list as an array of {"zone": name}.
    void handleAgentZones(const std::string& _token, const Fields& _form,
                          httplib::Response& _response);
    // Answers 404 for any other /api/ path.
    void handleNotFound(const std::string& _token, const Fields& _form,
                        httplib::Response& _response);

    // Registers the admin endpoints.
    void routeAdmin();
    // Serves POST /_admin/fault.
    void adminFault(const Fields& _form, httplib::Response& _response);

    // One token's zones in stored order, each indexed by its name as
    // compared (folded in lower-case mode). Only addZone() and setZones()
    // make duplicates.
    struct ZoneList {
        std::list<std::string> names;
        std::unordered_multimap<std::string, std::list<std::string>::iterator> index;
    };

    // Takes the first fault matching |_path|, |_form| and |_bodyLength|
    // (lock held); false when none applies.
    bool takeFault(const std::string& _path, const Fields& _form, size_t _bodyLength,
                   Fault& _fault);
    // Appends |_name| to |_list| as given (lock held).
    void append(ZoneList& _list, const std::string& _name) const;
    // Appends |_zone| as this service stores it unless |_list| holds that
    // name already (lock held).
    void addOnce(ZoneList& _list, const std::string& _zone) const;
    // The name as this service stores and compares it (lock held).
    std::string storedName(const std::string& _name) const;
    // Holds the calling request until released, stopped or |_ms| passed;
    // |_lock| holds the mutex and is released while waiting.
    void stallRequest(std::unique_lock<std::mutex>& _lock, long _ms);
    // Resets the connection of |_request| at the TCP level.
    void resetConnection(const httplib::Request& _request) const;
    // Shuts down every connection the server has accepted, so that workers
    // waiting on idle kept-alive connections end at once.
    void shutdownConnections() const;
    // Calls |_action| with each descriptor of a connection accepted on the
    // bound port and its peer's address; stops when |_action| returns true.
    // cpp-httplib does not hand out its sockets, so they are found among the
    // process's open descriptors.
    template <typename Action>
    void forEachConnection(Action _action) const;

    // Folder of the CA and server certificate files (the caller's).
    std::string certDir;
    // The running server; null when stopped.
    std::unique_ptr<httplib::SSLServer> server;
    // Runs the server's accept loop.
    std::thread listener;
    // The bound port; 0 when stopped.
    std::atomic<int> boundPort{0};
    // Requests one connection may carry, and its idle time in seconds.
    size_t keepAliveMax = 100000;
    long keepAliveTimeout = 5;

    // Guards everything below.
    mutable std::mutex mutex;
    // Wakes stalled requests when releaseGeneration changes or on stop.
    std::condition_variable released;
    unsigned long releaseGeneration = 0;
    // Requests held by a stall right now.
    size_t stalled = 0;
    // Set while stop() runs; stalls end at once.
    bool stopping = false;
    // Each accepted token's zone list.
    std::map<std::string, ZoneList> zoneLists;
    // Whether names are folded to lower case.
    bool lowerCase = false;
    // Faults in the order they were added; the first match applies.
    std::vector<Fault> faults;
    // The request log, oldest first, and the requests per path.
    std::deque<RecordedRequest> log;
    std::map<std::string, size_t> counts;
};

}  // namespace standin

#endif  // VANTREL_STANDIN_STANDINSERVICE_H
