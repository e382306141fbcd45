#include "DeletionPolicy.h"

#include <algorithm>
#include <utility>

#include "EventLog.h"
#include "mylibs.h"

DeletionPolicy::DeletionPolicy(int _maxDeletePercent, long _deleteGrace)
    : maxDeletePercent(_maxDeletePercent), deleteGrace(_deleteGrace) {}

DeletionPolicy::steadyClock::time_point DeletionPolicy::graceEnd(
    steadyClock::time_point _since) const {
    if (_since == steadyClock::time_point() || !hasGrace()) {
        return steadyClock::time_point::min();
    }
    return _since + std::chrono::seconds(deleteGrace);
}

bool DeletionPolicy::guardHolds(size_t _planned, size_t _base) const {
    return _planned > GUARD_MIN_DELETIONS &&
           _planned * 100 > static_cast<size_t>(maxDeletePercent) * _base;
}

std::string DeletionPolicy::guardReason(size_t _planned, size_t _base) const {
    const size_t percent = _base == 0 ? 100 : _planned * 100 / _base;
    return std::to_string(_planned) + " zone deletions of " + std::to_string(_base) + " zones (" +
           std::to_string(percent) +
           " %, more than MAX_DELETE_PERCENT=" + std::to_string(maxDeletePercent) + " %)";
}

bool DeletionPolicy::takeWanted() {
    const bool was = wanted;
    wanted = false;
    return was;
}

std::vector<DeletionPolicy::decision> DeletionPolicy::release(
    const std::vector<std::string_view>& _names, const std::vector<bool>& _allowed, size_t _base) {
    if (!blocked.empty() || awaiting) {
        wanted = true;
        awaited = awaited || blocked.empty();
        if (!blocked.empty() && blocked != blockedSaid) {
            blockedSaid = blocked;
            eventLog(ERROR,
                     "Holding back " + std::to_string(_names.size()) + " zone deletions: " + blocked);
        }
        return std::vector<decision>(_names.size(),
                                     blocked.empty() ? decision::Awaiting : decision::Held);
    }
    blockedSaid.clear();
    std::vector<decision> decisions(_names.size(), decision::Held);
    // The guard judges the whole set, as it would without the allowance:
    // the allowance lets through at most its count, and nothing else.
    const bool hold = guardHolds(_names.size(), _base);
    size_t held = 0;
    for (size_t k = 0; k < _names.size(); ++k) {
        if (_allowed[k] && allowed.left > 0) {
            --allowed.left;
            decisions[k] = decision::Allowed;
        } else if (!hold) {
            decisions[k] = decision::Go;
        } else {
            ++held;
        }
    }
    if (held > 0 && !holdLogged) {
        holdLogged = true;
        const std::string share = held == _names.size() ? "" : std::to_string(held) + " of ";
        eventLog(ERROR, "Holding back " + share + guardReason(_names.size(), _base) +
                            "; restore the zones file, or allow them with \"vantrel "
                            "--allow-deletions N\".");
    }
    return decisions;
}

void DeletionPolicy::startWalk() {
    walkHeld.clear();
    walkWaiting = 0;
    walkDue = steadyClock::time_point::max();
}

void DeletionPolicy::noteWalkWaiting(steadyClock::time_point _end) {
    ++walkWaiting;
    walkDue = std::min(walkDue, _end);
}

void DeletionPolicy::noteWalkHeld(std::string_view _name) {
    walkHeld.push_back(asciiLower(std::string(_name)));
}

bool DeletionPolicy::isAllowedInWalk(std::string_view _name) const {
    return !allowed.walkNames.empty() &&
           allowed.walkNames.count(asciiLower(std::string(_name))) > 0;
}

std::vector<uint32_t> DeletionPolicy::refreshExtras(const nameList& _listed,
                                                    const std::vector<uint32_t>& _extras) {
    // Both lists are in folded order, so one walk carries what is known over;
    // extras no longer listed are forgotten.
    const auto now = steadyClock::now();
    listedExtras next;
    next.since.reserve(_extras.size());
    next.marks.reserve(_extras.size());
    std::vector<uint32_t> due;
    extrasDue = steadyClock::time_point::max();
    extrasHeld = 0;
    size_t old = 0;
    for (const uint32_t i : _extras) {
        const std::string_view name = _listed[i];
        int order = -1;
        while (old < extras.names.size() && (order = compareFolded(extras.names[old], name)) < 0) {
            ++old;
        }
        const bool known = old < extras.names.size() && order == 0;
        const auto since = known ? extras.since[old] : now;
        const auto end = graceEnd(since);
        if (end <= now) {
            due.push_back(static_cast<uint32_t>(next.since.size()));
        } else {
            extrasDue = std::min(extrasDue, end);
        }
        next.names.push_back(name);
        next.since.push_back(since);
        next.marks.push_back(known ? extras.marks[old] & ALLOWED : 0);
    }
    extras = std::move(next);
    // Deleted in the service's order, as listed.
    std::sort(due.begin(), due.end(),
              [&](uint32_t _a, uint32_t _b) { return _extras[_a] < _extras[_b]; });
    return due;
}

void DeletionPolicy::noteExtra(uint32_t _extra, bool _deleted, bool _held) {
    extras.marks[_extra] |= (_deleted ? GONE : 0) | (_held ? HELD : 0);
    extrasHeld += _held;
}

bool DeletionPolicy::takeBackExtra(std::string_view _name) {
    size_t low = 0;
    size_t high = extras.names.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const int order = compareFolded(extras.names[middle], _name);
        if (order == 0) {
            const bool waiting = (extras.marks[middle] & GONE) == 0;
            extras.marks[middle] |= GONE;
            return waiting;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return false;
}

size_t DeletionPolicy::allow(size_t _count) {
    const size_t held = getHeld();
    if (held == 0 || _count == 0) {
        return held;
    }
    allowed = allowance();
    allowed.active = true;
    allowed.granted = _count;
    allowed.left = _count;
    allowed.walkNames.insert(walkHeld.begin(), walkHeld.end());
    for (uint8_t& mark : extras.marks) {
        mark |= (mark & HELD) != 0 ? ALLOWED : 0;
    }
    allowanceText = "allowed " + std::to_string(_count) + " deletions, waiting for the next pass";
    eventLog(WARN, "The operator allows " + std::to_string(std::min(_count, held)) + " of the " +
                       std::to_string(held) + " held deletions; they go out at the next pass.");
    return held;
}

void DeletionPolicy::endPass() {
    // An allowance serves the pass that decides its deletions, not one in
    // which they waited for a verdict.
    if (!allowed.active || std::exchange(awaited, false)) {
        return;
    }
    allowanceText = "allowed " + std::to_string(allowed.granted) + " deletions, " +
                    std::to_string(allowed.sent) + " sent";
    eventLog(WARN, "Deletions allowed by the operator: " + std::to_string(allowed.granted) +
                       "; sent: " + std::to_string(allowed.sent) + ".");
    allowed = allowance();
    for (uint8_t& mark : extras.marks) {
        mark &= static_cast<uint8_t>(~ALLOWED);
    }
}

size_t DeletionPolicy::getWaiting() const {
    const auto now = steadyClock::now();
    size_t waiting = walkWaiting;
    for (size_t i = 0; i < extras.since.size(); ++i) {
        waiting += (extras.marks[i] & GONE) == 0 && graceEnd(extras.since[i]) > now;
    }
    return waiting;
}
