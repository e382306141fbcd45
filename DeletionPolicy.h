// DeletionPolicy decides which of the deletions that are due may go out now.
// A zone is deleted only once it has been missing for DELETE_GRACE seconds;
// more than ten deletions that are more than MAX_DELETE_PERCENT of the zones
// are held back as a whole (the guard), but for those the operator allowed
// ("vantrel --allow-deletions N": at most N, in the pass after it); and none
// goes while deletions are blocked (BIND refuses its configuration).
//
// It keeps what this needs between passes: the listed zones the zones file
// lacked at the latest reconciliation (their names once, since when, held or
// allowed), what the latest walk held and the allowance. It sends nothing:
// serverConnector asks it and sends what it lets through. Single-threaded.
#ifndef VANTREL_DELETIONPOLICY_H
#define VANTREL_DELETIONPOLICY_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ServiceSession.h"

class DeletionPolicy {
public:
    using steadyClock = std::chrono::steady_clock;

    // Deletions up to this many are never held back by the guard.
    static constexpr size_t GUARD_MIN_DELETIONS = 10;

    // |_maxDeletePercent| is MAX_DELETE_PERCENT, |_deleteGrace| DELETE_GRACE
    // in seconds.
    DeletionPolicy(int _maxDeletePercent, long _deleteGrace);

    // The end of the grace period of a deletion first seen at |_since|; the
    // time point's minimum for a default |_since| or no grace.
    steadyClock::time_point graceEnd(steadyClock::time_point _since) const;
    // True when a deletion waits DELETE_GRACE seconds (more than none).
    bool hasGrace() const { return deleteGrace > 0; }
    // True when |_planned| deletions of |_base| zones are more than the
    // guard allows.
    bool guardHolds(size_t _planned, size_t _base) const;
    // "N zone deletions of M zones (P %, more than MAX_DELETE_PERCENT=Q %)".
    std::string guardReason(size_t _planned, size_t _base) const;

    // Holds every deletion that is due, with |_reason| logged at ERROR (once
    // for each distinct reason); empty lets them go.
    void setBlocked(const std::string& _reason) { blocked = _reason; }
    const std::string& getBlocked() const { return blocked; }
    // With |_awaiting|, every deletion that is due waits, silently and
    // without counting as held, for a verdict that lets it go.
    void setAwaiting(bool _awaiting) { awaiting = _awaiting; }
    bool isAwaiting() const { return awaiting; }
    // True when a deletion was due since the last call while deletions were
    // blocked or awaiting; clears the mark.
    bool takeWanted();

    // What may become of one deletion that is due.
    enum class decision : char { Held, Go, Allowed, Awaiting };
    // Which of |_names|, deletions due now out of |_base| zones, may go:
    // those |_allowed| marks as far as the allowance reaches (Allowed), the
    // others only when the guard lets all of them through (Go); none while
    // blocked (Held) or awaiting (Awaiting). Logs why some are held, once a
    // pass.
    std::vector<decision> release(const std::vector<std::string_view>& _names,
                                  const std::vector<bool>& _allowed, size_t _base);
    // Counts a deletion the allowance let through that the service accepted.
    void noteSentByAllowance() { ++allowed.sent; }

    // Starts the walk over the zones flagged deleted: forgets what the latest
    // one held and waited for.
    void startWalk();
    // A flagged zone whose grace ends at |_end|, later than now.
    void noteWalkWaiting(steadyClock::time_point _end);
    // A flagged zone whose deletion is due but was held.
    void noteWalkHeld(std::string_view _name);
    // True when the allowance covers the walk's held zone |_name|.
    bool isAllowedInWalk(std::string_view _name) const;

    // Replaces the listed zones the file lacks with the names of |_listed| at
    // |_extras| (in folded name order): a name already known keeps since when
    // it has been listed so and its allowance. Returns the positions of
    // those whose grace is over, in listed order.
    std::vector<uint32_t> refreshExtras(const nameList& _listed,
                                        const std::vector<uint32_t>& _extras);
    std::string_view extraName(uint32_t _extra) const { return extras.names[_extra]; }
    bool isExtraAllowed(uint32_t _extra) const { return (extras.marks[_extra] & ALLOWED) != 0; }
    // Records what became of the due extra |_extra|.
    void noteExtra(uint32_t _extra, bool _deleted, bool _held);
    // True, forgetting it, when |_name| is a listed zone that waited for its
    // deletion: the zones file holds it again, and the service still does.
    bool takeBackExtra(std::string_view _name);

    // Lets the next pass send, ahead of the guard, at most |_count| of the
    // deletions held now (logged at WARNING). Returns how many are held;
    // when none, nothing is allowed.
    size_t allow(size_t _count);
    // Starts an interval pass: the line about held deletions may be said
    // again.
    void beginPass() { holdLogged = false; }
    // Ends a pass, early ones included: an allowance given before it ends is
    // logged at WARNING with how many of the allowed deletions were sent.
    void endPass();
    // "allowed N deletions, M sent" about the latest allowance, or that it
    // waits for its pass; empty before any.
    const std::string& getAllowanceText() const { return allowanceText; }

    // Deletions held back in the latest walk and reconciliation.
    size_t getHeld() const { return walkHeld.size() + extrasHeld; }
    // True when the latest reconciliation held deletions back.
    bool hasExtrasHeld() const { return extrasHeld > 0; }
    // Deletions waiting for their grace period to end.
    size_t getWaiting() const;
    // The earliest end of a grace period a deletion waits for, as the latest
    // walk and reconciliation saw it; the time point's maximum when none.
    steadyClock::time_point nextDue() const { return std::min(walkDue, extrasDue); }
    // The same for the listed zones alone.
    steadyClock::time_point nextExtraDue() const { return extrasDue; }

private:
    enum : uint8_t { HELD = 1, ALLOWED = 2, GONE = 4 };
    // The listed zones the vector lacked at the latest reconciliation, in
    // folded name order: the names once, and per name since when it has been
    // listed so and its marks.
    struct listedExtras {
        nameList names;
        std::vector<steadyClock::time_point> since;
        std::vector<uint8_t> marks;
    };
    // The operator's allowance: how many may still go, how many were granted
    // and sent, and the walk's held deletions it covers (the reconciliation's
    // carry the ALLOWED mark).
    struct allowance {
        bool active = false;
        size_t granted = 0;
        size_t left = 0;
        size_t sent = 0;
        std::unordered_set<std::string> walkNames;
    };

    int maxDeletePercent;
    long deleteGrace;
    std::string blocked;
    // The latest blocking reason logged.
    std::string blockedSaid;
    bool awaiting = false;
    bool wanted = false;
    // Deletions waited for a verdict in this pass.
    bool awaited = false;
    // The guard's or the block's line was logged in this pass.
    bool holdLogged = false;
    // Folded names of the deletions held in the latest walk; how many of its
    // deletions wait for their grace period, and the earliest end among them.
    std::vector<std::string> walkHeld;
    size_t walkWaiting = 0;
    steadyClock::time_point walkDue = steadyClock::time_point::max();
    listedExtras extras;
    size_t extrasHeld = 0;
    steadyClock::time_point extrasDue = steadyClock::time_point::max();
    allowance allowed;
    std::string allowanceText;
};

#endif  // VANTREL_DELETIONPOLICY_H
