// Measures the real agent against the in-process stand-in service:
//   agent_tool AGENT scale ZONES [DELETE_PERCENT]
//       start-up to a converged service: wall time, requests, the agent's
//       peak resident memory beside the zones file's size; then, with
//       DELETE_PERCENT, the time to delete that share of the zones.
//   agent_tool AGENT endless
//       the agent's peak resident memory while the service's zone list is an
//       endless reply, which the agent must abandon.
//   agent_tool AGENT latency EDITS ZONES
//       EDITS edits of a ZONES-zone file (rewrite in place, rename into place,
//       append) at the default interval: time from the end of each write to
//       the zone's arrival at the service; then the agent's CPU time while
//       idle for a minute.
//   agent_tool AGENT listed ZONES
//       the agent's resident and peak memory once its first reconciliation
//       has held back the deletions of ZONES zones that the service lists and
//       the file lacks (target: a peak of 200 MB at 1,000,000).
//   agent_tool AGENT checking ZONES
//       with a ZONES-zone file that BIND's checker judges before a deletion:
//       the time from a zone's addition to its arrival while the checker
//       runs, the longest gap between heartbeats meanwhile (interval 1 s: a
//       heartbeat every 3 s), and the time until the deletion went.
//   agent_tool AGENT plan ZONES
//       the wall time of "--plan --json" for a ZONES-zone file against a
//       service that lacks one in ten of its master zones and lists a
//       thousand zones the file lacks (target: 3 s for 100,000 zones).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "StandInService.h"
#include "test_util.h"
#include "zonegen.h"

namespace {

using clockType = std::chrono::steady_clock;
const char kToken[] = "bench-token";

double secondsSince(clockType::time_point _start) {
    return std::chrono::duration<double>(clockType::now() - _start).count();
}

// A field of /proc/PID/status in KiB.
long statusKib(pid_t _pid, const std::string& _field) {
    std::ifstream in("/proc/" + std::to_string(_pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(_field + ":", 0) == 0) {
            return std::stol(line.substr(_field.size() + 1));
        }
    }
    return -1;
}

// User plus system CPU time of |_pid| in seconds.
double cpuSeconds(pid_t _pid) {
    std::ifstream in("/proc/" + std::to_string(_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Mirrored zones of a generated file: the hosted masters.
size_t masterCount(const zonegen::Layout& _layout) {
    size_t count = zonegen::headerMirroredZones;
    for (uint64_t i = 0; i < _layout.zoneCount; ++i) {
        count += zonegen::isSlave(i, _layout.seed) ? 0 : 1;
    }
    return count;
}

// The text of |_layout|'s file without the hosted zones |_drop| names (by
// index, and whether the zone is a slave); |_kept| counts the masters left.
template <typename Drop>
std::string textWithout(const zonegen::Layout& _layout, Drop _drop, size_t* _kept = nullptr) {
    std::string text = zonegen::header(_layout.directory);
    size_t kept = zonegen::headerMirroredZones;
    for (uint64_t i = 0; i < _layout.zoneCount; ++i) {
        const bool slave = zonegen::isSlave(i, _layout.seed);
        if (_drop(i, slave)) {
            continue;
        }
        kept += slave ? 0 : 1;
        text += zonegen::zoneBlock(zonegen::zoneName(i, _layout.seed),
                                   zonegen::mix(i ^ (_layout.seed << 1)) >> 40, slave);
    }
    if (_kept != nullptr) {
        *_kept = kept;
    }
    return text;
}

struct Bench {
    testutil::TempDir dir;
    standin::StandInService service{dir.path()};
    testutil::Child agent;
    std::string zonesPath = dir.file("named.conf");
    bool serviceUp = false;

    // Starts the stand-in and writes the agent's configuration (deletions
    // without a grace period).
    bool startService() {
        std::string error;
        if (!service.start(0, error)) {
            std::fprintf(stderr, "stand-in: %s\n", error.c_str());
            return false;
        }
        serviceUp = true;
        service.addToken(kToken);
        testutil::writeFile(
            dir.file("vantrel.conf"),
            "ZONES_FILE=" + zonesPath + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                "\nLOG_LEVEL=ERROR\nDELETE_GRACE=0\n" + "NAMED_CONF=" + zonesPath + "\n");
        chmod(dir.file("vantrel.conf").c_str(), 0600);
        return true;
    }

    // Starts the agent, and the stand-in unless it runs.
    bool start(const std::string& _agent) {
        if (!serviceUp && !startService()) {
            return false;
        }
        // Standard output stands for the journal, so that LOG_LEVEL applies.
        const std::string config = dir.file("vantrel.conf");
        return agent.run([&] {
            struct stat out;
            fstat(1, &out);
            setenv("JOURNAL_STREAM",
                   (std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino)).c_str(), 1);
            execl(_agent.c_str(), _agent.c_str(), "-c", config.c_str(), nullptr);
            return 97;
        });
    }

    bool waitForCount(size_t _count, int _seconds) {
        return testutil::waitUntil([&] { return service.zones(kToken).size() == _count; },
                                   std::chrono::seconds(_seconds));
    }
};

int scale(const std::string& _agent, uint64_t _zones, int _deletePercent) {
    Bench bench;
    zonegen::Layout layout;
    layout.zoneCount = _zones;
    layout.directory = bench.dir.path();  // BIND's checker needs it to exist
    zonegen::writeFile(bench.zonesPath, layout);
    struct stat status;
    stat(bench.zonesPath.c_str(), &status);
    const size_t expected = masterCount(layout);
    const auto start = clockType::now();
    if (!bench.start(_agent) || !bench.waitForCount(expected, 900)) {
        std::fprintf(stderr, "the service did not converge\n");
        return 1;
    }
    const double wall = secondsSince(start);
    size_t requests = 0;
    std::string byPath;
    for (const auto& entry : bench.service.requestCounts()) {
        requests += entry.second;
        byPath += " " + entry.first + "=" + std::to_string(entry.second);
    }
    const long peak = statusKib(bench.agent.pid(), "VmHWM");
    std::printf(
        "scale %llu zones (%zu masters, file %.1f MiB): converged in %.2f s, %zu requests"
        " (%s), agent peak RSS %.1f MiB = %.2f x the file\n",
        static_cast<unsigned long long>(_zones), expected,
        static_cast<double>(status.st_size) / 1048576, wall, requests, byPath.c_str() + 1,
        static_cast<double>(peak) / 1024,
        static_cast<double>(peak) * 1024 / static_cast<double>(status.st_size));
    if (_deletePercent > 0) {
        // Drop every block of a hosted zone whose index falls in the share.
        size_t kept = 0;
        const std::string text = textWithout(
            layout,
            [&](uint64_t _i, bool) { return _i % 100 < static_cast<uint64_t>(_deletePercent); },
            &kept);
        const size_t before = bench.service.requestCounts()["/api/zones/delete"];
        const std::string next = bench.zonesPath + ".next";
        testutil::writeFile(next, text);
        const auto deleteStart = clockType::now();
        rename(next.c_str(), bench.zonesPath.c_str());
        if (!bench.waitForCount(kept, 900)) {
            std::fprintf(stderr, "the deletions did not complete\n");
            return 1;
        }
        std::printf("deleting %zu of %zu zones (%d %%): %.2f s, %zu deletion requests\n",
                    expected - kept, expected, _deletePercent, secondsSince(deleteStart),
                    bench.service.requestCounts()["/api/zones/delete"] - before);
    }
    bench.agent.signal(SIGTERM);
    return bench.agent.waitExit() == 0 ? 0 : 1;
}

int endless(const std::string& _agent) {
    Bench bench;
    testutil::writeFile(bench.zonesPath, "zone \"a.example\" { type master; };\n");
    bench.service.addFault(standin::Fault::endless().on("/api/zones/agent"));
    const auto start = clockType::now();
    if (!bench.start(_agent) ||
        !bench.agent.waitForOutput("reply too large", 1, std::chrono::seconds(300))) {
        std::fprintf(stderr, "the agent did not abandon the endless reply\n");
        return 1;
    }
    std::printf("endless zone list abandoned after %.2f s; agent peak RSS %.1f MiB\n",
                secondsSince(start),
                static_cast<double>(statusKib(bench.agent.pid(), "VmHWM")) / 1024);
    bench.agent.signal(SIGTERM);
    return bench.agent.waitExit() == 0 ? 0 : 1;
}

int listed(const std::string& _agent, uint64_t _zones) {
    Bench bench;
    std::vector<std::string> names = {"a.example"};
    testutil::writeFile(bench.zonesPath, "zone \"a.example\" { type master; };\n");
    for (uint64_t i = 0; i < _zones; ++i) {
        names.push_back(zonegen::zoneName(i, 1));
    }
    if (!bench.startService()) {
        return 1;
    }
    bench.service.setZones(kToken, names);
    names = std::vector<std::string>();
    const auto start = clockType::now();
    if (!bench.start(_agent) ||
        !bench.agent.waitForOutput("Holding back", 1, std::chrono::seconds(600))) {
        std::fprintf(stderr, "the agent did not hold the deletions back\n");
        return 1;
    }
    std::printf(
        "%llu listed zones the file lacks: held back after %.2f s; agent resident %.1f MiB, "
        "peak %.1f MiB (target 200 MB)\n",
        static_cast<unsigned long long>(_zones), secondsSince(start),
        static_cast<double>(statusKib(bench.agent.pid(), "VmRSS")) / 1024,
        static_cast<double>(statusKib(bench.agent.pid(), "VmHWM")) / 1024);
    bench.agent.signal(SIGTERM);
    return bench.agent.waitExit() == 0 ? 0 : 1;
}

int checking(const std::string& _agent, uint64_t _zones) {
    Bench bench;
    zonegen::Layout layout;
    layout.zoneCount = _zones;
    layout.directory = bench.dir.path();
    zonegen::writeFile(bench.zonesPath, layout);
    const size_t expected = masterCount(layout);
    if (!bench.startService()) {
        return 1;
    }
    std::ofstream(bench.dir.file("vantrel.conf"), std::ios::app) << "UPDATE_INTERVAL=1\n";
    if (!bench.start(_agent) || !bench.waitForCount(expected, 900)) {
        std::fprintf(stderr, "the service did not converge\n");
        return 1;
    }
    // The first hosted master goes (a deletion is due, the checker starts),
    // and a second later a new zone comes.
    bool dropped = false;
    std::string text = textWithout(
        layout, [&](uint64_t, bool _slave) { return !_slave && !std::exchange(dropped, true); });
    const size_t insertsBefore = bench.service.requestCounts()["/api/zones/bulk_insert"];
    testutil::writeFile(bench.zonesPath, text);
    const auto removed = clockType::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    text += "zone \"added.example\" { type master; file \"added.db\"; };\n";
    testutil::writeFile(bench.zonesPath, text);
    const auto written = clockType::now();
    double insertion = -1;
    double longestGap = 0;
    size_t heartbeats = bench.service.requestCounts()["/api/last_seen"];
    auto lastHeartbeat = clockType::now();
    // Until the deletion went and the new zone arrived (at small sizes the
    // checker may be done before the zone is written).
    double deletion = -1;
    while ((deletion < 0 || insertion < 0) && secondsSince(removed) < 600) {
        const size_t now = bench.service.requestCounts()["/api/last_seen"];
        if (now != heartbeats && deletion < 0) {
            heartbeats = now;
            longestGap = std::max(longestGap, secondsSince(lastHeartbeat));
            lastHeartbeat = clockType::now();
        }
        if (insertion < 0 &&
            bench.service.requestCounts()["/api/zones/bulk_insert"] > insertsBefore) {
            insertion = secondsSince(written);
        }
        if (deletion < 0 && bench.service.requestCounts()["/api/zones/delete"] > 0) {
            deletion = secondsSince(removed);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf(
        "while BIND's checker judged %llu zones: a new zone arrived after %.2f s, longest gap "
        "between heartbeats %.2f s (every 3 s), the deletion went after %.2f s\n",
        static_cast<unsigned long long>(_zones), insertion, longestGap, deletion);
    bench.agent.signal(SIGTERM);
    return bench.agent.waitExit() == 0 && insertion >= 0 && deletion >= 0 ? 0 : 1;
}

int latency(const std::string& _agent, int _edits, uint64_t _zones) {
    Bench bench;
    zonegen::Layout layout;
    layout.zoneCount = _zones;
    std::string text = zonegen::generateText(layout);
    testutil::writeFile(bench.zonesPath, text);
    size_t expected = masterCount(layout);
    if (!bench.start(_agent) || !bench.waitForCount(expected, 120)) {
        std::fprintf(stderr, "the service did not converge\n");
        return 1;
    }
    std::vector<double> delays;
    const char* const styles[] = {"rewrite in place", "rename into place", "append"};
    for (int i = 0; i < _edits; ++i) {
        const std::string name = "edit" + std::to_string(i) + ".example";
        const std::string block =
            "zone \"" + name + "\" {\n\ttype master;\n\tfile \"" + name + ".db\";\n};\n";
        text += block;
        const std::string next = bench.zonesPath + ".next";
        switch (i % 3) {
            case 0:
                testutil::writeFile(bench.zonesPath, text);
                break;
            case 1:
                testutil::writeFile(next, text);
                rename(next.c_str(), bench.zonesPath.c_str());
                break;
            default:
                std::ofstream(bench.zonesPath, std::ios::app) << block;
                break;
        }
        const auto written = clockType::now();
        ++expected;
        if (!bench.waitForCount(expected, 600)) {
            std::fprintf(stderr, "edit %d (%s) did not arrive\n", i, styles[i % 3]);
            return 1;
        }
        delays.push_back(secondsSince(written));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    }
    std::sort(delays.begin(), delays.end());
    const auto at = [&](double _share) {
        return delays[std::min(delays.size() - 1, static_cast<size_t>(_share * delays.size()))];
    };
    std::printf(
        "latency over %d edits of a %llu-zone file: median %.3f s, p99 %.3f s, max %.3f s"
        " (interval 180 s)\n",
        _edits, static_cast<unsigned long long>(_zones), at(0.5), at(0.99), delays.back());
    const double before = cpuSeconds(bench.agent.pid());
    std::this_thread::sleep_for(std::chrono::seconds(60));
    std::printf("idle agent: %.3f s of CPU time in 60 s\n", cpuSeconds(bench.agent.pid()) - before);
    bench.agent.signal(SIGTERM);
    return bench.agent.waitExit() == 0 ? 0 : 1;
}

int plan(const std::string& _agent, uint64_t _zones) {
    Bench bench;
    zonegen::Layout layout;
    layout.zoneCount = _zones;
    zonegen::writeFile(bench.zonesPath, layout);
    std::vector<std::string> listed;
    for (uint64_t i = 0; i < layout.zoneCount; ++i) {
        if (!zonegen::isSlave(i, layout.seed) && i % 10 != 0) {
            listed.push_back(zonegen::zoneName(i, layout.seed));
        }
    }
    for (int i = 0; i < 1000; ++i) {
        listed.push_back("gone" + std::to_string(i) + ".example");
    }
    if (!bench.startService()) {
        return 1;
    }
    bench.service.setZones(kToken, listed);
    const auto start = clockType::now();
    const testutil::ProcessResult result =
        testutil::runProcess({_agent, "--plan", "--json", "-c", bench.dir.file("vantrel.conf")},
                             ".", std::chrono::seconds(120));
    std::printf(
        "plan of %llu zones against %zu listed: %.2f s (target 3 s), exit status %d, "
        "%zu bytes of JSON, %zu request(s)\n",
        static_cast<unsigned long long>(_zones), listed.size(), secondsSince(start), result.status,
        result.out.size(), bench.service.requestCount());
    return result.status == 2 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "scale" && argc >= 4) {
        return scale(argv[1], std::stoull(argv[3]), argc > 4 ? std::stoi(argv[4]) : 0);
    }
    if (mode == "endless") {
        return endless(argv[1]);
    }
    if (mode == "latency" && argc >= 5) {
        return latency(argv[1], std::stoi(argv[3]), std::stoull(argv[4]));
    }
    if (mode == "checking" && argc >= 4) {
        return checking(argv[1], std::stoull(argv[3]));
    }
    if (mode == "listed" && argc >= 4) {
        return listed(argv[1], std::stoull(argv[3]));
    }
    if (mode == "plan" && argc >= 4) {
        return plan(argv[1], std::stoull(argv[3]));
    }
    std::fprintf(stderr,
                 "usage: %s AGENT scale ZONES [DELETE_PERCENT] | AGENT endless | AGENT latency "
                 "EDITS ZONES | AGENT listed ZONES | AGENT checking ZONES | AGENT plan "
                 "ZONES\n",
                 argv[0]);
    return 2;
}
