// The real agent binary against the in-process HTTPS stand-in of the cloud DNS
// service, with a real zones file in a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "StandInService.h"
#include "test_util.h"

namespace {

using standin::Fault;
using testutil::countOf;
using testutil::milliseconds;
using testutil::seconds;
using testutil::waitUntil;

const char kToken[] = "e2e-token";

// A named.conf-style file with the given master zones, a slave, an options
// block and a commented-out zone.
std::string zonesText(const std::vector<std::string>& masters) {
    std::string text = "options {\n    directory \"/var/cache/bind\";\n};\n";
    text += "// zone \"commented.example\" { type master; };\n";
    for (const std::string& name : masters) {
        text += "zone \"" + name + "\" {\n    type master;\n    file \"db." + name + "\";\n};\n";
    }
    return text + "zone \"slave.example\" { type slave; masters { 192.0.2.1; }; };\n";
}

// |count| names "prefix<i>.example".
std::vector<std::string> names(const std::string& prefix, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(prefix + std::to_string(i) + ".example");
    }
    return out;
}

class AgentTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        service.addToken(kToken);
    }

    // Writes the configuration with |interval| and the |extra| lines.
    std::string writeConfig(int interval, const std::string& extra = "") {
        const std::string path = dir.file("vantrel.conf");
        testutil::writeFile(
            path, "ZONES_FILE=" + zonesPath + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                      "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                      "\nUPDATE_INTERVAL=" + std::to_string(interval) + "\n" + extra);
        chmod(path.c_str(), 0600);
        return path;
    }

    bool startAgent(int interval, const std::string& extra = "",
                    const std::vector<std::string>& env = {}, bool pendingStop = false) {
        return agent.start({VANTREL_BINARY, "-c", writeConfig(interval, extra)}, dir.path(), env,
                           pendingStop);
    }

    size_t count(const std::string& path) {
        const auto counts = service.requestCounts();
        const auto found = counts.find(path);
        return found == counts.end() ? 0 : found->second;
    }

    // Waits until the service holds exactly |expected|, in any order.
    bool serviceHolds(std::vector<std::string> expected, milliseconds timeout = seconds(20)) {
        std::sort(expected.begin(), expected.end());
        return waitUntil(
            [&] {
                std::vector<std::string> held = service.zones(kToken);
                std::sort(held.begin(), held.end());
                return held == expected;
            },
            timeout);
    }

    // Waits for the end of the first pass (its heartbeat).
    bool firstPassDone() {
        return waitUntil([&] { return count("/api/last_seen") >= 1; });
    }

    int stopAgent() {
        agent.signal(SIGTERM);
        return agent.waitExit(seconds(10));
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    standin::StandInService service{dir.path()};
    testutil::Child agent;
};

TEST_F(AgentTest, StartupReconcilesMastersAndDeletesWhatTheFileLacks) {
    service.setZones(kToken, {"stale.example", "a.example"});
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}) +
                                       "zone \"p.example\" { type primary; };\n");
    ASSERT_TRUE(startAgent(3600));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example", "p.example"}));
    ASSERT_TRUE(firstPassDone());
    std::vector<std::string> paths;
    for (const standin::RecordedRequest& r : service.requests()) {
        paths.push_back(r.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/api/zones/bulk_insert", "/api/zones/agent",
                                               "/api/zones/delete", "/api/last_seen"}));
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(AgentTest, EveryWritingStyleReachesTheServiceLongBeforeTheInterval) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(3600));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    const std::string next = zonesPath + ".next";
    const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> writers = {
        {"rewrite in place", [&](const std::string& t) { testutil::writeFile(zonesPath, t); }},
        {"rename into place",
         [&](const std::string& t) {
             testutil::writeFile(next, t);
             rename(next.c_str(), zonesPath.c_str());
         }},
        {"delete and re-create",
         [&](const std::string& t) {
             unlink(zonesPath.c_str());
             testutil::writeFile(zonesPath, t);
         }},
        {"append",
         [&](const std::string& t) {
             std::ofstream(zonesPath, std::ios::app) << t.substr(zonesText({"a.example"}).size());
         }},
    };
    std::vector<std::string> masters = {"a.example"};
    for (const auto& writer : writers) {
        SCOPED_TRACE(writer.first);
        masters.push_back(std::string("w") + std::to_string(masters.size()) + ".example");
        std::string text = zonesText({"a.example"});
        for (size_t i = 1; i < masters.size(); ++i) {
            text += "zone \"" + masters[i] + "\" { type master; };\n";
        }
        writer.second(text);
        EXPECT_TRUE(serviceHolds(masters, seconds(10)));
    }
    EXPECT_EQ(count("/api/last_seen"), 1u);
}

TEST_F(AgentTest, WithoutTheWatchChangesWaitForTheInterval) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(6, "WATCH_ZONES_FILE=FALSE\n"));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    EXPECT_FALSE(serviceHolds({"a.example", "b.example"}, seconds(2)));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example"}, seconds(15)));
}

TEST_F(AgentTest, EarlyReadingsDoNotHastenTheHeartbeat) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(firstPassDone());
    const auto first = std::chrono::steady_clock::now();
    // Every edit brings an early reading once the file has been quiet for a
    // second.
    for (int i = 0; count("/api/last_seen") < 3; ++i) {
        ASSERT_LT(i, 40);
        testutil::writeFile(zonesPath, zonesText({"a.example", "e" + std::to_string(i) + ".x"}));
        std::this_thread::sleep_for(milliseconds(1300));
    }
    EXPECT_GE(countOf(agent.output(), "Zone changes:1"), 4u);
    // Two heartbeats after the first take six interval passes.
    EXPECT_GE(std::chrono::steady_clock::now() - first, milliseconds(5500));
}

TEST_F(AgentTest, RecheckAnswerReconcilesInFull) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    service.setZones(kToken, {"intruder.example"});
    service.addFault(Fault::recheck());
    EXPECT_TRUE(serviceHolds({"a.example"}));
    EXPECT_TRUE(agent.waitForOutput("Force checked all zones."));
}

TEST_F(AgentTest, StopSignalsEndTheAgentWithinTwoSeconds) {
    struct Case {
        const char* label;
        int sig;
        bool stall;           // every request to the service stalls
        bool writeFileFirst;  // the agent is waiting for the file to be quiet
    };
    const Case cases[] = {
        {"SIGTERM while sleeping", SIGTERM, false, false},
        {"SIGINT while sleeping", SIGINT, false, false},
        {"SIGTERM while a request is stalled", SIGTERM, true, false},
        {"SIGTERM while the file is being written", SIGTERM, false, true},
    };
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        service.clearFaults();
        service.clearRequests();
        if (c.stall) {
            service.addFault(Fault::stall().always());
        }
        testutil::Child child;
        ASSERT_TRUE(child.start({VANTREL_BINARY, "-c", writeConfig(3600)}, dir.path()));
        if (c.stall) {
            ASSERT_TRUE(waitUntil([&] { return service.stalledCount() > 0; }));
        } else {
            ASSERT_TRUE(child.waitForOutput("Successfully updated lastseen!"));
        }
        if (c.writeFileFirst) {
            testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
            std::this_thread::sleep_for(milliseconds(300));
        }
        const auto sent = std::chrono::steady_clock::now();
        child.signal(c.sig);
        EXPECT_EQ(child.waitExit(seconds(10)), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, seconds(2));
    }
}

TEST_F(AgentTest, StopBeforeTheFirstPassSendsNothing) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(3600, "", {}, true));
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(AgentTest, DetachedAgentReturnsAtOnceAndKeepsWorking) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1, "DAEMONIZE=TRUE\n"));
    EXPECT_EQ(agent.waitExit(seconds(5)), 0);
    EXPECT_TRUE(serviceHolds({"a.example"}));
}

TEST_F(AgentTest, FilesThatCannotBeTrustedAtStartDeleteNothing) {
    const std::vector<std::pair<const char*, std::string>> files = {
        {"empty file", ""},
        {"cut inside a block", "zone \"a.example\" { type master; };\nzone \"b.exa"},
        {"lone quote in a hash comment",
         "# \"\nzone \"a.example\" { type master; };\nzone \"b.example\" { type master; };\n"},
        {"missing file", "-"},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        service.setZones(kToken, {"a.example", "b.example", "c.example"});
        unlink(zonesPath.c_str());
        if (file.second != "-") {
            testutil::writeFile(zonesPath, file.second);
        }
        ASSERT_TRUE(startAgent(3600));
        ASSERT_TRUE(firstPassDone());
        EXPECT_EQ(count("/api/zones/delete"), 0u);
        EXPECT_EQ(service.zones(kToken).size(), 3u);
        EXPECT_EQ(stopAgent(), 0);
        service.clearRequests();
    }
}

TEST_F(AgentTest, WriterPausingMidFileDeletesNothing) {
    const std::vector<std::string> masters = names("z", 40);
    testutil::writeFile(zonesPath, zonesText(masters));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds(masters));
    const std::string text = zonesText(masters);
    for (size_t cut : {text.size() / 3, text.size() / 2}) {
        // Truncate, write a part that ends inside a block, pause, finish.
        testutil::writeFile(zonesPath, text.substr(0, text.find("{", cut) + 3));
        std::this_thread::sleep_for(milliseconds(2500));
        testutil::writeFile(zonesPath, text);
    }
    std::this_thread::sleep_for(milliseconds(2000));
    EXPECT_EQ(count("/api/zones/delete"), 0u);
    EXPECT_TRUE(serviceHolds(masters));
}

TEST_F(AgentTest, MassDeletionIsHeldUntilTheOperatorAllowsIt) {
    // A start with a token whose service list is far larger than the file.
    service.setZones(kToken, names("old", 40));
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Holding back 40 zone deletions of 41 zones"));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 2, seconds(10)));
    EXPECT_EQ(count("/api/zones/delete"), 0u);
    EXPECT_EQ(stopAgent(), 0);
    ASSERT_TRUE(startAgent(1, "MAX_DELETE_PERCENT=100\n"));
    EXPECT_TRUE(serviceHolds({"a.example"}));
    EXPECT_EQ(stopAgent(), 0);

    // A running agent whose file briefly loses most zones, and a recheck then.
    const std::vector<std::string> masters = names("z", 30);
    testutil::writeFile(zonesPath, zonesText(masters));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds(masters));
    service.clearRequests();
    testutil::writeFile(zonesPath, zonesText({masters[0]}));
    ASSERT_TRUE(agent.waitForOutput("Holding back 29 zone deletions of 30 zones"));
    service.addFault(Fault::recheck());
    ASSERT_TRUE(agent.waitForOutput("Force checked all zones."));
    testutil::writeFile(zonesPath, zonesText(masters));
    std::this_thread::sleep_for(milliseconds(2500));
    EXPECT_EQ(count("/api/zones/delete"), 0u);
    EXPECT_TRUE(serviceHolds(masters));
}

TEST_F(AgentTest, FailedPushesConvergeAndRefusedDeletionsAreAskedAgain) {
    // A proxy's body limit below one batch of long names, and a zone the
    // service refuses to delete for a while.
    std::vector<std::string> masters;
    for (const std::string& name : names(std::string(200, 'n'), 3000)) {
        masters.push_back(name.substr(0, 250));
    }
    service.setZones(kToken, {"keep-refusing.example"});
    service.addFault(Fault::bodyLimit(600 * 1024).always());
    service.addFault(Fault::refuse("keep-refusing.example").times(3));
    testutil::writeFile(zonesPath, zonesText(masters));
    ASSERT_TRUE(startAgent(1));
    EXPECT_TRUE(serviceHolds(masters, seconds(60)));
    EXPECT_GE(count("/api/zones/delete"), 4u);
    for (const standin::RecordedRequest& r : service.requests()) {
        EXPECT_LE(r.bodyLength, 512u * 1024) << r.path;
    }
}

TEST_F(AgentTest, LetterCaseChangesNeverDeleteAZone) {
    service.setLowerCaseNames(true);
    testutil::writeFile(zonesPath, zonesText({"Mixed.Example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"mixed.example"}));
    testutil::writeFile(zonesPath, zonesText({"MIXED.example"}));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 2, seconds(10)));
    EXPECT_EQ(count("/api/zones/delete"), 0u);
    EXPECT_TRUE(serviceHolds({"mixed.example"}));
}

TEST_F(AgentTest, SighupRestartsInPlaceWithTheEditedConfiguration) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(3600));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    const std::string other = dir.file("other.conf");
    testutil::writeFile(other, zonesText({"b.example"}));
    writeConfig(3600, "ZONES_FILE=" + other + "\n");
    agent.signal(SIGHUP);
    EXPECT_TRUE(serviceHolds({"b.example"}));
    chmod(dir.file("vantrel.conf").c_str(), 0);
    rename(dir.file("vantrel.conf").c_str(), dir.file("gone.conf").c_str());
    agent.signal(SIGHUP);
    EXPECT_TRUE(agent.waitForOutput("Restart on SIGHUP refused"));
    EXPECT_EQ(countOf(agent.output(), "Vantrel 2.0.0"), 2u);
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(AgentTest, ServiceManagerHearsReadinessStatusWatchdogAndStop) {
    const std::string socketPath = dir.file("notify");
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> messages;
    const auto receive = [&](milliseconds _for) {
        const auto until = std::chrono::steady_clock::now() + _for;
        char buffer[1024];
        while (std::chrono::steady_clock::now() < until) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                messages.emplace_back(std::chrono::steady_clock::now(), std::string(buffer, n));
            }
        }
    };
    // The first insertion stalls for three seconds: the watchdog must still
    // be fed from within the transfer.
    service.addFault(Fault::stall(3000).on("/api/zones/bulk_insert"));
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(3600, "", {"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=3000000"}));
    receive(milliseconds(4500));
    agent.signal(SIGTERM);
    receive(milliseconds(1000));
    close(fd);
    std::string all;
    auto lastFeed = messages.empty() ? std::chrono::steady_clock::now() : messages[0].first;
    for (const auto& message : messages) {
        all += message.second + "\n";
        if (message.second == "WATCHDOG=1") {
            EXPECT_LT(message.first - lastFeed, milliseconds(1500));  // half the period
            lastFeed = message.first;
        }
    }
    EXPECT_GE(countOf(all, "WATCHDOG=1"), 5u);
    EXPECT_EQ(countOf(all, "READY=1"), 1u);
    EXPECT_NE(all.find("STATUS=1 zones; last pass ok; 0 deletions held; in sync"),
              std::string::npos)
        << all;
    EXPECT_LT(all.find("READY=1"), all.find("STOPPING=1"));
    EXPECT_EQ(agent.waitExit(), 0);
}

TEST_F(AgentTest, JournalLinesCarryPrioritiesAndLogLevelApplies) {
    testutil::writeFile(zonesPath, "zone \"a.example\" { type master; };\nzone \"b");
    writeConfig(3600, "LOG_LEVEL=INFO\n");
    // The journal's stream is standard output itself.
    agent.run([&] {
        struct stat status;
        fstat(1, &status);
        const std::string stream =
            std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        execl(VANTREL_BINARY, VANTREL_BINARY, "-c", dir.file("vantrel.conf").c_str(), nullptr);
        return 97;
    });
    ASSERT_TRUE(agent.waitForOutput("<3>Zone reconciliation skipped"));
    EXPECT_EQ(countOf(agent.output(), "Loading zone:"), 0u);
    EXPECT_EQ(countOf(agent.output(), "\n<3>Zones file ends inside a quoted string"), 1u);
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(AgentTest, MetricsFileIsReplacedWholeAfterEveryPass) {
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    const std::string metrics = dir.file("vantrel.prom");
    ASSERT_TRUE(startAgent(1, "METRICS_FILE=" + metrics + "\n"));
    ASSERT_TRUE(waitUntil([&] { return count("/api/last_seen") >= 2; }));
    std::map<std::string, std::string> values;
    std::istringstream lines(testutil::readFile(metrics));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            EXPECT_TRUE(line.rfind("# HELP vantrel_", 0) == 0 ||
                        line.rfind("# TYPE vantrel_", 0) == 0)
                << line;
            continue;
        }
        values[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    }
    EXPECT_EQ(values["vantrel_zones"], "2");
    EXPECT_EQ(values["vantrel_sync_pending"], "0");
    EXPECT_EQ(values["vantrel_requests_total{endpoint=\"bulk_insert\",outcome=\"ok\"}"], "1");
    EXPECT_GE(std::stol(values["vantrel_last_success_timestamp_seconds"]), time(nullptr) - 10);
    EXPECT_EQ(testutil::runProcess({"/bin/sh", "-c", "ls " + dir.path() + " | grep -c tmp"}).out,
              "0\n");
}

TEST_F(AgentTest, WatchFallsBackToPollingWhileTheFolderIsMissing) {
    zonesPath = dir.file("later/named.conf");
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Cannot watch " + dir.file("later")));
    mkdir(dir.file("later").c_str(), 0755);
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    EXPECT_TRUE(serviceHolds({"a.example"}));
    EXPECT_EQ(countOf(agent.output(), "Cannot watch"), 1u);
}

}  // namespace
