// The real agent binary against the HTTPS stand-in of the cloud DNS service,
// with a real zones file in a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>

#include "StandInService.h"
#include "agent_process.h"
#include "test_util.h"

namespace {

using std::chrono::seconds;
using testutil::countOf;
using testutil::waitUntil;

const char kToken[] = "e2e-token";

// A named.conf-style file with the given master and slave zones, a commented
// out zone and an options block.
std::string zonesText(const std::vector<std::string>& masters,
                      const std::vector<std::string>& slaves = {}) {
    std::string text = "options {\n    directory \"/var/cache/bind\";\n};\n\n";
    text += "// zone \"commented.example\" { type master; };\n";
    for (const std::string& name : masters) {
        text += "zone \"" + name + "\" {\n    type master;\n    file \"/etc/bind/db." + name +
                "\";\n};\n";
    }
    for (const std::string& name : slaves) {
        text += "zone \"" + name + "\" {\n    type slave;\n    masters { 192.0.2.1; };\n};\n";
    }
    return text;
}

class EndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        service.addToken(kToken);
    }

    // Writes the agent's configuration; |extra| lines are appended.
    std::string writeConfig(int interval, const std::string& extra = "") {
        const std::string path = dir.file("vantrel.conf");
        testutil::writeFile(
            path, "ZONES_FILE=" + zonesPath + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                      "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                      "\nUPDATE_INTERVAL=" + std::to_string(interval) + "\n" + extra);
        chmod(path.c_str(), 0600);
        return path;
    }

    bool startAgent(int interval, const std::string& extra = "", bool pendingStop = false) {
        return agent.start({"-c", writeConfig(interval, extra)}, dir.path(), pendingStop);
    }

    size_t countRequests(const std::string& method, const std::string& path) {
        size_t count = 0;
        for (const standin::RecordedRequest& r : service.requests()) {
            count += r.method == method && r.path == path ? 1 : 0;
        }
        return count;
    }

    // Waits until the service holds exactly |expected| (in any order).
    bool serviceHolds(std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        return waitUntil([&] {
            std::vector<std::string> held = service.zones(kToken);
            std::sort(held.begin(), held.end());
            return held == expected;
        });
    }

    // Stops the agent with SIGTERM and returns its exit status.
    int stopAgent() {
        agent.signal(SIGTERM);
        return agent.waitExit();
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    standin::StandInService service{dir.path()};
    testutil::AgentProcess agent;
};

TEST_F(EndToEndTest, StartupReconciliationInsertsMastersAndDeletesExtras) {
    testutil::writeFile(zonesPath, zonesText({"b.example", "a.example"}, {"s.example"}));
    service.setZones(kToken, {"a.example", "stale.example"});
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example", "b.example"})) << agent.output();
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!"));
    const std::vector<standin::RecordedRequest> log = service.requests();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].path, "/api/zones/bulk_insert");
    EXPECT_EQ(log[0].body, "&zone[0]=a.example&zone[1]=b.example");
    EXPECT_EQ(log[1].path, "/api/zones/agent");
    EXPECT_EQ(log[2].path, "/api/zones/delete");
    EXPECT_EQ(log[2].body, "zone=stale.example");
    EXPECT_EQ(log[3].path, "/api/last_seen");
    for (const standin::RecordedRequest& r : log) {
        EXPECT_EQ(r.header("Authorization"), kToken);
    }
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, ServiceFollowsTheZonesFile) {
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example", "b.example"}));
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example", "c.example"}));
    ASSERT_TRUE(serviceHolds({"a.example", "b.example", "c.example"})) << agent.output();
    testutil::writeFile(zonesPath, zonesText({"b.example", "c.example"}));
    ASSERT_TRUE(serviceHolds({"b.example", "c.example"})) << agent.output();
    EXPECT_EQ(stopAgent(), 0);
    EXPECT_EQ(countRequests("POST", "/api/zones/delete"), 1u);
}

TEST_F(EndToEndTest, HeartbeatAtStartThenEveryThirdPass) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 3, seconds(30)))
        << agent.output();
    EXPECT_EQ(stopAgent(), 0);
    // Between two heartbeats lie exactly three passes over the unchanged file.
    const std::string out = agent.output();
    const std::string beat = "Successfully updated lastseen!";
    size_t from = out.find(beat);
    for (int gap = 0; gap < 2; ++gap) {
        const size_t next = out.find(beat, from + beat.size());
        ASSERT_NE(next, std::string::npos);
        EXPECT_EQ(countOf(out.substr(from, next - from), "Deferring update."), 3u) << out;
        from = next;
    }
}

TEST_F(EndToEndTest, RecheckAnswerRunsFullReconciliation) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!"));
    service.addZone(kToken, "intruder.example");
    service.addFault(standin::Fault::recheck());
    ASSERT_TRUE(agent.waitForOutput("Force checked all zones.", 1, seconds(30))) << agent.output();
    EXPECT_TRUE(serviceHolds({"a.example"}));
    const std::string out = agent.output();
    EXPECT_NE(out.find("Force checked all zones.\nSuccessfully updated lastseen!"),
              std::string::npos);
    EXPECT_EQ(countRequests("POST", "/api/zones/bulk_insert"), 2u);
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, StopSignalsDuringSleepEndPromptly) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    for (const int sig : {SIGTERM, SIGINT}) {
        testutil::AgentProcess sleeper;
        ASSERT_TRUE(sleeper.start({"-c", writeConfig(3600)}, dir.path()));
        ASSERT_TRUE(sleeper.waitForOutput("Successfully updated lastseen!"));
        sleeper.signal(sig);
        // The interval is an hour: only a sleep cut short ends in time.
        EXPECT_EQ(sleeper.waitExit(seconds(10)), 0) << sig;
        EXPECT_EQ(sleeper.output().find("Quiting"), std::string::npos);
    }
}

TEST_F(EndToEndTest, StopBeforeFirstPassSendsNoRequest) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1, "", true));
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(service.requestCount(), 0u);
    EXPECT_NE(agent.output().find("Build date:"), std::string::npos);
}

TEST_F(EndToEndTest, DetachedAgentReturnsAtOnceAndKeepsSyncing) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1, "DAEMONIZE=TRUE\nLOG_LEVEL=ERROR\n"));
    EXPECT_EQ(agent.waitExit(seconds(10)), 0);
    ASSERT_TRUE(serviceHolds({"a.example"}));
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    ASSERT_TRUE(serviceHolds({"a.example", "b.example"}));
    const std::string out = agent.output();
    EXPECT_EQ(out.substr(out.find("Build date:")).find('\n') + out.find("Build date:") + 1,
              out.find("Daemonizing process...\n"));
    EXPECT_EQ(out.substr(out.find("Daemonizing process...\n")), "Daemonizing process...\n");
    agent.killGroup();
}

TEST_F(EndToEndTest, EmptyZonesFileAtStartNeverWipesTheService) {
    // As an in-place rewrite looks between its truncation and its writing.
    testutil::writeFile(zonesPath, "");
    service.setZones(kToken, {"a.example", "b.example"});
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Zone reconciliation skipped", 2));
    EXPECT_EQ(countRequests("POST", "/api/zones/delete"), 0u);
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    EXPECT_TRUE(serviceHolds({"a.example"})) << agent.output();
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, MissingZonesFileNeverWipesTheService) {
    service.setZones(kToken, {"a.example", "b.example"});
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Error reading file!", 3));
    EXPECT_EQ(countRequests("POST", "/api/zones/delete"), 0u);
    EXPECT_EQ(countRequests("POST", "/api/zones/bulk_insert"), 0u);
    EXPECT_NE(agent.output().find("Zone reconciliation skipped"), std::string::npos);
    // Once the file can be read the reconciliation runs as usual.
    testutil::writeFile(zonesPath, zonesText({"a.example", "c.example"}));
    EXPECT_TRUE(serviceHolds({"a.example", "c.example"})) << agent.output();
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, FailedInsertionIsRepairedAtNextPass) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example"}));
    service.addFault(standin::Fault::serverError().on("/api/zones/bulk_insert"));
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    ASSERT_TRUE(agent.waitForOutput("Can't parse string as JSON"));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example"})) << agent.output();
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, RefusedDeletionIsRetriedAndNeverReinserted) {
    testutil::writeFile(zonesPath, zonesText({"a.example", "gone.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"a.example", "gone.example"}));
    service.addFault(standin::Fault::refuse("gone.example").on("/api/zones/delete").times(3));
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(serviceHolds({"a.example"})) << agent.output();
    EXPECT_EQ(countOf(agent.output(), "Could not delete zone."), 3u);
    // A later reconciliation must not bring the deleted zone back.
    service.addFault(standin::Fault::recheck());
    ASSERT_TRUE(agent.waitForOutput("Force checked all zones.", 1, seconds(30)));
    EXPECT_EQ(service.zones(kToken), std::vector<std::string>{"a.example"});
    const std::vector<standin::RecordedRequest> log = service.requests();
    ASSERT_EQ(log.front().path, "/api/zones/bulk_insert");
    for (size_t i = 1; i < log.size(); ++i) {
        if (log[i].path == "/api/zones/bulk_insert") {
            EXPECT_EQ(log[i].body.find("gone.example"), std::string::npos) << log[i].body;
        }
    }
    EXPECT_EQ(stopAgent(), 0);
}

TEST_F(EndToEndTest, LetterCaseChangesNeverDeleteAZone) {
    // A service that stores names in lower case, as DNS services may.
    service.setLowerCaseNames(true);
    testutil::writeFile(zonesPath, zonesText({"C.Example", "d.example"}));
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(serviceHolds({"c.example", "d.example"}));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!"));
    const size_t before = service.requestCount();
    testutil::writeFile(zonesPath, zonesText({"c.example", "D.EXAMPLE"}));
    ASSERT_TRUE(agent.waitForOutput("Zone changes:0"));
    service.addFault(standin::Fault::recheck());
    ASSERT_TRUE(agent.waitForOutput("Force checked all zones.", 1, seconds(30)));
    EXPECT_EQ(stopAgent(), 0);
    EXPECT_EQ(countRequests("POST", "/api/zones/delete"), 0u);
    EXPECT_TRUE(serviceHolds({"c.example", "d.example"}));
    // The rename itself sent nothing: only heartbeats and the reconciliation.
    const std::vector<standin::RecordedRequest> log = service.requests();
    for (size_t i = before; i < log.size(); ++i) {
        EXPECT_NE(log[i].path, "/api/zones/insert");
        if (log[i].path == "/api/zones/bulk_insert") {
            // The reconciliation sends the names as first read.
            EXPECT_EQ(log[i].body, "&zone[0]=C.Example&zone[1]=d.example");
        }
    }
}

TEST_F(EndToEndTest, IntervalBelowOneIsTakenAsOneSecond) {
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    ASSERT_TRUE(startAgent(0));
    ASSERT_TRUE(agent.waitForOutput("Deferring update.", 2));
    EXPECT_EQ(countOf(agent.output(), "UPDATE_INTERVAL is 0; using 1 second between passes."), 1u);
    // One pass a second, not a spin: the heartbeat comes every third pass.
    EXPECT_LE(countOf(agent.output(), "Deferring update."), 3u);
    EXPECT_EQ(stopAgent(), 0);
}

}  // namespace
