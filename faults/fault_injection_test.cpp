// Fault injection: the real agent runs for about a minute and a half against
// the HTTPS stand-in while the service misbehaves by turns (HTTP 500, stalled
// replies, reset connections, a certificate no trusted authority signed,
// refused deletions) and a writer keeps changing the zones file in the ways
// administrators' tools do (rewritten in place, renamed into place, permissions
// flipped, swapped for a symbolic link, removed and put back). The run checks
// that no zone that stays in the file is ever the subject of a deletion, that
// no zone is inserted again after its deletion was asked for unless the file
// has held it since, that the agent keeps running and never talks to the
// impostor, and that a reconciliation once the faults stop leaves the service
// holding exactly the file's master zones. Figures of the run go to standard
// output; the agent's log and a timeline of the run go to the working folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "StandInService.h"
#include "TestCertificates.h"
#include "agent_process.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using standin::Fault;
using standin::RecordedRequest;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testutil::countOf;

// The agent's access token at the service.
const char kToken[] = "fault-token";
// Number of zones that stay in the file for the whole run.
constexpr int kStableCount = 20;
// Number of zones that come and go.
constexpr int kChurnCount = 30;
// Upper bound of the writer's steps; the run's schedule ends it much earlier.
constexpr int kMaxWriterSteps = 5000;
// Number of phases of each kind of misbehaviour.
constexpr int kPhasesPerKind = 2;
// How long a stalled request is held, in milliseconds (the agent gives up
// only after a minute without data).
constexpr long kStallMs = 3000;
// The agent's line for a pass over an unchanged zones file.
const char kUnchanged[] = "Zones file hasn't changed. Deferring update.";

// Seconds since |_start|, fixed width, for the timeline.
std::string stamp(Clock::time_point _start) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - _start).count();
    char text[32];
    std::snprintf(text, sizeof text, "%8.3fs", elapsed);
    return text;
}

// The |_index|th zone of the set called |_prefix|.
std::string zoneName(const char* _prefix, int _index) {
    char text[64];
    std::snprintf(text, sizeof text, "%s-%02d.example", _prefix, _index);
    return text;
}

// The seed of this run: VANTREL_FAULTS_SEED when set, else a random one.
uint32_t chooseSeed() {
    const char* given = std::getenv("VANTREL_FAULTS_SEED");
    if (given != nullptr && *given != '\0') {
        return static_cast<uint32_t>(std::strtoul(given, nullptr, 10));
    }
    return std::random_device{}();
}

// How the writer changes the zones file in one step.
enum class Change { InPlace, Rename, Permissions, Symlink, Removal };

// Readable name of |_change|.
const char* changeName(Change _change) {
    switch (_change) {
        case Change::InPlace:
            return "rewritten in place";
        case Change::Rename:
            return "renamed into place";
        case Change::Permissions:
            return "permissions flipped";
        case Change::Symlink:
            return "swapped for a symbolic link";
        case Change::Removal:
            return "removed and put back";
    }
    return "?";
}

// One version of the zones file and when it was put in place.
struct Version {
    size_t requestAt = 0;           // requests the service had logged before it was written
    std::set<std::string> masters;  // its master zones
};

// Keeps changing the zones file on a thread of its own: the stable zones are
// always in it as master zones, a random part of the churning zones besides,
// in a new random order at every step, with two slave zones and a commented
// out block.
class ZonesFileWriter {
public:
    // Writes to |_path|; scratch files go beside it. |_outputSize| tells how
    // much the agent has logged so far, for the timeline that starts at
    // |_start|; |_requestCount| how many requests the service has logged.
    ZonesFileWriter(std::string _path, uint32_t _seed, std::function<size_t()> _outputSize,
                    std::function<size_t()> _requestCount, Clock::time_point _start)
        : path(std::move(_path)),
          rng(_seed),
          outputSize(std::move(_outputSize)),
          requestCount(std::move(_requestCount)),
          start(_start) {
        for (int i = 0; i < kStableCount; ++i) {
            stableZones.insert(zoneName("stable", i));
        }
        for (int i = 0; i < kChurnCount; ++i) {
            churnZones.push_back(zoneName("churn", i));
        }
    }
    // Stops the thread when it still runs.
    ~ZonesFileWriter() {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    ZonesFileWriter(const ZonesFileWriter&) = delete;
    ZonesFileWriter& operator=(const ZonesFileWriter&) = delete;

    // Writes the first version, a regular file with mode 0644.
    bool writeInitial() { return putVersion(Change::Rename, "first version"); }
    // Starts changing the file.
    void begin() { thread = std::thread(&ZonesFileWriter::run, this); }
    // Stops the thread and puts a last version in place as a regular file
    // with mode 0644.
    void finish() {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
        putVersion(Change::Rename, "last version");
    }
    // The master zones of the version last put in place.
    std::set<std::string> masters() const {
        std::lock_guard<std::mutex> guard(lock);
        return current;
    }
    // The zones that never leave the file.
    const std::set<std::string>& stable() const { return stableZones; }
    // Number of steps of each kind.
    std::map<std::string, int> changes() const {
        std::lock_guard<std::mutex> guard(lock);
        return counts;
    }
    // The file operations that failed, one a line; empty when none did.
    std::string failures() const {
        std::lock_guard<std::mutex> guard(lock);
        return failed;
    }
    // Every version put in place (symbolic link targets included), oldest
    // first.
    std::vector<Version> versions() const {
        std::lock_guard<std::mutex> guard(lock);
        return written;
    }
    // What the writer did, one stamped line per step.
    std::vector<std::string> timeline() const {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }

private:
    // The thread: one step after another until stopped.
    void run() {
        std::discrete_distribution<int> kinds({35, 25, 15, 12, 13});
        for (int i = 0; i < kMaxWriterSteps && !stopping; ++i) {
            const Change change = static_cast<Change>(kinds(rng));
            step(change);
            hold(between(100, 600));
        }
    }

    // One change of the file of kind |_change|.
    void step(Change _change) {
        switch (_change) {
            case Change::InPlace:
            case Change::Rename:
                putVersion(_change, "");
                return;
            case Change::Permissions: {
                if (chmod(path.c_str(), 0) != 0) {
                    fail("chmod 000");
                }
                const bool rewrite = between(0, 1) == 1;
                note(std::string(changeName(_change)) + ": mode 000" +
                     (rewrite ? ", rewritten while 000" : ""));
                hold(between(200, 1200));
                if (rewrite) {
                    putVersion(Change::InPlace, "while mode 000");
                }
                if (chmod(path.c_str(), 0644) != 0) {
                    fail("chmod 644");
                }
                count(_change);
                note("mode 644 again");
                return;
            }
            case Change::Symlink: {
                const std::set<std::string> next = pickMasters();
                const std::string target = path + ".link-target";
                const std::string link = path + ".link";
                unlink(link.c_str());
                record(next);
                if (!writeWhole(target, render(next), O_CREAT | O_TRUNC) ||
                    symlink(target.c_str(), link.c_str()) != 0 ||
                    rename(link.c_str(), path.c_str()) != 0) {
                    fail("symbolic link");
                }
                count(_change);
                note(std::string(changeName(_change)) + " (" + std::to_string(next.size()) +
                     " masters behind it)");
                hold(between(300, 1500));
                putVersion(Change::Rename, "regular file again");
                return;
            }
            case Change::Removal: {
                if (unlink(path.c_str()) != 0) {
                    fail("unlink");
                }
                count(_change);
                note("removed");
                hold(between(300, 1500));
                putVersion(between(0, 1) == 1 ? Change::Rename : Change::InPlace, "put back");
                return;
            }
        }
    }

    // Writes a new version with |_change| (InPlace or Rename) and records
    // its masters; |_context| goes into the timeline.
    bool putVersion(Change _change, const std::string& _context) {
        const std::set<std::string> next = pickMasters();
        const std::string text = render(next);
        record(next);
        bool done = false;
        if (_change == Change::InPlace) {
            done = writeInPlace(text);
        } else {
            const std::string scratch = path + ".tmp";
            done = writeWhole(scratch, text, O_CREAT | O_TRUNC) &&
                   chmod(scratch.c_str(), 0644) == 0 && rename(scratch.c_str(), path.c_str()) == 0;
        }
        if (!done) {
            fail(std::string(changeName(_change)) + " " + _context);
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            current = next;
        }
        count(_change);
        note(std::string(changeName(_change)) + (_context.empty() ? "" : " (" + _context + ")") +
             ": " + std::to_string(next.size()) + " masters, " + std::to_string(text.size()) +
             " bytes");
        return true;
    }

    // Truncates the file, then writes |_text| with one write(); a short
    // pause between the two widens the moment in which the file is empty.
    bool writeInPlace(const std::string& _text) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(between(0, 30)));
        const ssize_t n = write(fd, _text.data(), _text.size());
        const bool closed = close(fd) == 0;
        return closed && n == static_cast<ssize_t>(_text.size());
    }

    // Writes |_text| to |_file| with one write(), opened with |_flags|.
    static bool writeWhole(const std::string& _file, const std::string& _text, int _flags) {
        const int fd = open(_file.c_str(), O_WRONLY | O_CLOEXEC | _flags, 0644);
        if (fd < 0) {
            return false;
        }
        const ssize_t n = write(fd, _text.data(), _text.size());
        const bool closed = close(fd) == 0;
        return closed && n == static_cast<ssize_t>(_text.size());
    }

    // The stable zones and a random half, roughly, of the churning ones.
    std::set<std::string> pickMasters() {
        std::set<std::string> next = stableZones;
        for (const std::string& name : churnZones) {
            if (between(0, 1) == 1) {
                next.insert(name);
            }
        }
        return next;
    }

    // A named.conf-style text holding |_masters| as master zones, two slave
    // zones and a commented out block, in a random order.
    std::string render(const std::set<std::string>& _masters) {
        std::vector<std::string> blocks;
        for (const std::string& name : _masters) {
            blocks.push_back("zone \"" + name + "\" {\n    type master;\n    file \"/etc/bind/db." +
                             name + "\";\n    allow-transfer { none; };\n};\n");
        }
        for (int i = 0; i < 2; ++i) {
            blocks.push_back("zone \"" + zoneName("slave", i) +
                             "\" {\n    type slave;\n    masters { 192.0.2.1; };\n    file "
                             "\"/var/cache/bind/db.slave\";\n};\n");
        }
        blocks.push_back("/* zone \"commented.example\" { type master; }; */\n");
        std::shuffle(blocks.begin(), blocks.end(), rng);
        std::string text = "options {\n    directory \"/var/cache/bind\";\n};\n\n";
        for (const std::string& block : blocks) {
            text += block;
        }
        return text;
    }

    // Sleeps |_ms| milliseconds in short slices, ending early when stopping.
    void hold(long _ms) {
        const auto until = Clock::now() + milliseconds(_ms);
        while (!stopping && Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(20));
        }
    }

    // A random number from |_low| to |_high|, both included.
    long between(long _low, long _high) {
        return std::uniform_int_distribution<long>(_low, _high)(rng);
    }

    // Records a version about to be put in place, with the number of
    // requests logged before it (so that it counts as in place rather too
    // early than too late).
    void record(const std::set<std::string>& _masters) {
        const size_t at = requestCount();
        std::lock_guard<std::mutex> guard(lock);
        written.push_back(Version{at, _masters});
    }

    // Counts one step of kind |_change|.
    void count(Change _change) {
        std::lock_guard<std::mutex> guard(lock);
        ++counts[changeName(_change)];
    }

    // Records a failed file operation.
    void fail(const std::string& _what) {
        const int error = errno;
        std::lock_guard<std::mutex> guard(lock);
        failed += _what + " failed (errno " + std::to_string(error) + ")\n";
    }

    // Adds a stamped line to the timeline.
    void note(const std::string& _what) {
        const std::string line =
            stamp(start) + " agent-log@" + std::to_string(outputSize()) + " file: " + _what;
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(line);
    }

    // The zones file.
    std::string path;
    // The run's random numbers (used by one thread at a time).
    std::mt19937 rng;
    // How much the agent has logged so far.
    std::function<size_t()> outputSize;
    // How many requests the service has logged so far.
    std::function<size_t()> requestCount;
    // Start of the run, for the timeline.
    Clock::time_point start;
    // The zones always in the file.
    std::set<std::string> stableZones;
    // The zones that come and go.
    std::vector<std::string> churnZones;
    // Set to end the thread.
    std::atomic<bool> stopping{false};
    // The writer's thread.
    std::thread thread;
    // Guards the members below.
    mutable std::mutex lock;
    // Masters of the version last put in place.
    std::set<std::string> current;
    // Steps by kind.
    std::map<std::string, int> counts;
    // Failed file operations.
    std::string failed;
    // The timeline of the writer's steps.
    std::vector<std::string> events;
    // The versions put in place.
    std::vector<Version> written;
};

// The service at one fixed port as the agent sees it: the trusted stand-in,
// or for a while an impostor whose certificate an authority the agent does
// not trust signed. The zone list and the request log carry over from one
// instance to the next. Only the test's thread changes instances; the
// counts and lists may be read from any thread.
class ServiceHost {
public:
    // Serves with the certificates of |_trustedDir| or, as the impostor, of
    // |_impostorDir|.
    ServiceHost(std::string _trustedDir, std::string _impostorDir)
        : trustedDir(std::move(_trustedDir)), impostorDir(std::move(_impostorDir)) {}

    // Starts the trusted service on a free port.
    bool start(std::string& _error) { return launch(true, _error); }
    // Replaces the running instance by the trusted service or the impostor,
    // on the same port.
    bool switchTo(bool _trusted, std::string& _error) {
        retire();
        return launch(_trusted, _error);
    }
    // Stops the running instance, keeping its state and log.
    void stop() { retire(); }
    // The running instance (for the test's thread).
    standin::StandInService& service() { return *current; }
    // True while the trusted service runs.
    bool trusted() const {
        std::lock_guard<std::mutex> guard(lock);
        return currentTrusted;
    }
    // The agent's SERVER_HOSTNAME.
    std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port); }
    // The authority the agent trusts.
    std::string caFile() const { return trustedDir + "/" + standin::CA_CERT_FILE; }
    // The service's zone list.
    std::vector<std::string> zones() const {
        std::lock_guard<std::mutex> guard(lock);
        return current ? current->zones(kToken) : held;
    }
    // Number of requests of every instance.
    size_t requestCount() const {
        std::lock_guard<std::mutex> guard(lock);
        return earlier.size() + (current ? current->requestCount() : 0);
    }
    // Every instance's requests, oldest first.
    std::vector<RecordedRequest> requests() const {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<RecordedRequest> all = earlier;
        if (current) {
            const std::vector<RecordedRequest> now = current->requests();
            all.insert(all.end(), now.begin(), now.end());
        }
        return all;
    }
    // Requests that reached an impostor (each one would have carried the
    // token to it).
    size_t impostorRequests() const {
        std::lock_guard<std::mutex> guard(lock);
        return impostorSeen + (current && !currentTrusted ? current->requestCount() : 0);
    }

private:
    // Stops the running instance and keeps its zone list and log.
    void retire() {
        std::lock_guard<std::mutex> guard(lock);
        if (!current) {
            return;
        }
        // Stopping first: a stalled request released by the stop may still
        // change the zone list.
        current->stop();
        held = current->zones(kToken);
        const std::vector<RecordedRequest> log = current->requests();
        earlier.insert(earlier.end(), log.begin(), log.end());
        if (!currentTrusted) {
            impostorSeen += log.size();
        }
        current.reset();
    }

    // Starts an instance on the port (a free one at first), retrying for a
    // few seconds while the port is still taken.
    bool launch(bool _trusted, std::string& _error) {
        auto next = std::make_unique<standin::StandInService>(_trusted ? trustedDir : impostorDir);
        bool started = false;
        for (int attempt = 0; attempt < 100 && !started; ++attempt) {
            started = next->start(port, _error);
            if (!started) {
                std::this_thread::sleep_for(milliseconds(50));
            }
        }
        if (!started) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock);
        port = next->port();
        next->addToken(kToken);
        next->setZones(kToken, held);
        current = std::move(next);
        currentTrusted = _trusted;
        return true;
    }

    // Guards the members below except the folders.
    mutable std::mutex lock;
    // Certificate folders of the trusted service and of the impostor.
    std::string trustedDir;
    std::string impostorDir;
    // The running instance; null between instances.
    std::unique_ptr<standin::StandInService> current;
    // Whether the running instance is the trusted service.
    bool currentTrusted = true;
    // The fixed port; 0 before the first start.
    int port = 0;
    // The zone list carried to the next instance.
    std::vector<std::string> held;
    // The logs of the retired instances.
    std::vector<RecordedRequest> earlier;
    // Requests that reached retired impostors.
    size_t impostorSeen = 0;
};

// The ways the service misbehaves, one per phase.
enum class Misbehaviour { ServerError, Stall, Reset, Impostor, RefusedDeletion };

// Readable name of |_kind|.
const char* misbehaviourName(Misbehaviour _kind) {
    switch (_kind) {
        case Misbehaviour::ServerError:
            return "HTTP 500";
        case Misbehaviour::Stall:
            return "stalled replies";
        case Misbehaviour::Reset:
            return "connections reset";
        case Misbehaviour::Impostor:
            return "untrusted certificate";
        case Misbehaviour::RefusedDeletion:
            return "deletions refused";
    }
    return "?";
}

// What one kind of misbehaviour amounted to over the run.
struct FaultFigures {
    int phases = 0;            // phases of this kind
    double seconds = 0;        // their total length
    size_t requestsHit = 0;    // requests the faulty service received and mistreated
    size_t agentFailures = 0;  // failure lines the agent logged meanwhile
};

// The agent's failure lines in |_text|.
size_t failureLines(const std::string& _text) {
    return countOf(_text, "Could not") + countOf(_text, "Can't parse string as JSON");
}

// Readings of the file that found no zone block: "Zone changes:" right after
// a line that is not a "Loading zone:" line.
size_t emptyReadings(const std::string& _output) {
    size_t count = 0;
    std::istringstream lines(_output);
    std::string line;
    std::string previous;
    while (std::getline(lines, line)) {
        if (line.rfind("Zone changes:", 0) == 0 && previous.rfind("Loading zone:", 0) != 0) {
            ++count;
        }
        previous = line;
    }
    return count;
}

// The deletion requests (by position in |_log|) whose zone is in |_stable|.
std::vector<size_t> stableDeletions(const std::vector<RecordedRequest>& _log,
                                    const std::set<std::string>& _stable) {
    std::vector<size_t> found;
    for (size_t i = 0; i < _log.size(); ++i) {
        if (_log[i].method != "POST" || _log[i].path != "/api/zones/delete") {
            continue;
        }
        for (const std::string& zone : _log[i].formValues("zone")) {
            if (_stable.count(zone) > 0) {
                found.push_back(i);
                break;
            }
        }
    }
    return found;
}

// Bulk insertions that put back a zone the agent had asked to delete while
// no version of the file in place since then held it, one line each. A
// version counts as in place from the request count before it was written,
// so the check errs towards allowing an insertion.
std::vector<std::string> reinsertions(const std::vector<RecordedRequest>& _log,
                                      const std::vector<Version>& _versions) {
    std::vector<std::string> found;
    std::map<std::string, size_t> lastDeletion;
    for (size_t k = 0; k < _log.size(); ++k) {
        if (_log[k].method != "POST") {
            continue;
        }
        if (_log[k].path == "/api/zones/delete") {
            for (const std::string& zone : _log[k].formValues("zone")) {
                lastDeletion[zone] = k;
            }
            continue;
        }
        if (_log[k].path != "/api/zones/bulk_insert") {
            continue;
        }
        for (const auto& field : _log[k].form) {
            const auto deleted = lastDeletion.find(field.second);
            if (deleted == lastDeletion.end()) {
                continue;
            }
            // The version in place at the deletion and every later one put
            // in place before the insertion.
            const size_t j = deleted->second;
            bool held = false;
            for (size_t v = 0; v < _versions.size() && !held; ++v) {
                const bool inPlaceAtDeletion =
                    _versions[v].requestAt <= j &&
                    (v + 1 == _versions.size() || _versions[v + 1].requestAt > j);
                const bool putBetween = _versions[v].requestAt > j && _versions[v].requestAt <= k;
                held =
                    (inPlaceAtDeletion || putBetween) && _versions[v].masters.count(field.second);
            }
            if (!held) {
                found.push_back(field.second + ": deletion request #" + std::to_string(j) +
                                ", bulk insertion #" + std::to_string(k));
            }
        }
    }
    return found;
}

// A point of the run: where the agent's log and the request log stood.
struct Mark {
    std::string when;      // stamped description
    size_t outputAt = 0;   // length of the agent's output
    size_t requestAt = 0;  // number of requests logged
};

// The agent's log between the marks around request |_index|, shortened (at
// most its last 8000 characters).
std::string agentLogAround(const std::string& _output, const std::vector<Mark>& _marks,
                           size_t _index) {
    size_t from = 0;
    size_t to = _output.size();
    for (const Mark& m : _marks) {
        if (m.requestAt <= _index) {
            from = m.outputAt;
        } else {
            to = std::min(to, m.outputAt);
        }
    }
    // Runs of "Loading zone:" lines shrink to one line with their count.
    std::istringstream lines(_output.substr(from, to - from));
    std::string text;
    std::string line;
    size_t loading = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Loading zone:", 0) == 0) {
            ++loading;
            continue;
        }
        if (loading > 0) {
            text += "Loading zone: ... (" + std::to_string(loading) + " lines)\n";
            loading = 0;
        }
        text += line + "\n";
    }
    if (loading > 0) {
        text += "Loading zone: ... (" + std::to_string(loading) + " lines)\n";
    }
    if (text.size() > 8000) {
        text.erase(0, text.size() - 8000);
    }
    return "agent log around it:\n" + text;
}

// Sleeps |_ms| milliseconds in short slices; false as soon as the agent has
// ended.
bool pauseWhileRunning(testutil::AgentProcess& _agent, long _ms) {
    const auto until = Clock::now() + milliseconds(_ms);
    while (Clock::now() < until) {
        if (!_agent.running()) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    return _agent.running();
}

// Writes |_text| to |_name| in the working folder; the path written.
std::string saveReport(const std::string& _name, const std::string& _text) {
    std::ofstream out(_name, std::ios::binary | std::ios::trunc);
    out << _text;
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/" + _name;
}

TEST(FaultInjection, AgentSurvivesMisbehavingServiceAndChangingZonesFile) {
    const Clock::time_point begin = Clock::now();
    const uint32_t seed = chooseSeed();
    std::cout << "[ faults ] seed " << seed << " (set VANTREL_FAULTS_SEED=" << seed
              << " to repeat the schedule)" << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);
    const auto between = [&rng](long _low, long _high) {
        return std::uniform_int_distribution<long>(_low, _high)(rng);
    };

    testutil::TempDir dir;
    const std::string trustedDir = dir.file("trusted");
    const std::string impostorDir = dir.file("impostor");
    ASSERT_EQ(mkdir(trustedDir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(impostorDir.c_str(), 0700), 0);
    std::string error;
    ASSERT_TRUE(standin::generateCertificates(impostorDir, error)) << error;
    ServiceHost host(trustedDir, impostorDir);
    ASSERT_TRUE(host.start(error)) << error;

    testutil::AgentProcess agent;
    const std::string zonesPath = dir.file("named.conf");
    ZonesFileWriter writer(
        zonesPath, static_cast<uint32_t>(rng()), [&agent] { return agent.output().size(); },
        [&host] { return host.requestCount(); }, begin);
    ASSERT_TRUE(writer.writeInitial()) << writer.failures();
    const std::string configPath = dir.file("vantrel.conf");
    testutil::writeFile(configPath, "ZONES_FILE=" + zonesPath + "\nSERVER_HOSTNAME=" +
                                        host.hostAndPort() + "\nTOKEN=" + kToken +
                                        "\nCA_FILE=" + host.caFile() + "\nUPDATE_INTERVAL=1\n");
    ASSERT_EQ(chmod(configPath.c_str(), 0600), 0);
    ASSERT_TRUE(agent.start({"-c", configPath}, dir.path()));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 1, seconds(30)))
        << agent.output();
    {
        const std::set<std::string> initial = writer.masters();
        const std::vector<std::string> held = host.zones();
        ASSERT_EQ(std::set<std::string>(held.begin(), held.end()), initial) << agent.output();
    }

    // The schedule: every kind of misbehaviour kPhasesPerKind times in a
    // random order, each after a spell of normal service.
    std::vector<Misbehaviour> schedule;
    for (int round = 0; round < kPhasesPerKind; ++round) {
        for (const Misbehaviour kind :
             {Misbehaviour::ServerError, Misbehaviour::Stall, Misbehaviour::Reset,
              Misbehaviour::Impostor, Misbehaviour::RefusedDeletion}) {
            schedule.push_back(kind);
        }
    }
    std::shuffle(schedule.begin(), schedule.end(), rng);

    std::vector<Mark> marks;
    const auto mark = [&](const std::string& _what) {
        marks.push_back(
            Mark{stamp(begin) + " " + _what, agent.output().size(), host.requestCount()});
    };
    std::map<std::string, FaultFigures> faults;
    bool alive = true;
    bool stableDeletionSeen = false;

    writer.begin();
    mark("writer started");
    for (size_t i = 0; i < schedule.size() && alive; ++i) {
        alive = pauseWhileRunning(agent, between(2000, 4000));
        if (!alive) {
            break;
        }
        const Misbehaviour kind = schedule[i];
        const long length = between(4000, 7000);
        switch (kind) {
            case Misbehaviour::ServerError:
                host.service().addFault(Fault::serverError().always());
                break;
            case Misbehaviour::Stall:
                host.service().addFault(Fault::stall(kStallMs).always());
                break;
            case Misbehaviour::Reset:
                host.service().addFault(Fault::reset().always());
                break;
            case Misbehaviour::Impostor:
                ASSERT_TRUE(host.switchTo(false, error)) << error;
                break;
            case Misbehaviour::RefusedDeletion:
                host.service().addFault(Fault::refuse().on("/api/zones/delete").always());
                break;
        }
        mark(std::string("service: ") + misbehaviourName(kind) + " begins");
        const Mark from = marks.back();
        const Clock::time_point started = Clock::now();
        alive = pauseWhileRunning(agent, length);
        // The request log as it stands when the misbehaviour ends, so that
        // the requests it hit can be told apart from those after it.
        const std::vector<RecordedRequest> log = host.requests();
        const std::string output = agent.output();
        if (kind == Misbehaviour::Impostor) {
            ASSERT_TRUE(host.switchTo(true, error)) << error;
        } else {
            host.service().clearFaults();
        }
        mark(std::string("service: ") + misbehaviourName(kind) + " ends");
        FaultFigures& figures = faults[misbehaviourName(kind)];
        ++figures.phases;
        figures.seconds += std::chrono::duration<double>(Clock::now() - started).count();
        for (size_t r = from.requestAt; r < log.size(); ++r) {
            const bool hit =
                kind != Misbehaviour::RefusedDeletion || log[r].path == "/api/zones/delete";
            figures.requestsHit += hit ? 1 : 0;
        }
        figures.agentFailures +=
            failureLines(output.substr(std::min(from.outputAt, output.size())));
        if (!stableDeletionSeen && !stableDeletions(log, writer.stable()).empty()) {
            stableDeletionSeen = true;
            ADD_FAILURE() << "a stable zone was deleted, at the latest during "
                          << misbehaviourName(kind) << " (details at the end)";
        }
    }
    writer.finish();
    mark("writer stopped; faults over");
    ASSERT_TRUE(alive) << "the agent ended during the run\n" << agent.output();
    ASSERT_TRUE(host.trusted());
    host.service().clearFaults();

    // The agent has read the last version once it has twice found the file
    // unchanged after it was written (the first such pass may have started
    // before the write).
    const size_t settledFrom = agent.output().size();
    const bool settled = testutil::waitUntil(
        [&] { return countOf(agent.output().substr(settledFrom), kUnchanged) >= 2; }, seconds(60));
    EXPECT_TRUE(settled) << "the agent did not settle on the last version of the file";
    mark("agent read the last version");
    const size_t rechecks = countOf(agent.output(), "Force checked all zones.");
    host.service().addFault(Fault::recheck());
    const bool reconciled =
        agent.waitForOutput("Force checked all zones.", rechecks + 1, seconds(60));
    EXPECT_TRUE(reconciled) << "no reconciliation after the recheck answer";
    mark("reconciliation after recheck done");

    const std::set<std::string> expected = writer.masters();
    const std::vector<std::string> heldList = host.zones();
    const std::set<std::string> held(heldList.begin(), heldList.end());
    const bool stillRunning = agent.running();
    agent.signal(SIGTERM);
    const int exitStatus = agent.waitExit(seconds(30));
    const std::string output = agent.output();
    host.stop();
    const std::vector<RecordedRequest> log = host.requests();
    const double runtime = std::chrono::duration<double>(Clock::now() - begin).count();

    // Figures.
    std::map<std::string, size_t> byEndpoint;
    size_t churnDeletions = 0;
    for (const RecordedRequest& request : log) {
        ++byEndpoint[request.method + " " + request.path];
        if (request.path == "/api/zones/delete") {
            ++churnDeletions;
        }
    }
    const std::vector<size_t> badDeletions = stableDeletions(log, writer.stable());
    churnDeletions -= badDeletions.size();
    const std::vector<std::string> putBack = reinsertions(log, writer.versions());
    size_t lost = 0;
    for (const std::string& zone : writer.stable()) {
        lost += held.count(zone) == 0 ? 1 : 0;
    }
    const size_t readings = countOf(output, "Zone changes:");
    const size_t unchanged = countOf(output, kUnchanged);
    const size_t readErrors = countOf(output, "Error reading file!");
    const size_t notRegular = countOf(output, "Not a regular file:");
    const size_t torn = countOf(output, "Zones file changed while it was read.");

    std::ostringstream report;
    report << "[ faults ] seed " << seed << ", runtime " << runtime << " s\n";
    report << "[ faults ] passes " << readings + unchanged + readErrors + notRegular + torn << ": "
           << readings << " readings (" << emptyReadings(output) << " without any zone block), "
           << unchanged << " unchanged, " << readErrors << " file errors, " << notRegular
           << " not a regular file, " << torn << " changed while read\n";
    report << "[ faults ] heartbeats answered " << countOf(output, "Successfully updated lastseen!")
           << ", rechecks " << countOf(output, "Force checked all zones.")
           << ", agent failure lines " << failureLines(output) << "\n";
    for (const auto& [kind, figures] : faults) {
        report << "[ faults ] fault " << kind << ": " << figures.phases << " phases, "
               << static_cast<int>(figures.seconds) << " s, " << figures.requestsHit
               << " requests hit, " << figures.agentFailures << " agent failure lines\n";
    }
    for (const auto& [kind, count] : writer.changes()) {
        report << "[ faults ] file " << kind << ": " << count << "\n";
    }
    for (const auto& [endpoint, count] : byEndpoint) {
        report << "[ faults ] requests " << endpoint << ": " << count << "\n";
    }
    report << "[ faults ] requests reaching the impostor: " << host.impostorRequests() << "\n";
    report << "[ faults ] deletions of churning zones: " << churnDeletions << "\n";
    report << "[ faults ] deletions of stable zones: " << badDeletions.size() << "\n";
    report << "[ faults ] stable zones lost: " << lost << "\n";
    report << "[ faults ] zones put back after their deletion was asked for: " << putBack.size()
           << "\n";
    report << "[ faults ] service holds " << held.size() << " zones, the file " << expected.size()
           << " masters\n";
    std::cout << report.str() << std::flush;
    RecordProperty("deletions_of_stable_zones", static_cast<int>(badDeletions.size()));
    RecordProperty("stable_zones_lost", static_cast<int>(lost));
    RecordProperty("requests", static_cast<int>(log.size()));

    std::vector<std::string> timeline = writer.timeline();
    for (const Mark& m : marks) {
        timeline.push_back(m.when.substr(0, 9) + " agent-log@" + std::to_string(m.outputAt) +
                           " requests@" + std::to_string(m.requestAt) + m.when.substr(9));
    }
    // Ordered by time only, so that lines of one moment keep their order.
    std::stable_sort(timeline.begin(), timeline.end(),
                     [](const std::string& _a, const std::string& _b) {
                         return _a.compare(0, 9, _b, 0, 9) < 0;
                     });
    std::string timelineText;
    for (const std::string& line : timeline) {
        timelineText += line + "\n";
    }
    std::cout << "[ faults ] agent log: " << saveReport("fault_injection_agent.log", output)
              << "\n[ faults ] timeline: "
              << saveReport("fault_injection_timeline.log", timelineText) << std::endl;

    EXPECT_EQ(writer.failures(), "");
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(host.impostorRequests(), 0u);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(held, expected) << "service and zones file differ after the reconciliation";
    EXPECT_EQ(heldList.size(), held.size()) << "the service holds a zone twice";
    if (!putBack.empty()) {
        // Where the first one happened: the requests around it and the
        // agent's log between the marks around it.
        const size_t at = putBack.front().rfind('#');
        const size_t index = std::stoul(putBack.front().substr(at + 1));
        std::ostringstream detail;
        detail << "zones put back at the service although no version of the file written since "
                  "their deletion was asked for held them:\n";
        for (const std::string& line : putBack) {
            detail << "  " << line << "\n";
        }
        detail << "requests up to the first:\n";
        for (size_t r = index >= 12 ? index - 12 : 0; r <= index; ++r) {
            detail << "  #" << r << " " << log[r].method << " " << log[r].path << " "
                   << log[r].body.substr(0, 160) << "\n";
        }
        ADD_FAILURE() << detail.str() << agentLogAround(output, marks, index);
    }
    for (const size_t index : badDeletions) {
        // Where the deletion happened: the requests before it and the agent's
        // log between the marks around it.
        std::ostringstream detail;
        detail << "deletion of a stable zone, request #" << index << ": " << log[index].body
               << "\nrequests before it:\n";
        for (size_t r = index >= 12 ? index - 12 : 0; r < index; ++r) {
            detail << "  #" << r << " " << log[r].method << " " << log[r].path << " "
                   << log[r].body.substr(0, 200) << "\n";
        }
        ADD_FAILURE() << detail.str() << agentLogAround(output, marks, index);
    }
}

}  // namespace
