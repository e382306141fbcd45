#include "StandInService.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TestCertificates.h"
#include "mylibs.h"

namespace standin {

namespace {

constexpr size_t WORKER_THREADS = 16;
// Size of one piece of an endless reply.
constexpr size_t ENDLESS_CHUNK = 64 * 1024;

// Headers that cpp-httplib adds to a request itself; the client never sent them.
bool isLibraryHeader(const std::string& _name) {
    return _name == "REMOTE_ADDR" || _name == "REMOTE_PORT" || _name == "LOCAL_ADDR" ||
           _name == "LOCAL_PORT";
}

// |_text| as a JSON string: quotes, backslashes and control bytes escaped,
// every other byte (UTF-8 or not) passed through unchanged.
std::string quoted(const std::string& _text) {
    std::string out = "\"";
    for (const char c : _text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Name/value pairs as a JSON array of two-string arrays.
std::string pairsJson(const Fields& _fields) {
    std::string out = "[";
    for (const auto& field : _fields) {
        out +=
            (out.size() > 1 ? ",[" : "[") + quoted(field.first) + "," + quoted(field.second) + "]";
    }
    return out + "]";
}

int hexDigit(char _c) {
    if (_c >= '0' && _c <= '9') {
        return _c - '0';
    }
    if (_c >= 'a' && _c <= 'f') {
        return _c - 'a' + 10;
    }
    if (_c >= 'A' && _c <= 'F') {
        return _c - 'A' + 10;
    }
    return -1;
}

std::string percentDecode(const std::string& _text) {
    std::string out;
    out.reserve(_text.size());
    for (size_t i = 0; i < _text.size(); ++i) {
        const char c = _text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < _text.size() && hexDigit(_text[i + 1]) >= 0 &&
                   hexDigit(_text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(_text[i + 1]) * 16 + hexDigit(_text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

void answer(httplib::Response& _response, int _status, const std::string& _message) {
    _response.status = _status;
    _response.set_content("{\"message\":" + quoted(_message) + "}", "application/json");
}

// Streams "[{"zone":"x0.example"},{"zone":"x1.example"},..." forever; the
// library ends it when the client goes away or the server stops.
bool writeEndless(const std::shared_ptr<unsigned long>& _next, httplib::DataSink& _sink) {
    std::string chunk;
    while (chunk.size() < ENDLESS_CHUNK) {
        chunk += *_next == 0 ? "[" : ",";
        chunk += "{\"zone\":\"x" + std::to_string((*_next)++) + ".example\"}";
    }
    return _sink.write(chunk.data(), chunk.size());
}

// The whole body of a request served by a content-reader handler.
std::string readBody(const httplib::ContentReader& _reader) {
    std::string body;
    _reader([&body](const char* _data, size_t _length) {
        body.append(_data, _length);
        return true;
    });
    return body;
}

// The first value of form field |_name|; false when there is none.
bool formValue(const Fields& _form, const std::string& _name, std::string& _value) {
    for (const auto& field : _form) {
        if (field.first == _name) {
            _value = field.second;
            return true;
        }
    }
    return false;
}

// True for "zone" and for the bulk form "zone[i]".
bool isZoneField(const std::string& _name) {
    return _name == "zone" ||
           (_name.size() > 6 && _name.compare(0, 5, "zone[") == 0 && _name.back() == ']');
}

// Parses a decimal number in [_min, _max]; false for anything else.
bool parseNumber(const std::string& _text, long _min, long _max, long& _value) {
    if (_text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(_text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || value < _min || value > _max) {
        return false;
    }
    _value = value;
    return true;
}

}  // namespace

size_t RecordedRequest::headerCount(const std::string& _name) const {
    size_t count = 0;
    for (const auto& header : headers) {
        if (sameZoneName(header.first, _name)) {
            ++count;
        }
    }
    return count;
}

std::string RecordedRequest::header(const std::string& _name) const {
    for (const auto& header : headers) {
        if (sameZoneName(header.first, _name)) {
            return header.second;
        }
    }
    return std::string();
}

std::vector<std::string> RecordedRequest::formValues(const std::string& _name) const {
    std::vector<std::string> values;
    for (const auto& field : form) {
        if (field.first == _name) {
            values.push_back(field.second);
        }
    }
    return values;
}

Fault Fault::reply(int _status, std::string _body) {
    Fault fault;
    fault.kind = FaultKind::Reply;
    fault.status = _status;
    fault.contentType = "application/json";
    fault.body = std::move(_body);
    return fault;
}

Fault Fault::serverError() {
    Fault fault = reply(500,
                        "<html><head><title>500 Internal Server Error</title></head>"
                        "<body><h1>Internal Server Error</h1></body></html>\n");
    fault.contentType = "text/html";
    return fault;
}

Fault Fault::emptyBody() {
    return reply(200, "");
}

Fault Fault::malformedJson() {
    return reply(200, "{\"message\": \"ok\"");
}

Fault Fault::jsonArray() {
    return reply(200, "[{\"message\":\"ok\"}]");
}

Fault Fault::jsonString() {
    return reply(200, "\"ok\"");
}

Fault Fault::refuse(std::string _zone) {
    Fault fault;
    fault.kind = FaultKind::Refuse;
    fault.zone = std::move(_zone);
    return fault;
}

Fault Fault::recheck() {
    Fault fault;
    fault.kind = FaultKind::Recheck;
    fault.endpoint = "/api/last_seen";
    return fault;
}

Fault Fault::stall(long _ms) {
    Fault fault;
    fault.kind = FaultKind::Stall;
    fault.stallMs = _ms < 0 ? 0 : _ms;
    return fault;
}

Fault Fault::reset() {
    Fault fault;
    fault.kind = FaultKind::Reset;
    return fault;
}

Fault Fault::bodyLimit(size_t _bytes) {
    Fault fault;
    fault.kind = FaultKind::BodyLimit;
    fault.maxBody = _bytes;
    return fault;
}

Fault Fault::retryAfter(int _status, std::string _value) {
    Fault fault = reply(_status, "{\"message\":\"slow down\"}");
    fault.retryAfterValue = std::move(_value);
    return fault;
}

Fault Fault::endless() {
    Fault fault;
    fault.kind = FaultKind::Endless;
    return fault;
}

Fault& Fault::on(std::string _endpoint) {
    endpoint = std::move(_endpoint);
    return *this;
}

Fault& Fault::forZone(std::string _zone) {
    zone = std::move(_zone);
    return *this;
}

Fault& Fault::times(int _count) {
    remaining = _count;
    return *this;
}

Fault& Fault::always() {
    remaining = -1;
    return *this;
}

bool StandInService::isLoopbackAddress(const std::string& _address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, _address.c_str(), &parsed) != 1) {
        return false;
    }
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

Fields StandInService::parseForm(const std::string& _body) {
    Fields fields;
    size_t start = 0;
    while (start <= _body.size()) {
        size_t end = _body.find('&', start);
        if (end == std::string::npos) {
            end = _body.size();
        }
        const std::string segment = _body.substr(start, end - start);
        if (!segment.empty()) {
            const size_t equals = segment.find('=');
            if (equals == std::string::npos) {
                fields.emplace_back(percentDecode(segment), std::string());
            } else {
                fields.emplace_back(percentDecode(segment.substr(0, equals)),
                                    percentDecode(segment.substr(equals + 1)));
            }
        }
        start = end + 1;
    }
    return fields;
}

StandInService::StandInService(std::string _certDir) : certDir(std::move(_certDir)) {}

StandInService::~StandInService() {
    stop();
}

std::string StandInService::hostAndPort() const {
    return "127.0.0.1:" + std::to_string(boundPort);
}

std::string StandInService::caFile() const {
    return certDir + "/" + CA_CERT_FILE;
}

void StandInService::setKeepAlive(size_t _maxRequests, long _timeoutSeconds) {
    std::lock_guard<std::mutex> lock(mutex);
    keepAliveMax = _maxRequests == 0 ? 1 : _maxRequests;
    keepAliveTimeout = _timeoutSeconds < 1 ? 1 : _timeoutSeconds;
}

bool StandInService::start(int _port, std::string& _error, const std::string& _address) {
    if (server) {
        _error = "already running";
        return false;
    }
    if (!isLoopbackAddress(_address)) {
        _error = "refusing to listen on " + _address + ": only 127.0.0.0/8 is allowed";
        return false;
    }
    if (_port < 0 || _port > 65535) {
        _error = "invalid port " + std::to_string(_port);
        return false;
    }
    if (!certificatesPresent(certDir) && !generateCertificates(certDir, _error)) {
        return false;
    }
    const std::string cert = certDir + "/" + SERVER_CERT_FILE;
    const std::string key = certDir + "/" + SERVER_KEY_FILE;
    auto candidate = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!candidate->is_valid()) {
        _error = "cannot load " + cert + " and " + key;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = false;
        candidate->set_keep_alive_max_count(keepAliveMax);
        candidate->set_keep_alive_timeout(keepAliveTimeout);
    }
    candidate->new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
    candidate->set_address_family(AF_INET);
    // The reply goes out in several writes; without this, Nagle's algorithm
    // and delayed acknowledgements add tens of milliseconds per request.
    candidate->set_tcp_nodelay(true);
    server = std::move(candidate);

    const auto post = [this](const char* _path, Handler _handler) {
        server->Post(
            _path, [this, _handler](const httplib::Request& _request, httplib::Response& _response,
                                    const httplib::ContentReader& _reader) {
                serveApi(_request, readBody(_reader), _response, _handler);
            });
    };
    const auto get = [this](const char* _path, Handler _handler) {
        server->Get(_path, [this, _handler](const httplib::Request& _request,
                                            httplib::Response& _response) {
            serveApi(_request, _request.body, _response, _handler);
        });
    };
    routeAdmin();
    post("/api/zones/bulk_insert", &StandInService::handleBulkInsert);
    post("/api/zones/insert", &StandInService::handleInsert);
    post("/api/zones/delete", &StandInService::handleDelete);
    post("/api/zones/exists", &StandInService::handleExists);
    get("/api/last_seen", &StandInService::handleLastSeen);
    get("/api/zones/agent", &StandInService::handleAgentZones);
    post(R"(/api/.*)", &StandInService::handleNotFound);
    get(R"(/api/.*)", &StandInService::handleNotFound);

    const int bound = _port == 0 ? server->bind_to_any_port(_address)
                                 : (server->bind_to_port(_address, _port) ? _port : -1);
    if (bound <= 0) {
        _error = "cannot bind " + _address + ":" + std::to_string(_port);
        server.reset();
        return false;
    }
    boundPort = bound;
    httplib::SSLServer* running = server.get();
    listener = std::thread([running] { running->listen_after_bind(); });
    // stop() only works once the loop runs, so wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!running->is_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            _error = "the server did not start";
            stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void StandInService::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        ++releaseGeneration;
    }
    released.notify_all();
    if (server) {
        server->stop();
        shutdownConnections();
    }
    if (listener.joinable()) {
        listener.join();
    }
    server.reset();
    boundPort = 0;
}

void StandInService::addToken(const std::string& _token) {
    std::lock_guard<std::mutex> lock(mutex);
    zoneLists[_token];
}

void StandInService::addZone(const std::string& _token, const std::string& _zone) {
    std::lock_guard<std::mutex> lock(mutex);
    append(zoneLists[_token], _zone);
}

void StandInService::setZones(const std::string& _token, const std::vector<std::string>& _zones) {
    std::lock_guard<std::mutex> lock(mutex);
    ZoneList& list = zoneLists[_token];
    list = ZoneList();
    for (const std::string& zone : _zones) {
        append(list, zone);
    }
}

std::vector<std::string> StandInService::zones(const std::string& _token) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = zoneLists.find(_token);
    if (found == zoneLists.end()) {
        return std::vector<std::string>();
    }
    return std::vector<std::string>(found->second.names.begin(), found->second.names.end());
}

void StandInService::setLowerCaseNames(bool _on) {
    std::lock_guard<std::mutex> lock(mutex);
    if (lowerCase == _on) {
        return;
    }
    lowerCase = _on;
    // Names compare differently now: index every list again.
    for (auto& entry : zoneLists) {
        ZoneList& list = entry.second;
        list.index.clear();
        for (auto it = list.names.begin(); it != list.names.end(); ++it) {
            list.index.emplace(storedName(*it), it);
        }
    }
}

void StandInService::addFault(const Fault& _fault) {
    std::lock_guard<std::mutex> lock(mutex);
    faults.push_back(_fault);
}

void StandInService::clearFaults() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        faults.clear();
        ++releaseGeneration;
    }
    released.notify_all();
}

void StandInService::releaseStalled() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++releaseGeneration;
    }
    released.notify_all();
}

size_t StandInService::stalledCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stalled;
}

std::vector<RecordedRequest> StandInService::requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<RecordedRequest>(log.begin(), log.end());
}

size_t StandInService::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return log.size();
}

std::map<std::string, size_t> StandInService::requestCounts() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
}

void StandInService::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
    counts.clear();
}

std::string StandInService::storedName(const std::string& _name) const {
    return lowerCase ? asciiLower(_name) : _name;
}

bool StandInService::takeFault(const std::string& _path, const Fields& _form, size_t _bodyLength,
                               Fault& _fault) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if ((!it->endpoint.empty() && it->endpoint != _path) ||
            (it->kind == FaultKind::BodyLimit && _bodyLength <= it->maxBody)) {
            continue;
        }
        if (!it->zone.empty()) {
            bool carries = false;
            for (const auto& field : _form) {
                if (isZoneField(field.first) && storedName(field.second) == storedName(it->zone)) {
                    carries = true;
                    break;
                }
            }
            if (!carries) {
                continue;
            }
        }
        _fault = *it;
        if (it->remaining > 0 && --it->remaining == 0) {
            faults.erase(it);
        }
        return true;
    }
    return false;
}

void StandInService::stallRequest(std::unique_lock<std::mutex>& _lock, long _ms) {
    const unsigned long generation = releaseGeneration;
    const auto done = [this, generation] { return stopping || releaseGeneration != generation; };
    ++stalled;
    if (_ms > 0) {
        released.wait_for(_lock, std::chrono::milliseconds(_ms), done);
    } else {
        released.wait(_lock, done);
    }
    --stalled;
}

template <typename Action>
void StandInService::forEachConnection(Action _action) const {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    const int port = boundPort.load();
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) {
            continue;
        }
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        const int socket = static_cast<int>(fd);
        if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            continue;
        }
        if (_action(socket, peer)) {
            break;
        }
    }
    closedir(dir);
}

void StandInService::resetConnection(const httplib::Request& _request) const {
    forEachConnection([&_request](int _socket, const sockaddr_in& _peer) {
        char address[INET_ADDRSTRLEN] = {};
        if (ntohs(_peer.sin_port) != _request.remote_port ||
            inet_ntop(AF_INET, &_peer.sin_addr, address, sizeof address) == nullptr ||
            _request.remote_addr != address) {
            return false;
        }
        // Closing with a zero linger time sends a reset. The close happens
        // by putting a socket at end-of-file in the descriptor's place, so
        // the server's own later close stays valid and its reads end at
        // once instead of retrying on a disconnected socket.
        const linger abort = {1, 0};
        int pair[2];
        if (setsockopt(_socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0 &&
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
            close(pair[1]);
            dup2(pair[0], _socket);
            close(pair[0]);
        }
        return true;
    });
}

void StandInService::shutdownConnections() const {
    forEachConnection([](int _socket, const sockaddr_in&) {
        shutdown(_socket, SHUT_RDWR);
        return false;
    });
}

void StandInService::serveApi(const httplib::Request& _request, const std::string& _body,
                              httplib::Response& _response, Handler _handler) {
    const Fields form = parseForm(_body);
    RecordedRequest record;
    record.method = _request.method;
    record.path = _request.path;
    for (const auto& header : _request.headers) {
        if (!isLibraryHeader(header.first)) {
            record.headers.emplace_back(header.first, header.second);
        }
    }
    record.bodyLength = _body.size();
    if (_body.size() <= MAX_LOGGED_BODY) {
        record.body = _body;
        record.form = form;
    } else {
        // Only the fields that end before the cut.
        record.body = _body.substr(0, MAX_LOGGED_BODY);
        const size_t lastEnd = _body.rfind('&', MAX_LOGGED_BODY);
        record.form = parseForm(_body.substr(0, lastEnd == std::string::npos ? 0 : lastEnd));
    }
    if (record.form.size() > MAX_LOGGED_FIELDS) {
        record.form.resize(MAX_LOGGED_FIELDS);
    }
    for (const auto& field : form) {
        record.zoneFieldCount += isZoneField(field.first) ? 1 : 0;
    }
    record.clientPort = _request.remote_port;
    const std::string token = _request.get_header_value("Authorization");

    std::unique_lock<std::mutex> lock(mutex);
    ++counts[record.path];
    log.push_back(std::move(record));
    if (log.size() > MAX_LOGGED_REQUESTS) {
        log.pop_front();
    }
    if (!_request.has_header("Authorization") || zoneLists.count(token) == 0) {
        answer(_response, 401, "invalid token");
        return;
    }
    Fault fault;
    if (takeFault(_request.path, form, _body.size(), fault)) {
        switch (fault.kind) {
            case FaultKind::Reply:
                _response.status = fault.status;
                _response.set_content(fault.body, fault.contentType.c_str());
                if (!fault.retryAfterValue.empty()) {
                    _response.set_header("Retry-After", fault.retryAfterValue);
                }
                return;
            case FaultKind::Refuse:
                answer(_response, 200, "refused");
                return;
            case FaultKind::Recheck:
                answer(_response, 200, "recheck");
                return;
            case FaultKind::Reset:
                lock.unlock();
                resetConnection(_request);
                _response.status = 500;
                return;
            case FaultKind::Stall:
                stallRequest(lock, fault.stallMs);
                break;
            case FaultKind::BodyLimit:
                _response.status = 413;
                _response.set_content(
                    "<html><head><title>413 Request Entity Too Large</title></head>"
                    "<body><h1>413 Request Entity Too Large</h1></body></html>\n",
                    "text/html");
                return;
            case FaultKind::Endless: {
                const auto next = std::make_shared<unsigned long>(0);
                _response.status = 200;
                _response.set_chunked_content_provider(
                    "application/json",
                    [next](size_t, httplib::DataSink& _sink) { return writeEndless(next, _sink); });
                return;
            }
        }
    }
    (this->*_handler)(token, form, _response);
}

void StandInService::append(ZoneList& _list, const std::string& _name) const {
    _list.names.push_back(_name);
    _list.index.emplace(storedName(_name), std::prev(_list.names.end()));
}

void StandInService::addOnce(ZoneList& _list, const std::string& _zone) const {
    const std::string name = storedName(_zone);
    if (_list.index.count(name) == 0) {
        append(_list, name);
    }
}

void StandInService::handleBulkInsert(const std::string& _token, const Fields& _form,
                                      httplib::Response& _response) {
    ZoneList& list = zoneLists[_token];
    for (const auto& field : _form) {
        if (field.first == "zone" || !isZoneField(field.first) || field.second.empty()) {
            continue;
        }
        addOnce(list, field.second);
    }
    answer(_response, 200, "ok");
}

void StandInService::handleInsert(const std::string& _token, const Fields& _form,
                                  httplib::Response& _response) {
    std::string zone;
    if (!formValue(_form, "zone", zone) || zone.empty()) {
        answer(_response, 400, "missing zone");
        return;
    }
    addOnce(zoneLists[_token], zone);
    answer(_response, 200, "ok");
}

void StandInService::handleDelete(const std::string& _token, const Fields& _form,
                                  httplib::Response& _response) {
    std::string zone;
    if (!formValue(_form, "zone", zone) || zone.empty()) {
        answer(_response, 400, "missing zone");
        return;
    }
    ZoneList& list = zoneLists[_token];
    const auto held = list.index.equal_range(storedName(zone));
    for (auto it = held.first; it != held.second; ++it) {
        list.names.erase(it->second);
    }
    list.index.erase(held.first, held.second);
    answer(_response, 200, "ok");
}

void StandInService::handleExists(const std::string& _token, const Fields& _form,
                                  httplib::Response& _response) {
    std::string zone;
    if (!formValue(_form, "zone", zone) || zone.empty()) {
        answer(_response, 400, "missing zone");
        return;
    }
    const bool held = zoneLists[_token].index.count(storedName(zone)) > 0;
    answer(_response, 200, held ? "Zone found" : "Zone not found");
}

void StandInService::handleLastSeen(const std::string& _token, const Fields& _form,
                                    httplib::Response& _response) {
    (void)_token;
    (void)_form;
    answer(_response, 200, "ok");
}

void StandInService::handleAgentZones(const std::string& _token, const Fields& _form,
                                      httplib::Response& _response) {
    (void)_form;
    std::string text = "[";
    for (const std::string& name : zoneLists[_token].names) {
        text += (text.size() > 1 ? ",{\"zone\":" : "{\"zone\":") + quoted(name) + "}";
    }
    _response.status = 200;
    _response.set_content(text + "]", "application/json");
}

void StandInService::handleNotFound(const std::string& _token, const Fields& _form,
                                    httplib::Response& _response) {
    (void)_token;
    (void)_form;
    answer(_response, 404, "not found");
}

void StandInService::routeAdmin() {
    const auto post = [this](const char* _path,
                             std::function<void(const Fields&, httplib::Response&)> _action) {
        server->Post(_path, [_action](const httplib::Request&, httplib::Response& _response,
                                      const httplib::ContentReader& _reader) {
            _action(parseForm(readBody(_reader)), _response);
        });
    };

    server->Get("/_admin/zones",
                [this](const httplib::Request& _request, httplib::Response& _response) {
                    const std::string token = _request.get_param_value("token");
                    std::lock_guard<std::mutex> lock(mutex);
                    const auto found = zoneLists.find(token);
                    if (!_request.has_param("token") || found == zoneLists.end()) {
                        answer(_response, 404, "unknown token");
                        return;
                    }
                    std::string text;
                    for (const std::string& name : found->second.names) {
                        text += name + "\n";
                    }
                    _response.set_content(text, "text/plain");
                });
    post("/_admin/zones", [this](const Fields& _form, httplib::Response& _response) {
        std::string token;
        std::string zone;
        if (!formValue(_form, "token", token) || !formValue(_form, "zone", zone)) {
            answer(_response, 400, "token and zone are required");
            return;
        }
        addZone(token, zone);
        answer(_response, 200, "ok");
    });
    post("/_admin/fault", [this](const Fields& _form, httplib::Response& _response) {
        adminFault(_form, _response);
    });
    post("/_admin/faults/clear", [this](const Fields&, httplib::Response& _response) {
        clearFaults();
        answer(_response, 200, "ok");
    });
    post("/_admin/release", [this](const Fields&, httplib::Response& _response) {
        releaseStalled();
        answer(_response, 200, "ok");
    });
    post("/_admin/mode", [this](const Fields& _form, httplib::Response& _response) {
        std::string value;
        if (!formValue(_form, "lowercase", value) || (value != "on" && value != "off")) {
            answer(_response, 400, "lowercase must be on or off");
            return;
        }
        setLowerCaseNames(value == "on");
        answer(_response, 200, "ok");
    });
    server->Get("/_admin/requests", [this](const httplib::Request&, httplib::Response& _response) {
        std::string text;
        for (const RecordedRequest& request : requests()) {
            text += "{\"method\":" + quoted(request.method) + ",\"path\":" + quoted(request.path) +
                    ",\"headers\":" + pairsJson(request.headers) +
                    ",\"body\":" + quoted(request.body) +
                    ",\"body_length\":" + std::to_string(request.bodyLength) +
                    ",\"form\":" + pairsJson(request.form) +
                    ",\"zone_fields\":" + std::to_string(request.zoneFieldCount) +
                    ",\"client_port\":" + std::to_string(request.clientPort) + "}\n";
        }
        _response.set_content(text, "application/x-ndjson");
    });
    server->Get("/_admin/counts", [this](const httplib::Request&, httplib::Response& _response) {
        std::string text = "{";
        for (const auto& count : requestCounts()) {
            text += (text.size() > 1 ? "," : "") + quoted(count.first) + ":" +
                    std::to_string(count.second);
        }
        _response.set_content(text + "}", "application/json");
    });
    post("/_admin/requests/clear", [this](const Fields&, httplib::Response& _response) {
        clearRequests();
        answer(_response, 200, "ok");
    });
}

void StandInService::adminFault(const Fields& _form, httplib::Response& _response) {
    std::string kind;
    std::string text;
    if (!formValue(_form, "kind", kind)) {
        answer(_response, 400, "kind is required");
        return;
    }
    std::string zone;
    formValue(_form, "zone", zone);
    std::string value;
    formValue(_form, "value", value);
    long status = kind == "retryafter" ? 429 : 200;
    if (formValue(_form, "status", text) && !parseNumber(text, 100, 599, status)) {
        answer(_response, 400, "status must be 100 to 599");
        return;
    }
    Fault fault;
    if (kind == "recheck") {
        fault = Fault::recheck();
    } else if (kind == "refuse") {
        fault = Fault::refuse(zone);
    } else if (kind == "error500") {
        fault = Fault::serverError();
    } else if (kind == "empty") {
        fault = Fault::emptyBody();
    } else if (kind == "malformed") {
        fault = Fault::malformedJson();
    } else if (kind == "array") {
        fault = Fault::jsonArray();
    } else if (kind == "string") {
        fault = Fault::jsonString();
    } else if (kind == "reset") {
        fault = Fault::reset();
    } else if (kind == "endless") {
        fault = Fault::endless();
    } else if (kind == "reply") {
        std::string body;
        formValue(_form, "body", body);
        fault = Fault::reply(static_cast<int>(status), body);
    } else if (kind == "retryafter" && !value.empty()) {
        fault = Fault::retryAfter(static_cast<int>(status), value);
    } else if (kind == "bodylimit") {
        long bytes = 0;
        if (!formValue(_form, "bytes", text) || !parseNumber(text, 0, LONG_MAX, bytes)) {
            answer(_response, 400, "bytes must be a number");
            return;
        }
        fault = Fault::bodyLimit(static_cast<size_t>(bytes));
    } else if (kind == "stall") {
        long ms = 0;
        if (formValue(_form, "ms", text) && !parseNumber(text, 0, 3600000, ms)) {
            answer(_response, 400, "ms must be 0 to 3600000");
            return;
        }
        fault = Fault::stall(ms);
    } else if (kind == "retryafter") {
        answer(_response, 400, "value is required");
        return;
    } else {
        answer(_response, 400, "unknown kind " + kind);
        return;
    }
    if (formValue(_form, "endpoint", text)) {
        fault.on(text);
    }
    if (!zone.empty()) {
        fault.forZone(zone);
    }
    if (formValue(_form, "count", text)) {
        long count = 1;
        if (!parseNumber(text, 0, 1000000, count)) {
            answer(_response, 400, "count must be 0 to 1000000");
            return;
        }
        if (count == 0) {
            fault.always();
        } else {
            fault.times(static_cast<int>(count));
        }
    }
    addFault(fault);
    answer(_response, 200, "ok");
}

}  // namespace standin
