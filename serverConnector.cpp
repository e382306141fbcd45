#include "serverConnector.h"

#include <json/json.h>

#include <climits>
#include <exception>
#include <iostream>
#include <unordered_set>

#include "ConfigFileParser.h"
#include "mylibs.h"

namespace {

// Collects the reply: appends every received byte to the request's text.
size_t WriteCallback(void* contents, size_t size, size_t nmemb, void* userp) {
    const size_t total = size * nmemb;
    try {
        static_cast<std::string*>(userp)->append(static_cast<const char*>(contents), total);
    } catch (const std::exception&) {
        // Out of memory: a short count makes libcurl end the transfer as
        // failed instead of letting the exception cross C code.
        return 0;
    }
    return total;
}

const char* const MSG_PARSE_FAILED = "Can't parse string as JSON";

// Parses |_text| with the reader's default (permissive) features into
// |_root|. The reader throws on nesting deeper than its stack limit; such a
// text counts as not parsable, like any other the reader refuses.
bool parseJson(const std::string& _text, Json::Value& _root) {
    try {
        Json::Reader reader;
        return reader.parse(_text, _root);
    } catch (const std::exception&) {
        _root = Json::Value();
        return false;
    }
}

}  // namespace

serverConnector::serverConnector(ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                                 bool _shareConnections)
    : runTimestamp(0),
      configFile(_configFile),
      zones(_zones),
      share(nullptr),
      connectTimeout(DEFAULT_CONNECT_TIMEOUT),
      lowSpeedTime(DEFAULT_LOW_SPEED_TIME),
      zonesReady(false),
      syncPending(false) {
    if (configFile != nullptr) {
        runTimestamp = static_cast<int32_t>(configFile->getRunTimestamp());
        token = configFile->getToken();
        serverHostname = configFile->getServerHostname();
        caFile = configFile->getCaFile();
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

void serverConnector::setTimeouts(long _connectSeconds, long _lowSpeedSeconds) {
    // Zero would mean "library default" for the first and "never" for the
    // second; neither is wanted.
    connectTimeout = _connectSeconds < 1 ? 1 : _connectSeconds;
    lowSpeedTime = _lowSpeedSeconds < 1 ? 1 : _lowSpeedSeconds;
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
    _parsed = parseJson(_text, root);
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
        if (message.isNull()) {
            return true;
        }
        if (message.isObject() || message.isArray()) {
            return false;
        }
        _message = message.asString();
        return true;
    } catch (const std::exception&) {
        _message.clear();
        return false;
    }
}

bool serverConnector::readZoneList(const std::string& _text, std::vector<std::string>& _names,
                                   bool& _parsed) {
    _names.clear();
    Json::Value root;
    _parsed = parseJson(_text, root);
    if (!_parsed) {
        return false;
    }
    try {
        if (root.isObject()) {
            // An object with members is an error reply, not a list.
            return root.empty();
        }
        if (!root.isArray()) {
            // null, or a bare string, number or boolean: lists nothing.
            return true;
        }
        for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
            const Json::Value& element = root[i];
            if (element.isNull()) {
                _names.emplace_back();
                continue;
            }
            if (!element.isObject()) {
                _names.clear();
                return false;
            }
            const Json::Value zone = element.get("zone", Json::Value());
            if (zone.isObject() || zone.isArray()) {
                _names.clear();
                return false;
            }
            _names.push_back(zone.isNull() ? std::string() : zone.asString());
        }
        return true;
    } catch (const std::exception&) {
        _names.clear();
        return false;
    }
}

serverConnector::requestResult serverConnector::performRequest(const std::string& _path,
                                                               const std::string* _body) {
    requestResult result;
    const std::string url = "https://" + serverHostname + _path;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return result;
    }
    const std::string authorization = "Authorization: " + token;
    struct curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
    if (headers == nullptr) {
        // Never send a request without its credential.
        curl_easy_cleanup(curl);
        return result;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    if (_body != nullptr) {
        // libcurl does not copy the body: it lives in the caller until the
        // transfer has ended.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, _body->c_str());
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.readBuffer);
    if (!caFile.empty()) {
        // Trust this file's authorities instead of the system's store;
        // verification itself stays on.
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout);
    // A service that stops sending must not block the agent forever: under
    // one byte per second for lowSpeedTime seconds fails the transfer.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedTime);
    if (share != nullptr) {
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
    }
    result.code = curl_easy_perform(curl);
    result.sent = true;
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return result;
}

void serverConnector::commitChanges(int _newZones, int _deletedZones) {
    if (_newZones > 0) {
        insertZones();
    }
    if (_deletedZones > 0) {
        deleteZones();
    }
}

void serverConnector::insertZones() {
    std::vector<std::string> newZones;
    for (const zoneData& zone : *zones) {
        if (zone.isNewZone()) {
            newZones.push_back(zone.getZoneName());
        }
    }
    insertBulkZones(newZones);
}

bool serverConnector::insertBulkZones(std::vector<std::string> _zonesList) {
    std::string body;
    bool encoded = true;
    for (size_t i = 0; i < _zonesList.size() && encoded; ++i) {
        std::string value;
        encoded = encodeFormValue(_zonesList[i], value);
        body += "&zone[" + std::to_string(i) + "]=" + value;
    }
    requestResult result;
    if (encoded) {
        result = performRequest("/api/zones/bulk_insert", &body);
    }
    if (!result.sent || result.code != CURLE_OK) {
        eventLog(ERROR, "Could not insert zones.");
        syncPending = true;
        return false;
    }
    std::string message;
    bool parsed = false;
    const bool read = readReplyMessage(result.readBuffer, message, parsed);
    if (!parsed) {
        eventLog(ERROR, MSG_PARSE_FAILED);
        syncPending = true;
        return false;
    }
    if (read && message == "ok") {
        eventLog(DEBUG, "Successfully inserted zones.");
        return true;
    }
    eventLog(ERROR, "Could not insert zones.");
    syncPending = true;
    return false;
}

bool serverConnector::postSingleZone(const std::string& _path, const std::string& _zoneName,
                                     const std::string& _success, const std::string& _failure) {
    std::string value;
    std::string body;
    requestResult result;
    // A name that cannot be encoded sends nothing; the empty reply then
    // fails like a lost connection.
    if (encodeFormValue(_zoneName, value)) {
        body = "zone=" + value;
        result = performRequest(_path, &body);
    }
    std::string message;
    bool parsed = false;
    const bool read = readReplyMessage(result.readBuffer, message, parsed);
    if (!parsed) {
        eventLog(ERROR, MSG_PARSE_FAILED);
        syncPending = true;
        return false;
    }
    if (read && message == "ok") {
        eventLog(DEBUG, _success);
        return true;
    }
    eventLog(ERROR, _failure);
    syncPending = true;
    return false;
}

bool serverConnector::insertZone(std::string _zoneName) {
    return postSingleZone("/api/zones/insert", _zoneName, "Successfully inserted zone.",
                          "Could not insert zone.");
}

void serverConnector::deleteZones() {
    // The walk asks for the zones flagged deleted in vector order and starts
    // again from the top after every accepted deletion, so a zone refused
    // earlier in the walk is asked for again after each later success. Only
    // the refused zones lie before the walk's position, so they are kept in
    // their own list and the rest of the vector is never scanned twice; the
    // accepted zones leave the vector in one pass at the end.
    std::vector<size_t> flagged;
    for (size_t i = 0; i < zones->size(); ++i) {
        if ((*zones)[i].isDeleted()) {
            flagged.push_back(i);
        }
    }
    std::vector<bool> accepted(zones->size(), false);
    std::vector<size_t> refused;
    size_t next = 0;
    bool askRefusedAgain = false;
    for (;;) {
        if (askRefusedAgain) {
            askRefusedAgain = false;
            for (size_t r = 0; r < refused.size(); ++r) {
                if (deleteZone((*zones)[refused[r]].getZoneName())) {
                    accepted[refused[r]] = true;
                    refused.erase(refused.begin() + static_cast<std::ptrdiff_t>(r));
                    askRefusedAgain = true;
                    break;
                }
            }
            if (askRefusedAgain) {
                continue;
            }
        }
        if (next == flagged.size()) {
            break;
        }
        const size_t position = flagged[next++];
        if (deleteZone((*zones)[position].getZoneName())) {
            accepted[position] = true;
            askRefusedAgain = true;
        } else {
            refused.push_back(position);
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < zones->size(); ++i) {
        if (!accepted[i]) {
            if (kept != i) {
                (*zones)[kept] = std::move((*zones)[i]);
            }
            ++kept;
        }
    }
    zones->erase(zones->begin() + static_cast<std::ptrdiff_t>(kept), zones->end());
}

bool serverConnector::deleteZone(std::string _zoneName) {
    return postSingleZone("/api/zones/delete", _zoneName, "Successfully deleted zone.",
                          "Could not delete zone.");
}

bool serverConnector::zoneExists(std::string _zone) {
    std::string value;
    std::string body;
    requestResult result;
    if (encodeFormValue(_zone, value)) {
        body = "zone=" + value;
        result = performRequest("/api/zones/exists", &body);
    }
    std::string message;
    bool parsed = false;
    readReplyMessage(result.readBuffer, message, parsed);
    if (!parsed) {
        std::cout << "Error parsing the string" << std::endl;
    }
    return message == "Zone found";
}

void serverConnector::insertLogEntry(std::string _zone, actionType _type) {
    // The service keeps no per-change log from the agent.
    (void)_zone;
    (void)_type;
}

void serverConnector::updateLastSeen() {
    const requestResult result = performRequest("/api/last_seen", nullptr);
    if (!result.sent) {
        return;
    }
    if (result.code != CURLE_OK) {
        eventLog(ERROR, "Could not send last seen timestamp:");
        return;
    }
    std::string message;
    bool parsed = false;
    const bool read = readReplyMessage(result.readBuffer, message, parsed);
    if (!parsed) {
        eventLog(ERROR, MSG_PARSE_FAILED);
        eventLog(ERROR, "Could not send last seen timestamp");
        return;
    }
    if (read && message == "ok") {
        eventLog(DEBUG, "Successfully updated lastseen!");
    } else if (read && message == "recheck") {
        syncZones();
        eventLog(DEBUG, "Force checked all zones.");
        eventLog(DEBUG, "Successfully updated lastseen!");
    } else {
        eventLog(ERROR, "Could not send last seen timestamp");
    }
}

void serverConnector::syncZones() {
    if (!zonesReady) {
        // An unread zones file leaves the vector empty; reconciling against
        // it would delete every zone the service holds for this agent.
        eventLog(ERROR,
                 "Zone reconciliation skipped: the zones file has not been read successfully yet.");
        syncPending = true;
        return;
    }
    syncPending = false;
    std::vector<std::string> names;
    names.reserve(zones->size());
    for (const zoneData& zone : *zones) {
        // A zone whose deletion is still owed must not be put back.
        if (!zone.isDeleted()) {
            names.push_back(zone.getZoneName());
        }
    }
    insertBulkZones(names);
    deleteNotFoundZones();
}

void serverConnector::deleteNotFoundZones() {
    const requestResult result = performRequest("/api/zones/agent", nullptr);
    if (!result.sent) {
        syncPending = true;
        return;
    }
    if (result.code != CURLE_OK) {
        eventLog(ERROR, "Could not fetch agent's zones.");
        syncPending = true;
        return;
    }
    std::vector<std::string> listed;
    bool parsed = false;
    if (!readZoneList(result.readBuffer, listed, parsed)) {
        if (!parsed) {
            eventLog(ERROR, MSG_PARSE_FAILED);
        }
        eventLog(ERROR, "Could not fetch agent's zones.");
        syncPending = true;
        return;
    }
    // Every zone in the vector counts as local, a pending deletion included.
    // DNS names are case-insensitive, so letter case is folded (ASCII only).
    std::unordered_set<std::string> local;
    local.reserve(zones->size());
    for (const zoneData& zone : *zones) {
        local.insert(asciiLower(zone.getZoneName()));
    }
    for (const std::string& name : listed) {
        if (local.count(asciiLower(name)) == 0) {
            deleteZone(name);
        }
    }
}
