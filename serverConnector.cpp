#include "serverConnector.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <iterator>
#include <numeric>
#include <tuple>
#include <unordered_set>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "Signals.h"
#include "mylibs.h"

namespace {

using Operation = ServiceSession::Operation;

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

// The positions 0 .. |_count| - 1 ordered by the folded name |_nameAt| gives
// for each, equal names in position order.
template <typename NameAt>
std::vector<uint32_t> foldedOrder(size_t _count, NameAt _nameAt) {
    std::vector<uint32_t> order(_count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t _a, uint32_t _b) {
        return compareFolded(_nameAt(_a), _nameAt(_b)) < 0;
    });
    return order;
}

}  // namespace

serverConnector::serverConnector(const ConfigFileParser* _configFile, std::vector<zoneData>* _zones,
                                 bool _shareConnections)
    : zones(_zones),
      session(_configFile, _shareConnections),
      policy(
          _configFile != nullptr ? _configFile->getMaxDeletePercent() : DEFAULT_MAX_DELETE_PERCENT,
          _configFile != nullptr ? _configFile->getDeleteGrace() : DEFAULT_DELETE_GRACE),
      maxRepairWait(MAX_REPAIR_WAIT_SECONDS / UPDATE_ZONES_INTERVAL),
      jitter(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid())) {
    if (_configFile != nullptr) {
        const long interval = std::max<long>(1, _configFile->getUpZoneInterval());
        maxRepairWait = std::max<long>(1, MAX_REPAIR_WAIT_SECONDS / interval);
    }
}

serverConnector::~serverConnector() = default;

void serverConnector::noteFailure() {
    syncPending = true;
    passFailed = true;
    ++failureCount;
}

bool serverConnector::delivered(const Operation& _op, const Reply& _reply) {
    if (session.delivered(_op, _reply)) {
        return true;
    }
    noteFailure();
    return false;
}

bool serverConnector::judge(const Operation& _op, const Reply& _reply, std::string& _message) {
    if (session.judge(_op, _reply, _message)) {
        return true;
    }
    noteFailure();
    return false;
}

void serverConnector::fail(const Operation& _op, const Reply& _reply,
                           std::initializer_list<const char*> _lines) {
    session.fail(_op, _reply, _lines);
    noteFailure();
}
void serverConnector::commitChanges(int _newZones, int _deletedZones) {
    if (_newZones > 0) {
        insertZones();
    }
    policy.startWalk();
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
        if (!refusals.empty()) {
            const auto refused = refusals.find(asciiLower(zone.getZoneName()));
            if (refused != refusals.end() && refused->second.passesLeft > 0) {
                skipped[k] = true;  // its own backoff runs
                continue;
            }
        }
        if (policy.takeBackExtra(zone.zoneNameRef())) {
            // Back in the file while its deletion waited: the service still
            // holds it, so nothing is sent.
            zone.setAtService(true);
            outcomes[k] = batchOutcome::Accepted;
            skipped[k] = true;
            continue;
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
            ServiceSession::encodeFormValue(_names[i], value);
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
    _reply = session.request(BULK_INSERT, &_body);
    if (!delivered(BULK_INSERT, _reply)) {
        return batchOutcome::Failed;
    }
    std::string message;
    bool parsed = false;
    if (ServiceSession::readReplyMessage(_reply.body, message, parsed) && message == "ok") {
        session.count(BULK_INSERT, "ok");
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
    session.count(BULK_INSERT, "refused");
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
    eventLog(ERROR, session.causeOf(BULK_INSERT, _reply));
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

bool serverConnector::postSingleZone(const Operation& _op, std::string_view _zoneName,
                                     const char* _success) {
    std::string value;
    std::string body;
    Reply reply;
    // A name that cannot be encoded sends nothing; the empty reply then
    // fails like a lost connection.
    if (ServiceSession::encodeFormValue(_zoneName, value)) {
        body = "zone=" + value;
        reply = session.request(_op, &body);
    }
    std::string message;
    if (!judge(_op, reply, message)) {
        return false;
    }
    if (message != "ok") {
        fail(_op, reply, {_op.failure});
        return false;
    }
    session.count(_op, "ok");
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
    if (ServiceSession::encodeFormValue(_zone, value)) {
        const std::string body = "zone=" + value;
        reply = session.request(EXISTS, &body);
    }
    std::string message;
    bool parsed = false;
    ServiceSession::readReplyMessage(reply.body, message, parsed);
    if (!parsed) {
        say("Error parsing the string");
    }
    if (reply.sent) {
        session.count(EXISTS, parsed ? "ok" : "error");
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
    const auto now = steadyClock::now();
    std::vector<size_t> due;
    std::vector<std::string_view> names;
    std::vector<bool> allowedNames;
    for (size_t i = 0; i < zones->size(); ++i) {
        const zoneData& zone = (*zones)[i];
        if (!zone.isDeleted()) {
            continue;
        }
        const auto end = policy.graceEnd(zone.getDeletedSince());
        if (end <= now) {
            due.push_back(i);
            names.push_back(zone.zoneNameRef());
            allowedNames.push_back(policy.isAllowedInWalk(zone.zoneNameRef()));
        } else {
            policy.noteWalkWaiting(end);
        }
    }
    if (due.empty()) {
        return;
    }
    std::vector<bool> held;
    const std::vector<bool> accepted = sendDeletions(names, allowedNames, _base, held);
    std::vector<bool> erase(zones->size(), false);
    for (size_t k = 0; k < due.size(); ++k) {
        erase[due[k]] = accepted[k];
        if (held[k]) {
            policy.noteWalkHeld(names[k]);
        }
    }
    names.clear();
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

std::vector<bool> serverConnector::sendDeletions(const std::vector<std::string_view>& _names,
                                                 const std::vector<bool>& _allowed, size_t _base,
                                                 std::vector<bool>& _held) {
    const std::vector<DeletionPolicy::decision> decisions = policy.release(_names, _allowed, _base);
    std::vector<bool> accepted(_names.size(), false);
    _held.assign(_names.size(), false);
    for (size_t k = 0; k < _names.size(); ++k) {
        _held[k] = decisions[k] == DeletionPolicy::decision::Held;
    }
    if (std::find(_held.begin(), _held.end(), true) != _held.end()) {
        noteFailure();
    }
    for (size_t k = 0; k < _names.size() && !StopFlag; ++k) {
        if ((decisions[k] == DeletionPolicy::decision::Go ||
             decisions[k] == DeletionPolicy::decision::Allowed) &&
            deleteZone(std::string(_names[k]))) {
            accepted[k] = true;
            if (decisions[k] == DeletionPolicy::decision::Allowed) {
                policy.noteSentByAllowance();
            }
        }
    }
    return accepted;
}

bool serverConnector::updateLastSeen() {
    const Reply reply = session.request(LAST_SEEN, nullptr);
    std::string message;
    if (!judge(LAST_SEEN, reply, message)) {
        return false;
    }
    if (message == "ok") {
        session.count(LAST_SEEN, "ok");
        eventLog(DEBUG, "Successfully updated lastseen!");
    } else if (message == "recheck") {
        session.count(LAST_SEEN, "ok");
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
    nameList listed;
    if (!StopFlag && fetchZoneList(listed) && !StopFlag) {
        const std::vector<bool> isListed = deleteListedExtras(listed);
        listed.clear();
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
    nameList listed;
    if (fetchZoneList(listed)) {
        deleteListedExtras(listed);
    }
}

bool serverConnector::planReconciliation(reconciliationPlan& _plan) {
    nameList listed;
    if (!fetchZoneList(listed)) {
        return false;
    }
    std::vector<uint32_t> extra;
    const std::vector<bool> isListed = matchListed(listed, extra);
    _plan.listed = listed.size();
    for (size_t i = 0; i < zones->size(); ++i) {
        if (!isListed[i] && !(*zones)[i].isDeleted()) {
            _plan.inserts.push_back((*zones)[i].getZoneName());
        }
    }
    // A start sees every extra for the first time: with a grace period all
    // of them wait, and then the guard judges them together.
    if (!policy.getBlocked().empty()) {
        _plan.heldReason = policy.getBlocked();
    } else if (policy.guardHolds(extra.size(), listed.size())) {
        _plan.heldReason = policy.guardReason(extra.size(), listed.size());
    }
    std::vector<std::string>& target = !_plan.heldReason.empty() ? _plan.held
                                       : policy.hasGrace()       ? _plan.waiting
                                                                 : _plan.deletes;
    // In the service's order, as listed.
    std::sort(extra.begin(), extra.end());
    for (const uint32_t i : extra) {
        target.emplace_back(listed[i]);
    }
    return true;
}

bool serverConnector::fetchZoneList(nameList& _names) {
    const Reply reply = session.request(AGENT_ZONES, nullptr);
    if (!delivered(AGENT_ZONES, reply)) {
        return false;
    }
    bool parsed = false;
    if (!ServiceSession::readList(reply.body, "zone", _names, parsed)) {
        fail(AGENT_ZONES, reply, {parsed ? nullptr : MSG_PARSE_FAILED, AGENT_ZONES.failure});
        return false;
    }
    session.count(AGENT_ZONES, "ok");
    return true;
}

std::vector<bool> serverConnector::matchListed(const nameList& _listed,
                                               std::vector<uint32_t>& _extras) const {
    // Both sides ordered by the ASCII-folded name, then walked together: a
    // listed name the vector lacks is an extra; a record whose name is
    // listed is held by the service.
    const std::vector<uint32_t> local =
        foldedOrder(zones->size(), [&](uint32_t _i) { return (*zones)[_i].zoneNameRef(); });
    const std::vector<uint32_t> listed =
        foldedOrder(_listed.size(), [&](uint32_t _i) { return _listed[_i]; });
    std::vector<bool> held(zones->size(), false);
    _extras.clear();
    size_t l = 0;
    for (const uint32_t entry : listed) {
        int order = -1;
        while (l < local.size() &&
               (order = compareFolded((*zones)[local[l]].zoneNameRef(), _listed[entry])) < 0) {
            ++l;
        }
        if (l < local.size() && order == 0) {
            held[local[l]] = true;
        } else {
            _extras.push_back(entry);
        }
    }
    return held;
}

std::vector<bool> serverConnector::deleteListedExtras(const nameList& _listed) {
    std::vector<uint32_t> extra;
    const std::vector<bool> isListed = matchListed(_listed, extra);
    const std::vector<uint32_t> due = policy.refreshExtras(_listed, extra);
    // Deletions that wait for a verdict bring the repair back once it came.
    extrasAwaiting = !due.empty() && policy.isAwaiting() && policy.getBlocked().empty();
    if (due.empty()) {
        return isListed;
    }
    std::vector<std::string_view> names;
    std::vector<bool> allowedNames;
    names.reserve(due.size());
    for (const uint32_t d : due) {
        names.push_back(policy.extraName(d));
        allowedNames.push_back(policy.isExtraAllowed(d));
    }
    std::vector<bool> held;
    const std::vector<bool> accepted = sendDeletions(names, allowedNames, _listed.size(), held);
    for (size_t k = 0; k < due.size(); ++k) {
        policy.noteExtra(due[k], accepted[k], held[k]);
    }
    return isListed;
}

size_t serverConnector::allowDeletions(size_t _count) {
    const size_t held = policy.allow(_count);
    if (_count > 0 && policy.hasExtrasHeld()) {
        repairWait = 0;  // the reconciliation that held them runs again
    }
    return held;
}

void serverConnector::closeAllowance() {
    policy.endPass();
}

void serverConnector::beginPass() {
    passFailed = false;
    policy.beginPass();
    session.beginPass();
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
    if (session.hasServiceReturned()) {
        // The service answers again after an outage: the repair runs at the
        // next pass.
        repairWait = 0;
    }
    syncSucceeded = false;
}

bool serverConnector::isRepairDue() const {
    const auto now = steadyClock::now();
    return !session.isHeld() && ((syncPending && repairWait == 0) || policy.nextExtraDue() <= now ||
                                 (extrasAwaiting && !policy.isAwaiting()));
}
