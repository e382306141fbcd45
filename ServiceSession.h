// ServiceSession is the agent's session with the cloud DNS service: how a
// request travels and how its reply is judged, and nothing of what the
// requests are about. Every request goes to "https://" + host + path with a
// single "Authorization: " header, over IPv4, with certificate verification
// always on, bounded in connection time, stall and overall time and in reply
// size, and held back while the service has asked for a pause (Retry-After).
// Every reply is judged in one place, which logs the caller's failure lines
// and one cause line, and counts the request for the metrics.
//
// Ownership: the session owns one libcurl share handle (connection, TLS
// session and DNS caches) that all its requests use; each request owns its
// transfer handle, header list and reply for its duration. The configuration
// is read during construction only. Single-threaded: every request runs on
// the caller's thread, blocks until done, and ends at once when a stop is
// requested (StopFlag).
#ifndef VANTREL_SERVICESESSION_H
#define VANTREL_SERVICESESSION_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class ConfigFileParser;

// Names read from a list reply, kept in one buffer: a long list costs its
// names' bytes and four bytes each, not a string each.
class nameList {
public:
    size_t size() const { return ends.size(); }
    bool empty() const { return ends.empty(); }
    std::string_view operator[](size_t _i) const {
        const uint32_t begin = _i == 0 ? 0 : ends[_i - 1];
        return std::string_view(text).substr(begin, ends[_i] - begin);
    }
    // Appends |_name|; false (nothing appended) past 4 GiB of names.
    bool push_back(std::string_view _name);
    void clear();
    bool operator==(const nameList& _other) const {
        return ends == _other.ends && text == _other.text;
    }

private:
    std::string text;
    std::vector<uint32_t> ends;
};

class ServiceSession {
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
    // Replies longer than this are parsed a slice at a time (lists) or
    // refused (replies judged by their "message").
    static constexpr size_t SLICE_ABOVE = size_t{1} << 20;
    // Longest hold a Retry-After answer can ask for, in seconds.
    static constexpr long MAX_HOLD_SECONDS = 3600;

    // What one operation sends and how its failures read.
    struct Operation {
        const char* path;
        // Short name for cause lines and metrics.
        const char* name;
        // A failed transfer is reported as such; otherwise the (empty or
        // partial) reply is judged like any other.
        bool transferExamined;
        // Logged when the service refuses, and after a failed transfer; a
        // null |failure| makes every failure silent.
        const char* failure;
        const char* transferFailure;
        // An unparsable reply also logs |failure| after the parse message.
        bool failureAfterParseError;
        // No line at all when no transfer handle could be made.
        bool silentWithoutHandle;
    };

    // What one request produced.
    struct Reply {
        bool held = false;  // not sent: a pause applies, or no host is set
        bool sent = false;  // a transfer handle existed and ran
        int code = 0;       // libcurl's result; 0 when the transfer completed
        long status = 0;    // the HTTP status
        bool tooLarge = false;
        std::string body;   // empty after a failed transfer
        std::string error;  // what ended a failed transfer
        // True when the transfer completed and the service answered.
        bool isAnswered() const { return sent && code == 0; }
        // True when the service failed on its side: a failed transfer, a 5xx
        // or a 429 status.
        bool isServiceFailure() const {
            return sent && (code != 0 || status >= 500 || status == 429);
        }
    };

    // Copies the token, host name and CA file from |_configFile| (none when
    // null). With |_shareConnections| the requests reuse connections and TLS
    // sessions; without it each request connects anew. Sends nothing.
    explicit ServiceSession(const ConfigFileParser* _configFile, bool _shareConnections = true);
    // Closes the shared connections.
    ~ServiceSession();
    ServiceSession(const ServiceSession&) = delete;
    ServiceSession& operator=(const ServiceSession&) = delete;

    // The one request procedure: GET when |_body| is null, POST of the form
    // body otherwise. Sends nothing (the reply is held) during a Retry-After
    // hold and while the host name is empty, which it logs at most once a
    // minute. A 429 or 503 reply with Retry-After starts a hold.
    Reply request(const Operation& _op, const std::string* _body);
    // False, after logging the operation's failure line and the cause, when
    // |_reply| was held, not sent or (for the operations that examine it) the
    // transfer failed.
    bool delivered(const Operation& _op, const Reply& _reply);
    // The one reply judge: reads the "message" of |_reply| into |_message|.
    // False, after logging the operation's failure lines and the cause, when
    // there is no message to judge.
    bool judge(const Operation& _op, const Reply& _reply, std::string& _message);
    // Logs |_lines| (null ones skipped) at ERROR, then the cause of the
    // failure, and counts the request as refused or failed.
    void fail(const Operation& _op, const Reply& _reply, std::initializer_list<const char*> _lines);
    // Counts a sent request with |_outcome| ("ok", "refused", "error").
    void count(const Operation& _op, const char* _outcome);
    // The cause line of a failed |_op|: the endpoint, then the transfer
    // error or the HTTP status and the service's message. Never the token.
    std::string causeOf(const Operation& _op, const Reply& _reply) const;

    // True while a Retry-After hold keeps every request back.
    bool isHeld() const { return std::chrono::steady_clock::now() < heldUntil; }
    // Starts a pass of the loop: remembers whether every request of the pass
    // before failed on the service's side.
    void beginPass();
    // True when a request succeeded in this pass after passes in which every
    // request failed on the service's side: the service is back.
    bool hasServiceReturned() const { return inOutage && passSucceeded; }

    // Requests sent so far, by endpoint name and outcome.
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
    static bool readReplyMessage(const std::string& _text, std::string& _message, bool& _parsed);
    // Parses a list reply into |_names|: member |_member| of each element, in
    // listed order. |_parsed| tells whether the text was JSON at all.
    // Returns true for an array whose elements are objects or null (a missing
    // or null member reads as empty, a number or boolean as its text), and
    // for null, an empty object or a bare string, number or boolean, which
    // list nothing. Returns false with |_names| empty for text that is not
    // JSON, an object with members, an element of another kind, or a member
    // that is an object or array. A text longer than |_sliceAbove| must be an
    // array and is parsed a slice of elements at a time, with the same result
    // in far less memory.
    static bool readList(const std::string& _text, const char* _member, nameList& _names,
                         bool& _parsed, size_t _sliceAbove = SLICE_ABOVE);
    // |_value| percent-encoded as a form value: every byte but letters,
    // digits, "-", ".", "_" and "~" becomes %XX. False when encoding failed.
    static bool encodeFormValue(std::string_view _value, std::string& _encoded);

private:
    // The "Authorization" header value, verbatim.
    std::string token;
    // Host (and port) the URLs are built on, verbatim.
    std::string serverHostname;
    // PEM file of trusted authorities; empty for the system's store.
    std::string caFile;
    // libcurl's share handle (connection, TLS session and DNS caches); null
    // when each request connects anew.
    void* share = nullptr;
    long connectTimeout = DEFAULT_CONNECT_TIMEOUT;
    long lowSpeedTime = DEFAULT_LOW_SPEED_TIME;
    long requestDeadline = DEFAULT_REQUEST_DEADLINE;
    // No request goes out before this time (a Retry-After answer).
    std::chrono::steady_clock::time_point heldUntil;
    // When the refusal to send without a host name was last logged.
    std::optional<std::chrono::steady_clock::time_point> unconfiguredSaid;
    // This pass: requests that failed on the service's side, requests the
    // service answered otherwise, and whether one succeeded. |inOutage|: the
    // latest pass with requests had only failures on the service's side.
    uint64_t passServiceFailures = 0;
    uint64_t passAnswers = 0;
    bool passSucceeded = false;
    bool inOutage = false;
    std::map<std::pair<std::string, std::string>, uint64_t> requestCounts;
};

#endif  // VANTREL_SERVICESESSION_H
