#include "ServiceSession.h"

#include <curl/curl.h>
#include <json/json.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <exception>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "ServiceNotify.h"
#include "Signals.h"

namespace {

const char* const MSG_PARSE_FAILED = "Can't parse string as JSON";

// A reply under way and the transfer that fills it.
struct transfer {
    ServiceSession::Reply* reply;
    CURL* handle;
};

// Collects the reply into the request's text up to MAX_REPLY_BYTES; a
// longer reply ends the transfer as failed.
size_t WriteCallback(void* contents, size_t size, size_t nmemb, void* userp) {
    const size_t total = size * nmemb;
    auto* current = static_cast<transfer*>(userp);
    ServiceSession::Reply& reply = *current->reply;
    std::string& body = reply.body;
    if (total > ServiceSession::MAX_REPLY_BYTES - body.size()) {
        reply.tooLarge = true;
        return 0;
    }
    try {
        curl_off_t length = -1;
        if (body.empty() &&
            curl_easy_getinfo(current->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0 && static_cast<uint64_t>(length) <= ServiceSession::MAX_REPLY_BYTES) {
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
            body.reserve(std::min(capacity, ServiceSession::MAX_REPLY_BYTES));
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

// Appends member |_member| of the elements of |_array| to |_names|. False
// for an element that is neither an object nor null, or a member that is an
// object or an array.
bool collectMembers(const Json::Value& _array, const char* _member, nameList& _names) {
    for (Json::ArrayIndex i = 0; i < _array.size(); ++i) {
        const Json::Value& element = _array[i];
        const Json::Value value =
            element.isObject() ? element.get(_member, Json::Value()) : Json::Value();
        if ((!element.isObject() && !element.isNull()) || value.isObject() || value.isArray() ||
            !_names.push_back(value.isNull() ? std::string() : value.asString())) {
            return false;
        }
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

// Hands the array that |_text| holds to |_slice| in runs of at most
// |_perSlice| elements, each written as an array of its own ("[" + elements
// + "]"), so that a long list is parsed a slice at a time. False when the
// text is not an array with non-empty elements or |_slice| returns false;
// what follows the array is ignored, as the whole-text parser ignores it.
template <typename SliceFn>
bool forEachSlice(const std::string& _text, size_t _perSlice, SliceFn _slice) {
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
                if (!_slice("[" + _text.substr(sliceStart, at - sliceStart) + "]")) {
                    return false;
                }
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

bool nameList::push_back(std::string_view _name) {
    if (_name.size() > UINT32_MAX - text.size()) {
        return false;
    }
    text.append(_name);
    ends.push_back(static_cast<uint32_t>(text.size()));
    return true;
}

void nameList::clear() {
    std::string().swap(text);
    std::vector<uint32_t>().swap(ends);
}

ServiceSession::ServiceSession(const ConfigFileParser* _configFile, bool _shareConnections) {
    if (_configFile != nullptr) {
        token = _configFile->getToken();
        serverHostname = _configFile->getServerHostname();
        caFile = _configFile->getCaFile();
    }
    if (_shareConnections) {
        CURLSH* handle = curl_share_init();
        // Without a share every request simply connects anew; nothing else
        // depends on it, so a failure here is not an error.
        if (handle != nullptr) {
            curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
            curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        }
        share = handle;
    }
}

ServiceSession::~ServiceSession() {
    if (share != nullptr) {
        // No transfer handle outlives its request, so the share is free here;
        // this also closes the cached connections.
        curl_share_cleanup(static_cast<CURLSH*>(share));
    }
}

void ServiceSession::setTimeouts(long _connectSeconds, long _lowSpeedSeconds,
                                 long _deadlineSeconds) {
    // Zero would mean "library default" or "never"; neither is wanted.
    connectTimeout = std::max(1L, _connectSeconds);
    lowSpeedTime = std::max(1L, _lowSpeedSeconds);
    requestDeadline = std::max(1L, _deadlineSeconds);
}

bool ServiceSession::encodeFormValue(std::string_view _value, std::string& _encoded) {
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

bool ServiceSession::readReplyMessage(const std::string& _text, std::string& _message,
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

bool ServiceSession::readList(const std::string& _text, const char* _member, nameList& _names,
                              bool& _parsed, size_t _sliceAbove) {
    _names.clear();
    _parsed = false;
    try {
        if (_text.size() > _sliceAbove) {
            // A long list: one slice of elements at a time, each checked by
            // the same parser, so memory stays a small multiple of the text.
            // The whole text's structure is scanned, as the whole-text
            // parser would, even after a slice failed.
            bool notJson = false;
            bool badMember = false;
            const bool structured = forEachSlice(_text, 4096, [&](const std::string& _slice) {
                Json::Value array;
                if (notJson || badMember) {
                    return true;
                }
                if (!parseJson(_slice, array) || !array.isArray()) {
                    notJson = true;  // one slice that is not JSON makes the whole text none
                } else {
                    badMember = !collectMembers(array, _member, _names);
                }
                return true;
            });
            _parsed = structured && !notJson;
            if (!_parsed || badMember) {
                _names.clear();
                return false;
            }
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
        if (root.isArray() && !collectMembers(root, _member, _names)) {
            _names.clear();
            return false;
        }
        return true;
    } catch (const std::exception&) {
        _names.clear();
        return false;
    }
}

ServiceSession::Reply ServiceSession::request(const Operation& _op, const std::string* _body) {
    Reply reply;
    if (isHeld()) {
        reply.held = true;
        return reply;
    }
    if (serverHostname.empty()) {
        // The URL would name no host, and libcurl would take the path's first
        // part for one: a request carrying the token goes nowhere unnamed.
        reply.held = true;
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
    transfer current{&reply, curl};
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
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &current);
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
        curl_easy_setopt(curl, CURLOPT_SHARE, static_cast<CURLSH*>(share));
    }
    const CURLcode code = curl_easy_perform(curl);
    reply.code = static_cast<int>(code);
    reply.sent = true;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    if (code != CURLE_OK) {
        reply.error = reply.tooLarge                      ? "reply too large (over 256 MiB)"
                      : code == CURLE_ABORTED_BY_CALLBACK ? "stopped"
                      : *error != '\0'                    ? error
                                                          : curl_easy_strerror(code);
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
    // A stop is no word from the service about itself.
    if (code != CURLE_ABORTED_BY_CALLBACK) {
        ++(reply.isServiceFailure() ? passServiceFailures : passAnswers);
    }
    return reply;
}

void ServiceSession::count(const Operation& _op, const char* _outcome) {
    ++requestCounts[{_op.name, _outcome}];
    passSucceeded = passSucceeded || std::strcmp(_outcome, "ok") == 0;
}

void ServiceSession::beginPass() {
    if (passServiceFailures + passAnswers > 0) {
        inOutage = passAnswers == 0;
    }
    passServiceFailures = 0;
    passAnswers = 0;
    passSucceeded = false;
}

void ServiceSession::fail(const Operation& _op, const Reply& _reply,
                          std::initializer_list<const char*> _lines) {
    std::string message;
    bool parsed = false;
    if (_reply.sent) {
        count(_op, _reply.isAnswered() && readReplyMessage(_reply.body, message, parsed) ? "refused"
                                                                                         : "error");
    }
    if (_op.failure == nullptr) {
        return;  // a silent operation
    }
    for (const char* line : _lines) {
        if (line != nullptr) {
            eventLog(ERROR, line);
        }
    }
    eventLog(ERROR, causeOf(_op, _reply));
}

std::string ServiceSession::causeOf(const Operation& _op, const Reply& _reply) const {
    std::string cause = std::string(_op.name) + ": ";
    if (!_reply.sent) {
        return cause + "no transfer handle";
    }
    if (!_reply.isAnswered()) {
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

bool ServiceSession::delivered(const Operation& _op, const Reply& _reply) {
    if (_reply.held || (!_reply.sent && _op.silentWithoutHandle)) {
        return false;
    }
    if (_op.transferExamined && !_reply.isAnswered()) {
        fail(_op, _reply, {_op.transferFailure});
        return false;
    }
    return true;
}

bool ServiceSession::judge(const Operation& _op, const Reply& _reply, std::string& _message) {
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
