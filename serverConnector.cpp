#include "serverConnector.h"

#include <json/json.h>

#include <unistd.h>
#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <exception>
#include <iterator>
#include <tuple>

#include "ConfigFileParser.h"
#include "ServiceNotify.h"
#include "mylibs.h"

// What one operation sends and how its failures read.
struct serverConnector::Operation {
    const char* path;
    // Short name for cause lines and metrics.
    const char* name;
    // A failed transfer is reported as such; otherwise the (empty or partial)
    // reply is judged like any other.
    bool transferExamined;
    // Logged when the service refuses, and after a failed transfer.
    const char* failure;
    const char* transferFailure;
    // An unparsable reply also logs |failure| after the parse message.
    bool failureAfterParseError;
    // No line at all when no transfer handle could be made.
    bool silentWithoutHandle;
};

// What one request produced.
struct serverConnector::Reply {
    bool held = false;  // not sent: the service asked for a pause
    bool sent = false;  // a transfer handle existed and ran
    CURLcode code = CURLE_OK;
    long status = 0;
    bool tooLarge = false;
    std::string body;        // possibly partial
    std::string error;       // libcurl's text for a failed transfer
    CURL* handle = nullptr;  // the transfer under way
};

namespace {

using Operation = serverConnector::Operation;

const Operation BULK_INSERT{
    "/api/zones/bulk_insert",  "bulk_insert", true, "Could not insert zones.",
    "Could not insert zones.", false,         false};
const Operation INSERT{
    "/api/zones/insert", "insert", false, "Could not insert zone.", nullptr, false, false};
const Operation DELETE{
    "/api/zones/delete", "delete", false, "Could not delete zone.", nullptr, false, false};
const Operation EXISTS{"/api/zones/exists", "exists", false, nullptr, nullptr, false, false};
const Operation LAST_SEEN{"/api/last_seen",
                          "last_seen",
                          true,
                          "Could not send last seen timestamp",
                          "Could not send last seen timestamp:",
                          true,
                          true};
const Operation AGENT_ZONES{"/api/zones/agent",
                            "agent",
                            true,
                            "Could not fetch agent's zones.",
                            "Could not fetch agent's zones.",
                            true,
                            true};

const char* const MSG_PARSE_FAILED = "Can't parse string as JSON";

// Collects the reply into the request's text up to MAX_REPLY_BYTES; a
// longer reply ends the transfer as failed.
size_t WriteCallback(void* contents, size_t size, size_t nmemb, void* userp) {
    const size_t total = size * nmemb;
    auto* reply = static_cast<serverConnector::Reply*>(userp);
    std::string& body = reply->body;
    if (total > serverConnector::MAX_REPLY_BYTES - body.size()) {
        reply->tooLarge = true;
        return 0;
    }
    try {
        curl_off_t length = -1;
        if (body.empty() &&
            curl_easy_getinfo(reply->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0 && static_cast<uint64_t>(length) <= serverConnector::MAX_REPLY_BYTES) {
            // The announced length is taken as a hint only.
            body.reserve(static_cast<size_t>(length));
        }
        if (body.capacity() < body.size() + total) {
            // Grow in powers of two from 64 KiB, which reach the bound exactly,
            // so that the last growth holds at most one and a half times it.
            size_t capacity = size_t{64} << 10;
            while (capacity < body.size() + total) {
                capacity *= 2;
            }
            body.reserve(std::min(capacity, serverConnector::MAX_REPLY_BYTES));
        }
        body.append(static_cast<const char*>(contents), total);
    } catch (const std::exception&) {
        // Out of memory: a short count makes libcurl end the transfer as
        // failed instead of letting the exception cross C code.
        return 0;
    }
    return total;
}

// Called by libcurl at least about once a second during a transfer: feeds
// the watchdog and aborts the transfer once a stop is requested.
int ProgressCallback(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    notifyWatchdog();
    return StopFlag ? 1 : 0;
}

// Parses |_text| with the reader's default (permissive) features into
// |_root|. The reader throws on nesting deeper than its stack limit; such a
// text counts as not parsable, like any other the reader refuses.
bool parseJson(const std::string& _text, Json::Value& _root) {
    try {
        Json::Reader reader;
        return reader.parse(_text, _root, false);
    } catch (const std::exception&) {
        _root = Json::Value();
        return false;
    }
}

// Wall-clock time |_seconds| from now, as "YYYY-MM-DD HH:MM:SS UTC".
std::string utcAfter(long _seconds) {
    const time_t when = time(nullptr) + _seconds;
    struct tm parts;
    char text[32] = "";
    if (gmtime_r(&when, &parts) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}

}  // namespace

serverConnector::serverConnector(const ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                                 bool _shareConnections)
    : zones(_zones),
      share(nullptr),
      maxDeletePercent(DEFAULT_MAX_DELETE_PERCENT),
      deleteGrace(DEFAULT_DELETE_GRACE),
      maxRepairWait(MAX_REPAIR_WAIT_SECONDS / UPDATE_ZONES_INTERVAL),
      jitter(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid())) {
    if (_configFile != nullptr) {
        token = _configFile->getToken();
        serverHostname = _configFile->getServerHostname();
        caFile = _configFile->getCaFile();
        maxDeletePercent = _configFile->getMaxDeletePercent();
        deleteGrace = _configFile->getDeleteGrace();
        const long interval = std::max<long>(1, _configFile->getUpZoneInterval());
        maxRepairWait = std::max<long>(1, MAX_REPAIR_WAIT_SECONDS / interval);
    }
    if (_shareConnections) {
        share = curl_share_init();
        // Without a share every request simply connects anew; nothing else
        // depends on it, so a failure here is not an error.
        if (share != nullptr) {
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        }
    }
}

serverConnector::~serverConnector() {
    if (share != nullptr) {
        // No transfer handle outlives its request, so the share is free here;
        // this also closes the cached connections.
        curl_share_cleanup(share);
    }
}

void serverConnector::setTimeouts(long _connectSeconds, long _lowSpeedSeconds,
                                  long _deadlineSeconds) {
    // Zero would mean "library default" or "never"; neither is wanted.
    connectTimeout = std::max(1L, _connectSeconds);
    lowSpeedTime = std::max(1L, _lowSpeedSeconds);
    requestDeadline = std::max(1L, _deadlineSeconds);
}

bool serverConnector::encodeFormValue(const std::string& _value, std::string& _encoded) {
    _encoded.clear();
    if (_value.empty()) {
        return true;
    }
    if (_value.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    // The handle argument is unused by libcurl; a name with NUL bytes is
    // encoded whole because the length is given.
    char* escaped = curl_easy_escape(nullptr, _value.data(), static_cast<int>(_value.size()));
    if (escaped == nullptr) {
        return false;
    }
    _encoded = escaped;
    curl_free(escaped);
    return true;
}

bool serverConnector::readReplyMessage(const std::string& _text, std::string& _message,
                                       bool& _parsed) {
    _message.clear();
    Json::Value root;
    // A judged reply is a few bytes; a huge one is no reply, and parsing it
    // would take many times its size in memory.
    _parsed = _text.size() <= SLICE_ABOVE && parseJson(_text, root);
    if (!_parsed) {
        return false;
    }
    try {
        if (root.isNull()) {
            return true;
        }
        if (!root.isObject()) {
            return false;
        }
        const Json::Value message = root.get("message", Json::Value());
        if (message.isObject() || message.isArray()) {
            return false;
        }
        _message = message.isNull() ? std::string() : message.asString();
        return true;
    } catch (const std::exception&) {
        _message.clear();
        return false;
    }
}

namespace {

// Appends the names of the elements of |_array| to |_names|. False for an
// element that is neither an object nor null, or a "zone" that is an object
// or an array.
bool collectZoneNames(const Json::Value& _array, std::vector<std::string>& _names) {
    for (Json::ArrayIndex i = 0; i < _array.size(); ++i) {
        const Json::Value& element = _array[i];
        const Json::Value zone =
            element.isObject() ? element.get("zone", Json::Value()) : Json::Value();
        if ((!element.isObject() && !element.isNull()) || zone.isObject() || zone.isArray()) {
            return false;
        }
        _names.push_back(zone.isNull() ? std::string() : zone.asString());
    }
    return true;
}

// Moves |_at| past blanks and comments.
void skipBlanks(const std::string& _text, size_t& _at) {
    while (_at < _text.size()) {
        const char c = _text[_at];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++_at;
        } else if (_text.compare(_at, 2, "//") == 0) {
            // As the whole-text parser reads it, a line comment also ends
            // at a carriage return.
            _at = std::min(_text.find_first_of("\r\n", _at), _text.size());
        } else if (_text.compare(_at, 2, "/*") == 0) {
            const size_t close = _text.find("*/", _at + 2);
            _at = close == std::string::npos ? _text.size() : close + 2;
        } else {
            return;
        }
    }
}

// Splits the array that |_text| holds into runs of at most |_perSlice|
// elements, each written as an array of its own ("[" + elements + "]"), so
// that a long list is parsed a slice at a time. False when the text is not an
// array with non-empty elements; what follows the array is ignored, as the
// whole-text parser ignores it.
bool sliceArray(const std::string& _text, size_t _perSlice, std::vector<std::string>& _slices) {
    size_t at = 0;
    skipBlanks(_text, at);
    if (at >= _text.size() || _text[at] != '[') {
        return false;
    }
    // An empty array may hold blanks but, for the whole-text parser, no
    // comment.
    const size_t close = _text.find_first_not_of(" \t\n\r", ++at);
    if (close != std::string::npos && _text[close] == ']') {
        return true;
    }
    size_t sliceStart = at;
    size_t elements = 0;
    int depth = 0;
    for (size_t elementStart = at; at < _text.size();) {
        const char c = _text[at];
        if (c == '"') {
            for (++at; at < _text.size() && _text[at] != '"'; ++at) {
                at += _text[at] == '\\';
            }
            ++at;
        } else if (c == '/' &&
                   (_text.compare(at, 2, "//") == 0 || _text.compare(at, 2, "/*") == 0)) {
            skipBlanks(_text, at);
        } else if (c == '[' || c == '{') {
            ++depth;
            ++at;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
            ++at;
        } else if ((c == ',' || c == ']') && depth == 0) {
            size_t content = elementStart;
            skipBlanks(_text, content);
            if (content == at) {
                return false;  // an empty element
            }
            if (++elements == _perSlice || c == ']') {
                _slices.push_back("[" + _text.substr(sliceStart, at - sliceStart) + "]");
                elements = 0;
                sliceStart = at + 1;
            }
            if (c == ']') {
                return true;
            }
            elementStart = ++at;
        } else {
            ++at;
        }
    }
    return false;
}

}  // namespace

bool serverConnector::readZoneList(const std::string& _text, std::vector<std::string>& _names,
                                   bool& _parsed, size_t _sliceAbove) {
    _names.clear();
    _parsed = false;
    try {
        if (_text.size() > _sliceAbove) {
            // A long list: one slice of elements at a time, each checked by
            // the same parser, so memory stays a small multiple of the text.
            std::vector<std::string> slices;
            if (!sliceArray(_text, 4096, slices)) {
                return false;
            }
            for (std::string& slice : slices) {
                Json::Value array;
                if (!parseJson(slice, array) || !array.isArray()) {
                    // One slice that is not JSON makes the whole text none.
                    _names.clear();
                    _parsed = false;
                    return false;
                }
                std::string().swap(slice);
                _parsed = true;
                if (!collectZoneNames(array, _names)) {
                    _names.clear();
                    return false;
                }
            }
            _parsed = true;
            return true;
        }
        Json::Value root;
        _parsed = parseJson(_text, root);
        if (!_parsed) {
            return false;
        }
        if (root.isObject()) {
            // An object with members is an error reply, not a list.
            return root.empty();
        }
        // null, or a bare string, number or boolean, lists nothing.
        if (root.isArray() && !collectZoneNames(root, _names)) {
            _names.clear();
            return false;
        }
        return true;
    } catch (const std::exception&) {
        _names.clear();
        return false;
    }
}

serverConnector::Reply serverConnector::request(const Operation& _op, const std::string* _body) {
    Reply reply;
    if (std::chrono::steady_clock::now() < heldUntil) {
        reply.held = true;
        syncPending = true;
        return reply;
    }
    if (serverHostname.empty()) {
        // The URL would name no host, and libcurl would take the path's first
        // part for one: a request carrying the token goes nowhere unnamed.
        reply.held = true;
        syncPending = true;
        const auto now = std::chrono::steady_clock::now();
        if (!unconfiguredSaid || now - *unconfiguredSaid >= std::chrono::minutes(1)) {
            unconfiguredSaid = now;
            eventLog(ERROR,
                     "Not configured: SERVER_HOSTNAME is empty, so no request is sent to "
                     "the service; set it and reload the agent.");
        }
        return reply;
    }
    notifyWatchdog();
    const std::string url = "https://" + serverHostname + _op.path;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return reply;
    }
    const std::string authorization = "Authorization: " + token;
    struct curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
    if (headers == nullptr) {
        // Never send a request without its credential.
        curl_easy_cleanup(curl);
        return reply;
    }
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    if (_body != nullptr) {
        // libcurl does not copy the body: it lives in the caller until the
        // transfer has ended.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, _body->c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(_body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    reply.handle = curl;
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    if (!caFile.empty()) {
        // Trust this file's authorities instead of the system's store;
        // verification itself stays on.
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    }
    // A service that stops sending or trickles must not hold the agent: the
    // connection, a stall under one byte per second and the whole request
    // are bounded.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedTime);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, requestDeadline);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (share != nullptr) {
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
    }
    reply.code = curl_easy_perform(curl);
    reply.sent = true;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    if (reply.code != CURLE_OK) {
        reply.error = reply.tooLarge                            ? "reply too large (over 256 MiB)"
                      : reply.code == CURLE_ABORTED_BY_CALLBACK ? "stopped"
                      : *error != '\0'                          ? error
                                                                : curl_easy_strerror(reply.code);
        // Never judge a cut reply as if it were whole.
        std::string().swap(reply.body);
    }
    curl_off_t retryAfter = 0;
    if ((reply.status == 429 || reply.status == 503) &&
        curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0) {
        const long seconds = static_cast<long>(std::min<curl_off_t>(retryAfter, MAX_HOLD_SECONDS));
        heldUntil = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        eventLog(ERROR, "The service asked for a pause (HTTP " + std::to_string(reply.status) +
                            "); holding every request back until " + utcAfter(seconds) + ".");
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    reply.handle = nullptr;
    return reply;
}

void serverConnector::count(const Operation& _op, const char* _outcome) {
    ++requestCounts[{_op.name, _outcome}];
    if (failureStreak > 0 && std::strcmp(_outcome, "ok") == 0) {
        // The service answers again: the repair need not wait any longer.
        recovered = true;
        repairWait = 0;
    }
}

void serverConnector::noteFailure() {
    syncPending = true;
    passFailed = true;
    ++failureCount;
}

void serverConnector::fail(const Operation& _op, const Reply& _reply,
                           std::initializer_list<const char*> _lines) {
    noteFailure();
    std::string message;
    bool parsed = false;
    const bool answered =
        _reply.sent && _reply.code == CURLE_OK && readReplyMessage(_reply.body, message, parsed);
    if (_reply.sent) {
        count(_op, answered ? "refused" : "error");
    }
    if (_op.failure == nullptr) {
        return;  // the existence query logs nothing
    }
    for (const char* line : _lines) {
        if (line != nullptr) {
            eventLog(ERROR, line);
        }
    }
    eventLog(ERROR, causeOf(_op, _reply));
}

std::string serverConnector::causeOf(const Operation& _op, const Reply& _reply) const {
    std::string cause = std::string(_op.name) + ": ";
    if (!_reply.sent) {
        return cause + "no transfer handle";
    }
    if (_reply.code != CURLE_OK) {
        return cause + _reply.error + " (" + serverHostname + ")";
    }
    std::string message;
    bool parsed = false;
    readReplyMessage(_reply.body, message, parsed);
    cause += "HTTP " + std::to_string(_reply.status) + " from " + serverHostname;
    if (!message.empty()) {
        cause += ": \"" + message + "\"";
    } else if (!parsed) {
        cause += ": reply is not JSON";
    }
    return cause;
}

bool serverConnector::delivered(const Operation& _op, const Reply& _reply) {
    if (_reply.held || (!_reply.sent && _op.silentWithoutHandle)) {
        noteFailure();
        return false;
    }
    if (_op.transferExamined && (!_reply.sent || _reply.code != CURLE_OK)) {
        fail(_op, _reply, {_op.transferFailure});
        return false;
    }
    return true;
}

bool serverConnector::judge(const Operation& _op, const Reply& _reply, std::string& _message) {
    _message.clear();
    if (!delivered(_op, _reply)) {
        return false;
    }
    bool parsed = false;
    if (!readReplyMessage(_reply.body, _message, parsed)) {
        fail(_op, _reply,
             {parsed ? _op.failure : MSG_PARSE_FAILED,
              !parsed && _op.failureAfterParseError ? _op.failure : nullptr});
        return false;
    }
    return true;
}

void serverConnector::commitChanges(int _newZones, int _deletedZones) {
    if (_newZones > 0) {
        insertZones();
    }
    walkHeld.clear();
    walkWaiting = 0;
    walkDue = std::chrono::steady_clock::time_point::max();
    if (_deletedZones > 0 && !StopFlag) {
        // The base of the deletion guard is what the agent knew before this
        // reading, which only added the new zones.
        deleteZones(zones->size() - std::min<size_t>(zones->size(), _newZones));
    }
}

void serverConnector::insertZones() {
    std::vector<size_t> positions;
    for (size_t i = 0; i < zones->size(); ++i) {
        if ((*zones)[i].isNewZone()) {
            positions.push_back(i);
        }
    }
    insertRecords(positions);
}

std::vector<serverConnector::batchOutcome> serverConnector::insertRecords(
    const std::vector<size_t>& _positions) {
    std::vector<batchOutcome> outcomes(_positions.size(), batchOutcome::Unsent);
    std::vector<bool> skipped(_positions.size(), false);
    std::vector<std::string> names;
    names.reserve(_positions.size());
    for (size_t k = 0; k < _positions.size(); ++k) {
        zoneData& zone = (*zones)[_positions[k]];
        if (!refusals.empty() || !extrasSince.empty()) {
            const std::string key = asciiLower(zone.getZoneName());
            const auto refused = refusals.find(key);
            if (refused != refusals.end() && refused->second.passesLeft > 0) {
                skipped[k] = true;  // its own backoff runs
                continue;
            }
            if (extrasSince.erase(key) > 0) {
                // Back in the file while its deletion waited: the service
                // still holds it, so nothing is sent.
                zone.setAtService(true);
                outcomes[k] = batchOutcome::Accepted;
                skipped[k] = true;
                continue;
            }
        }
        names.push_back(zone.getZoneName());
    }
    const std::vector<batchOutcome> results =
        names.empty() ? std::vector<batchOutcome>() : insertBatches(names);
    for (size_t k = 0, j = 0; k < _positions.size(); ++k) {
        if (skipped[k]) {
            continue;
        }
        outcomes[k] = results[j];
        if (results[j] == batchOutcome::Accepted) {
            (*zones)[_positions[k]].setAtService(true);
            if (!refusals.empty()) {
                refusals.erase(asciiLower(names[j]));
            }
        }
        ++j;
    }
    return outcomes;
}

bool serverConnector::insertBulkZones(std::vector<std::string> _zonesList) {
    const std::vector<batchOutcome> outcomes = insertBatches(_zonesList);
    return std::all_of(outcomes.begin(), outcomes.end(),
                       [](batchOutcome _outcome) { return _outcome == batchOutcome::Accepted; });
}

std::vector<serverConnector::batchOutcome> serverConnector::insertBatches(
    const std::vector<std::string>& _names) {
    std::vector<batchOutcome> outcomes(_names.size(), batchOutcome::Unsent);
    // The body of |_names[_first, _last)|, numbered from 0; |_last| moves
    // back to end the batch within BATCH_MAX_BYTES (one zone at least).
    const auto bodyOf = [&_names](size_t _first, size_t& _last) {
        std::string body;
        for (size_t i = _first; i < _last; ++i) {
            std::string value;
            encodeFormValue(_names[i], value);
            const std::string field = "&zone[" + std::to_string(i - _first) + "]=" + value;
            if (i > _first && body.size() + field.size() > BATCH_MAX_BYTES) {
                _last = i;
                break;
            }
            body += field;
        }
        return body;
    };
    // Halves of refused batches still to send, the next one last; they go
    // before the batches after them.
    std::vector<std::pair<size_t, size_t>> halves;
    size_t next = 0;
    do {
        size_t first = next;
        size_t last = std::min(_names.size(), next + BATCH_MAX_ZONES);
        if (!halves.empty()) {
            std::tie(first, last) = halves.back();
            halves.pop_back();
        }
        const std::string body = bodyOf(first, last);
        next = std::max(next, last);
        Reply reply;
        const batchOutcome outcome = postBatch(body, reply);
        if (outcome == batchOutcome::Failed) {
            // The service is struggling: the insertion ends here.
            std::fill(outcomes.begin() + static_cast<std::ptrdiff_t>(first),
                      outcomes.begin() + static_cast<std::ptrdiff_t>(last), outcome);
            break;
        }
        if (outcome == batchOutcome::Accepted || last - first <= 1) {
            std::fill(outcomes.begin() + static_cast<std::ptrdiff_t>(first),
                      outcomes.begin() + static_cast<std::ptrdiff_t>(last), outcome);
            if (outcome == batchOutcome::Refused && last > first) {
                noteRefusal(_names[first], reply);
            }
            continue;
        }
        const size_t middle = first + (last - first) / 2;
        halves.emplace_back(middle, last);
        halves.emplace_back(first, middle);
    } while ((next < _names.size() || !halves.empty()) && !StopFlag);
    return outcomes;
}

serverConnector::batchOutcome serverConnector::postBatch(const std::string& _body, Reply& _reply) {
    _reply = request(BULK_INSERT, &_body);
    if (!delivered(BULK_INSERT, _reply)) {
        return batchOutcome::Failed;
    }
    std::string message;
    bool parsed = false;
    if (readReplyMessage(_reply.body, message, parsed) && message == "ok") {
        count(BULK_INSERT, "ok");
        eventLog(DEBUG, "Successfully inserted zones.");
        return batchOutcome::Accepted;
    }
    // A struggling service answers 5xx or 429, or something that is not
    // JSON; any other answer refuses the batch for what it holds.
    const long status = _reply.status;
    if (status == 429 || status >= 500 || (status < 400 && !parsed)) {
        fail(BULK_INSERT, _reply, {parsed ? BULK_INSERT.failure : MSG_PARSE_FAILED});
        return batchOutcome::Failed;
    }
    count(BULK_INSERT, "refused");
    ++failureCount;
    return batchOutcome::Refused;
}

void serverConnector::noteRefusal(const std::string& _name, const Reply& _reply) {
    refusal& zone = refusals[asciiLower(_name)];
    zone.streak = std::min(zone.streak + 1, 30);
    zone.passesLeft = std::min<long>(1L << std::min(zone.streak - 1, 20), maxRepairWait);
    const auto now = std::chrono::steady_clock::now();
    if (zone.lastLogged != std::chrono::steady_clock::time_point() &&
        now - zone.lastLogged < std::chrono::seconds(REFUSAL_LOG_SECONDS)) {
        return;
    }
    zone.lastLogged = now;
    eventLog(ERROR, "The service refused zone " + _name + "; it is sent again in " +
                        std::to_string(zone.passesLeft) +
                        (zone.passesLeft == 1 ? " pass." : " passes."));
    eventLog(ERROR, causeOf(BULK_INSERT, _reply));
}

void serverConnector::retryRefusedZones() {
    if (refusals.empty()) {
        return;
    }
    std::vector<size_t> due;
    std::unordered_set<std::string> present;
    for (size_t i = 0; i < zones->size(); ++i) {
        const zoneData& zone = (*zones)[i];
        const std::string key = asciiLower(zone.getZoneName());
        const auto refused = refusals.find(key);
        if (refused != refusals.end() && !zone.isDeleted()) {
            present.insert(key);
            if (refused->second.passesLeft == 0 && !zone.isAtService()) {
                due.push_back(i);
            }
        }
    }
    // Zones that left the file are forgotten.
    for (auto it = refusals.begin(); it != refusals.end();) {
        it = present.count(it->first) > 0 ? std::next(it) : refusals.erase(it);
    }
    if (!due.empty()) {
        insertRecords(due);
    }
}

bool serverConnector::postSingleZone(const Operation& _op, const std::string& _zoneName,
                                     const char* _success) {
    std::string value;
    std::string body;
    Reply reply;
    // A name that cannot be encoded sends nothing; the empty reply then
    // fails like a lost connection.
    if (encodeFormValue(_zoneName, value)) {
        body = "zone=" + value;
        reply = request(_op, &body);
    }
    std::string message;
    if (!judge(_op, reply, message)) {
        return false;
    }
    if (message != "ok") {
        fail(_op, reply, {_op.failure});
        return false;
    }
    count(_op, "ok");
    eventLog(DEBUG, _success);
    return true;
}

bool serverConnector::insertZone(std::string _zoneName) {
    return postSingleZone(INSERT, _zoneName, "Successfully inserted zone.");
}

bool serverConnector::deleteZone(std::string _zoneName) {
    return postSingleZone(DELETE, _zoneName, "Successfully deleted zone.");
}

bool serverConnector::zoneExists(std::string _zone) {
    // The existence query logs nothing; an unparsable reply is reported on
    // standard output.
    std::string value;
    Reply reply;
    if (encodeFormValue(_zone, value)) {
        const std::string body = "zone=" + value;
        reply = request(EXISTS, &body);
    }
    std::string message;
    bool parsed = false;
    readReplyMessage(reply.body, message, parsed);
    if (!parsed) {
        say("Error parsing the string");
    }
    if (reply.sent) {
        count(EXISTS, parsed ? "ok" : "error");
    }
    return message == "Zone found";
}

void serverConnector::insertLogEntry(std::string _zone, actionType _type) {
    // The service keeps no per-change log from the agent.
    (void)_zone;
    (void)_type;
}

void serverConnector::deleteZones(size_t _base) {
    // Each flagged zone whose grace period is over is asked for once per
    // walk, in vector order; a refused one stays flagged and is asked for
    // again at the next pass. The accepted zones leave the vector in one
    // pass at the end.
    const auto now = std::chrono::steady_clock::now();
    std::vector<size_t> due;
    std::vector<std::string> names;
    for (size_t i = 0; i < zones->size(); ++i) {
        const zoneData& zone = (*zones)[i];
        if (!zone.isDeleted()) {
            continue;
        }
        const auto end = graceEnd(zone.getDeletedSince());
        if (end <= now) {
            due.push_back(i);
            names.push_back(zone.getZoneName());
        } else {
            ++walkWaiting;
            walkDue = std::min(walkDue, end);
        }
    }
    if (due.empty()) {
        return;
    }
    const std::vector<bool> accepted = sendDeletions(names, _base, walkHeld);
    std::vector<bool> erase(zones->size(), false);
    for (size_t k = 0; k < due.size(); ++k) {
        erase[due[k]] = accepted[k];
    }
    size_t kept = 0;
    for (size_t i = 0; i < zones->size(); ++i) {
        if (!erase[i]) {
            if (kept != i) {
                (*zones)[kept] = std::move((*zones)[i]);
            }
            ++kept;
        }
    }
    zones->erase(zones->begin() + static_cast<std::ptrdiff_t>(kept), zones->end());
}

std::chrono::steady_clock::time_point serverConnector::graceEnd(
    std::chrono::steady_clock::time_point _since) const {
    if (_since == std::chrono::steady_clock::time_point() || deleteGrace <= 0) {
        return std::chrono::steady_clock::time_point::min();
    }
    return _since + std::chrono::seconds(deleteGrace);
}

bool serverConnector::guardHolds(size_t _planned, size_t _base) const {
    return _planned > GUARD_MIN_DELETIONS &&
           _planned * 100 > static_cast<size_t>(maxDeletePercent) * _base;
}

std::string serverConnector::guardReason(size_t _planned, size_t _base) const {
    const size_t percent = _base == 0 ? 100 : _planned * 100 / _base;
    return std::to_string(_planned) + " zone deletions of " + std::to_string(_base) + " zones (" +
           std::to_string(percent) +
           " %, more than MAX_DELETE_PERCENT=" + std::to_string(maxDeletePercent) + " %)";
}

std::vector<bool> serverConnector::sendDeletions(const std::vector<std::string>& _names,
                                                 size_t _base, std::vector<std::string>& _held) {
    // Per name: 0 held, 1 passed the guard, 2 allowed by the operator.
    std::vector<char> release(_names.size(), 0);
    size_t rest = _names.size();
    for (size_t k = 0; k < _names.size() && allowed.left > 0; ++k) {
        if (allowed.names.count(asciiLower(_names[k])) > 0) {
            release[k] = 2;
            --allowed.left;
            --rest;
        }
    }
    _held.clear();
    const bool hold = guardHolds(rest, _base);
    for (size_t k = 0; k < _names.size(); ++k) {
        if (release[k] == 0 && hold) {
            _held.push_back(asciiLower(_names[k]));
        } else if (release[k] == 0) {
            release[k] = 1;
        }
    }
    if (hold) {
        noteFailure();
        if (!guardLogged) {
            guardLogged = true;
            eventLog(ERROR, "Holding back " + guardReason(rest, _base) +
                                "; restore the zones file, or allow them with \"vantrel "
                                "--allow-deletions N\".");
        }
    }
    std::vector<bool> accepted(_names.size(), false);
    for (size_t k = 0; k < _names.size() && !StopFlag; ++k) {
        if (release[k] != 0 && deleteZone(_names[k])) {
            accepted[k] = true;
            allowed.sent += release[k] == 2;
        }
    }
    return accepted;
}

bool serverConnector::updateLastSeen() {
    const Reply reply = request(LAST_SEEN, nullptr);
    std::string message;
    if (!judge(LAST_SEEN, reply, message)) {
        return false;
    }
    if (message == "ok") {
        count(LAST_SEEN, "ok");
        eventLog(DEBUG, "Successfully updated lastseen!");
    } else if (message == "recheck") {
        count(LAST_SEEN, "ok");
        // The service asks for everything again: no zone counts as held there.
        for (zoneData& zone : *zones) {
            zone.setAtService(false);
        }
        syncZones();
        eventLog(DEBUG, "Force checked all zones.");
        eventLog(DEBUG, "Successfully updated lastseen!");
    } else {
        fail(LAST_SEEN, reply, {LAST_SEEN.failure});
        return false;
    }
    return true;
}

void serverConnector::syncZones() {
    syncSucceeded = false;
    if (!syncBlocked.empty()) {
        // An unread zones file leaves the vector empty; reconciling against
        // it would delete every zone the service holds for this agent.
        eventLog(ERROR, syncBlocked);
        noteFailure();
        return;
    }
    syncPending = false;
    // A zone whose deletion is still owed must not be put back.
    std::vector<size_t> unsent;
    for (size_t i = 0; i < zones->size(); ++i) {
        if (!(*zones)[i].isDeleted() && !(*zones)[i].isAtService()) {
            unsent.push_back(i);
        }
    }
    const std::vector<batchOutcome> outcomes = insertRecords(unsent);
    // What failed here is not sent again by this reconciliation, and after a
    // failed batch nothing is: the service is struggling.
    std::vector<bool> failed(zones->size(), false);
    for (size_t k = 0; k < unsent.size(); ++k) {
        failed[unsent[k]] = outcomes[k] != batchOutcome::Accepted;
    }
    const bool struggling =
        std::find(outcomes.begin(), outcomes.end(), batchOutcome::Failed) != outcomes.end();
    std::vector<std::string> listed;
    if (!StopFlag && fetchZoneList(listed) && !StopFlag) {
        const std::vector<bool> isListed = deleteListedExtras(listed);
        std::vector<std::string>().swap(listed);
        // Zones the service lacks although it accepted them once.
        std::vector<size_t> missing;
        for (size_t i = 0; i < zones->size() && !StopFlag; ++i) {
            zoneData& zone = (*zones)[i];
            zone.setAtService(isListed[i]);
            if (!isListed[i] && !zone.isDeleted() && !failed[i]) {
                missing.push_back(i);
            }
        }
        if (!missing.empty() && !struggling && !StopFlag) {
            insertRecords(missing);
        }
    }
    syncSucceeded = !syncPending && !StopFlag;
    syncPending = syncPending || StopFlag;
}

void serverConnector::deleteNotFoundZones() {
    std::vector<std::string> listed;
    if (fetchZoneList(listed)) {
        deleteListedExtras(listed);
    }
}

bool serverConnector::planReconciliation(reconciliationPlan& _plan) {
    std::vector<std::string> listed;
    if (!fetchZoneList(listed)) {
        return false;
    }
    std::vector<size_t> extras;
    const std::vector<bool> isListed = matchListed(listed, extras);
    _plan.listed = listed.size();
    for (size_t i = 0; i < zones->size(); ++i) {
        if (!isListed[i] && !(*zones)[i].isDeleted()) {
            _plan.inserts.push_back((*zones)[i].getZoneName());
        }
    }
    // A start sees every extra for the first time: with a grace period all
    // of them wait, and then the guard judges them together.
    const bool hold = guardHolds(extras.size(), listed.size());
    if (hold) {
        _plan.heldReason = guardReason(extras.size(), listed.size());
    }
    std::vector<std::string>& target = hold              ? _plan.held
                                       : deleteGrace > 0 ? _plan.waiting
                                                         : _plan.deletes;
    for (const size_t i : extras) {
        target.push_back(listed[i]);
    }
    return true;
}

bool serverConnector::fetchZoneList(std::vector<std::string>& _names) {
    const Reply reply = request(AGENT_ZONES, nullptr);
    if (!delivered(AGENT_ZONES, reply)) {
        return false;
    }
    bool parsed = false;
    if (!readZoneList(reply.body, _names, parsed)) {
        fail(AGENT_ZONES, reply, {parsed ? nullptr : MSG_PARSE_FAILED, AGENT_ZONES.failure});
        return false;
    }
    count(AGENT_ZONES, "ok");
    return true;
}

std::vector<bool> serverConnector::matchListed(const std::vector<std::string>& _listed,
                                               std::vector<size_t>& _extras) const {
    // Both sides sorted by the ASCII-folded name, then walked together: a
    // listed name the vector lacks is an extra; a record whose name is
    // listed is held by the service.
    using Key = std::pair<std::string, size_t>;
    std::vector<Key> local;
    local.reserve(zones->size());
    for (size_t i = 0; i < zones->size(); ++i) {
        local.emplace_back(asciiLower((*zones)[i].getZoneName()), i);
    }
    std::vector<Key> listed;
    listed.reserve(_listed.size());
    for (size_t i = 0; i < _listed.size(); ++i) {
        listed.emplace_back(asciiLower(_listed[i]), i);
    }
    std::sort(local.begin(), local.end());
    std::sort(listed.begin(), listed.end());
    std::vector<bool> held(zones->size(), false);
    _extras.clear();
    size_t l = 0;
    for (const Key& entry : listed) {
        while (l < local.size() && local[l].first < entry.first) {
            ++l;
        }
        if (l < local.size() && local[l].first == entry.first) {
            held[local[l].second] = true;
        } else {
            _extras.push_back(entry.second);
        }
    }
    // The service's order, as listed.
    std::sort(_extras.begin(), _extras.end());
    return held;
}

std::vector<bool> serverConnector::deleteListedExtras(const std::vector<std::string>& _listed) {
    std::vector<size_t> extras;
    std::vector<bool> held = matchListed(_listed, extras);
    // Each extra's grace runs from the first reconciliation that saw it;
    // extras no longer listed are forgotten.
    const auto now = std::chrono::steady_clock::now();
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> seen;
    std::vector<size_t> due;
    std::vector<std::string> names;
    extrasDue = std::chrono::steady_clock::time_point::max();
    for (const size_t i : extras) {
        std::string key = asciiLower(_listed[i]);
        const auto known = extrasSince.find(key);
        const auto since = known != extrasSince.end() ? known->second : now;
        const auto end = graceEnd(since);
        if (end <= now) {
            due.push_back(i);
            names.push_back(_listed[i]);
        } else {
            extrasDue = std::min(extrasDue, end);
        }
        seen.emplace(std::move(key), since);
    }
    extrasSince.swap(seen);
    syncHeld.clear();
    if (due.empty()) {
        return held;
    }
    const std::vector<bool> accepted = sendDeletions(names, _listed.size(), syncHeld);
    for (size_t k = 0; k < due.size(); ++k) {
        if (accepted[k]) {
            extrasSince.erase(asciiLower(names[k]));
        }
    }
    return held;
}

size_t serverConnector::allowDeletions(size_t _count) {
    const size_t held = getDeletionsHeld();
    if (held == 0 || _count == 0) {
        return held;
    }
    allowed = allowance();
    allowed.active = true;
    allowed.granted = _count;
    allowed.left = _count;
    allowed.names.insert(walkHeld.begin(), walkHeld.end());
    allowed.names.insert(syncHeld.begin(), syncHeld.end());
    if (!syncHeld.empty()) {
        repairWait = 0;  // the reconciliation that held them runs again
    }
    allowanceText = "allowed " + std::to_string(_count) + " deletions, waiting for the next pass";
    eventLog(WARN, "The operator allows " + std::to_string(std::min(_count, held)) + " of the " +
                       std::to_string(held) + " held deletions; they go out at the next pass.");
    return held;
}

void serverConnector::closeAllowance() {
    if (!allowed.active) {
        return;
    }
    allowanceText = "allowed " + std::to_string(allowed.granted) + " deletions, " +
                    std::to_string(allowed.sent) + " sent";
    eventLog(WARN, "Deletions allowed by the operator: " + std::to_string(allowed.granted) +
                       "; sent: " + std::to_string(allowed.sent) + ".");
    allowed = allowance();
}

void serverConnector::beginPass() {
    passFailed = false;
    guardLogged = false;
    if (repairWait > 0) {
        --repairWait;
    }
    for (auto& refused : refusals) {
        refused.second.passesLeft = std::max(0L, refused.second.passesLeft - 1);
    }
}

void serverConnector::endPass() {
    if (syncSucceeded && !passFailed) {
        failureStreak = 0;
    }
    if (passFailed && repairWait == 0) {
        // 1, 2, 4, ... passes, the upper half of each drawn at random so
        // that many agents do not come back at once; failures during a wait
        // (a heartbeat) do not start it again.
        failureStreak = std::min(failureStreak + 1, 30);
        const long wait = std::min<long>(1L << std::min(failureStreak - 1, 20), maxRepairWait);
        repairWait = wait - static_cast<long>(jitter() % static_cast<unsigned long>(wait / 2 + 1));
        repairWait = std::max(1L, repairWait);
    }
    if (recovered) {
        // A request succeeded after failures: the repair runs at the next pass.
        repairWait = 0;
        recovered = false;
    }
    syncSucceeded = false;
}

bool serverConnector::isRepairDue() const {
    const auto now = std::chrono::steady_clock::now();
    return now >= heldUntil && ((syncPending && repairWait == 0) || extrasDue <= now);
}

std::chrono::steady_clock::time_point serverConnector::nextDeletionDue() const {
    return std::min(walkDue, extrasDue);
}

size_t serverConnector::getDeletionsWaiting() const {
    const auto now = std::chrono::steady_clock::now();
    size_t waiting = walkWaiting;
    for (const auto& extra : extrasSince) {
        waiting += graceEnd(extra.second) > now;
    }
    return waiting;
}
