// The real agent binary against the in-process HTTPS stand-in of the cloud DNS
// service, with a real zones file in a temporary folder.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "ControlSocket.h"
#include "StandInService.h"
#include "test_util.h"

namespace {

using standin::Fault;
using testutil::milliseconds;
using testutil::seconds;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using testutil::zonesText;

const char kToken[] = "e2e-token";

class AgentTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        service.addToken(kToken);
    }

    // Writes the configuration with |interval| and the |extra| lines; deletions
    // go out at once unless |extra| sets DELETE_GRACE.
    void writeConfig(int interval, const std::string& extra = "") {
        testutil::writeFile(
            configPath, "ZONES_FILE=" + zonesPath + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                            "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                            "\nUPDATE_INTERVAL=" + std::to_string(interval) +
                            "\nNAMED_CONF=" + zonesPath + "\nDELETE_GRACE=0\n" + extra);
    }

    // Starts the agent (ending the one before) with a fresh configuration and
    // the temporary folder as its runtime folder; with |pendingStop| a stop
    // is pending at its start.
    bool startAgent(int interval, const std::string& extra = "", bool pendingStop = false) {
        writeConfig(interval, extra);
        return agent.start({VANTREL_BINARY, "-c", configPath}, dir.path(),
                           {"RUNTIME_DIRECTORY=" + dir.path()}, pendingStop);
    }

    // Runs the agent binary with |args| and the same runtime folder to its
    // end; its standard error goes to |err|.
    testutil::ProcessResult command(Lines args, std::string& err) {
        args.insert(args.begin(), {"/bin/sh", "-c", "RUNTIME_DIRECTORY=$0 exec \"$@\" 2>$0/err",
                                   dir.path(), VANTREL_BINARY});
        const testutil::ProcessResult result = testutil::runProcess(args, dir.path());
        err = testutil::readFile(dir.file("err"));
        return result;
    }

    // Writes the zones file with |masters| and starts the agent.
    bool startWith(const Lines& masters, int interval, const std::string& extra = "") {
        testutil::writeFile(zonesPath, zonesText(masters));
        return startAgent(interval, extra);
    }

    size_t count(const std::string& path) { return service.requestCounts()[path]; }

    // Waits until the service holds exactly |expected|, in any order.
    bool serviceHolds(Lines expected, milliseconds timeout = seconds(20)) {
        std::sort(expected.begin(), expected.end());
        const auto held = [&] {
            Lines zones = service.zones(kToken);
            std::sort(zones.begin(), zones.end());
            return zones == expected;
        };
        return testutil::waitUntil(held, timeout);
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
    const std::string configPath = dir.file("vantrel.conf");
    standin::StandInService service{dir.path()};
    testutil::Child agent;
};

// The service folds names to lower case: the zone the file spells "A.example"
// is not deleted. The metrics file is replaced whole (no temporary file left)
// after every pass.
TEST_F(AgentTest, StartupReconcilesInOrderAndEveryPassRewritesTheMetricsFile) {
    service.setLowerCaseNames(true);
    service.setZones(kToken, {"stale.example", "a.example"});
    ASSERT_TRUE(
        startWith({"A.example", "b.example"}, 1, "METRICS_FILE=" + dir.file("v.prom") + "\n"));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example"}));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 2));
    std::string paths;
    for (const standin::RecordedRequest& r : service.requests()) {
        paths += r.path.substr(5) + " ";  // after "/api/"
    }
    // The deletion waits for BIND's verdict, which brings an early pass.
    EXPECT_EQ(paths, "zones/bulk_insert zones/agent last_seen zones/agent zones/delete last_seen ");
    const std::string text = "\n" + testutil::readFile(dir.file("v.prom"));
    for (const char* line :
         {"\nvantrel_zones 2\n", "\nvantrel_sync_pending 0\n",
          "\nvantrel_requests_total{endpoint=\"bulk_insert\",outcome=\"ok\"} 1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    EXPECT_FALSE(std::regex_search(text, std::regex("\n#(?! (HELP|TYPE) vantrel_)"))) << text;
    std::smatch last;
    ASSERT_TRUE(std::regex_search(
        text, last, std::regex("\nvantrel_last_success_timestamp_seconds ([0-9]+)\n")));
    EXPECT_GE(std::stol(last[1]), time(nullptr) - 10);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
    // A recheck the service asks for reconciles in full: a zone added behind
    // the agent's back goes.
    service.addZone(kToken, "intruder.example");
    service.addFault(Fault::recheck());
    EXPECT_TRUE(agent.waitForOutput("Force checked all zones."));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example"}));
}

// Early readings are passes without the heartbeat: five of them do not bring
// one. The watch covers every file the reading read: the last edit is of an
// included file in another folder.
TEST_F(AgentTest, EveryWritingStyleArrivesLongBeforeTheIntervalWithoutHasteningTheHeartbeat) {
    Lines masters = {"a.example"};
    mkdir(dir.file("local").c_str(), 0755);
    testutil::writeFile(dir.file("local/zones.conf"), "");
    std::string text = zonesText(masters) + "include \"" + dir.file("local/zones.conf") + "\";\n";
    testutil::writeFile(zonesPath, text);
    ASSERT_TRUE(startAgent(3600, "FOLLOW_INCLUDES=TRUE\n") && serviceHolds(masters));
    const std::pair<const char*, const char*> writers[] = {
        {"rewrite in place", "cat named.conf.next >named.conf"},
        {"rename into place", "mv named.conf.next named.conf"},
        {"delete and re-create", "rm named.conf && cat named.conf.next >named.conf"},
        {"append", "tail -c +$(($(wc -c <named.conf) + 1)) named.conf.next >>named.conf"},
        {"included file", "tail -n 1 named.conf.next >local/zones.conf"}};
    for (const auto& [label, command] : writers) {
        SCOPED_TRACE(label);
        masters.push_back("w" + std::to_string(masters.size()) + ".example");
        text += "zone \"" + masters.back() + "\" { type master; };\n";
        testutil::writeFile(zonesPath + ".next", text);
        ASSERT_EQ(testutil::runProcess({"/bin/sh", "-c", command}, dir.path()).status, 0);
        EXPECT_TRUE(serviceHolds(masters, seconds(10)));
    }
    EXPECT_EQ(count("/api/last_seen"), 1u);
}

TEST_F(AgentTest, DetachedAgentWithoutTheWatchReturnsAtOnceAndWaitsForTheInterval) {
    ASSERT_TRUE(startWith({"a.example"}, 6, "WATCH_ZONES_FILE=FALSE\nDAEMONIZE=TRUE\n"));
    EXPECT_EQ(agent.waitExit(seconds(5)), 0);
    ASSERT_TRUE(serviceHolds({"a.example"}));
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
    EXPECT_FALSE(serviceHolds({"a.example", "b.example"}, seconds(2)));
    EXPECT_TRUE(serviceHolds({"a.example", "b.example"}, seconds(15)));
}

TEST_F(AgentTest, StopSignalsEndTheAgentWithinTwoSecondsAndBeforeTheFirstPass) {
    enum When { Sleeping, Stalled, Writing, Starting };
    const std::vector<std::tuple<const char*, int, When>> cases = {
        {"SIGINT while sleeping", SIGINT, Sleeping},
        {"SIGTERM while waiting for the file to be quiet", SIGTERM, Writing},
        {"SIGTERM pending at start: no request", 0, Starting},      // 0: none sent
        {"SIGTERM while a request is stalled", SIGTERM, Stalled}};  // last: stalls all
    for (const auto& [label, sig, when] : cases) {
        SCOPED_TRACE(label);
        testutil::writeFile(zonesPath, zonesText({"a.example"}));
        service.clearRequests();
        if (when == Stalled) {
            service.addFault(Fault::stall().always());
        }
        ASSERT_TRUE(startAgent(3600, "", when == Starting));
        const auto stalled = [&] { return service.stalledCount() > 0; };
        ASSERT_TRUE(when == Starting || (when == Stalled ? testutil::waitUntil(stalled)
                                                         : agent.waitForOutput("lastseen!")));
        if (when == Writing) {
            testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}));
            std::this_thread::sleep_for(milliseconds(300));
        }
        const auto sent = Clock::now();
        agent.signal(sig);
        EXPECT_EQ(agent.waitExit(seconds(10)), 0);
        EXPECT_LT(Clock::now() - sent, seconds(2));
        EXPECT_EQ(service.requestCount() == 0, when == Starting);
    }
    // SIGPIPE (kill -PIPE, or a write to a reader that went away) is ignored.
    service.clearFaults();
    ASSERT_TRUE(startAgent(3600) && agent.waitForOutput("lastseen!"));
    agent.signal(SIGPIPE);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(seconds(10)), 0);
}

TEST_F(AgentTest, FilesThatCannotBeTrustedAtStartDeleteNothing) {
    const std::vector<std::pair<const char*, std::string>> files = {
        {"empty file", ""},
        {"cut inside a block", "zone \"a.example\" { type master; };\nzone \"b.exa"},
        {"missing file", "-"}};
    for (const auto& [label, text] : files) {
        SCOPED_TRACE(label);
        service.setZones(kToken, {"a.example", "b.example", "c.example"});
        unlink(zonesPath.c_str());
        if (text != "-") {
            testutil::writeFile(zonesPath, text);
        }
        service.clearRequests();
        ASSERT_TRUE(startAgent(3600));
        ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!"));
        EXPECT_EQ(service.zones(kToken).size(), 3u);
    }
}

// A writer pausing past the quiet period between blocks before the last
// eight zones (a reading misses them for 2.5 s) deletes nothing. A listed
// zone the file lacks at start and a zone removed for good are deleted once
// missing for DELETE_GRACE seconds and not before, the agent waking for it
// (the interval is an hour); the metrics count it meanwhile.
TEST_F(AgentTest, OnlyAZoneMissingForTheWholeGracePeriodIsDeleted) {
    const Lines masters = testutil::names("z", 40);
    const std::string text = zonesText(masters);
    const std::string metrics = dir.file("v.prom");
    service.setZones(kToken, {"stale.example"});
    auto since = Clock::now();
    ASSERT_TRUE(startWith(masters, 3600, "DELETE_GRACE=5\nMETRICS_FILE=" + metrics + "\n") &&
                serviceHolds(masters));
    EXPECT_GE(Clock::now() - since, seconds(5));
    const size_t cut = text.find("zone", text.size() * 4 / 5);
    std::this_thread::sleep_for(milliseconds(1500));
    std::ofstream out(zonesPath, std::ios::trunc);
    out << text.substr(0, cut) << std::flush;
    std::this_thread::sleep_for(milliseconds(2500));
    out << text.substr(cut) << std::flush;
    std::this_thread::sleep_for(milliseconds(5000));
    EXPECT_EQ(count("/api/zones/delete"), 1u);
    const Lines kept(masters.begin() + 1, masters.end());
    since = Clock::now();
    testutil::writeFile(zonesPath, zonesText(kept));
    EXPECT_TRUE(testutil::waitUntil([&] {
        return testutil::readFile(metrics).find("\nvantrel_deletions_waiting 1\n") !=
               std::string::npos;
    }));
    EXPECT_TRUE(serviceHolds(kept));
    EXPECT_GE(Clock::now() - since, seconds(5));
}

// The plan on a table of states, as text and as JSON: one request each,
// nothing changed. The file also holds a secondary and an excluded zone.
TEST_F(AgentTest, PlanShowsWhatAStartWouldChangeWithoutChangingAnything) {
    testutil::writeFile(zonesPath, zonesText({"a.example", "b.example"}) +
                                       "zone \"t.example\" { type master; file \"t\"; };\n");
    testutil::writeFile(dir.file("typo.conf"), "options { max-stale-ttl: 43200; };\n");
    Lines many = testutil::names("old", 40);
    many.push_back("a.example");
    // Listed zones, configuration, exit status, counts (insert, delete,
    // waiting, held) and a line of the text.
    const std::vector<std::tuple<Lines, std::string, int, std::vector<int>, std::string>> states = {
        {{"A.example", "b.example"}, "", 0, {0, 0, 0, 0}, "skip t.example (excluded by"},
        {{"a.example"}, "", 2, {1, 0, 0, 0}, "insert b.example"},
        {{"a.example", "b.example", "c.example"}, "", 2, {0, 1, 0, 0}, "delete c.example"},
        {{"a.example", "b.example", "c"}, "DELETE_GRACE=60\n", 2, {0, 0, 1, 0}, "wait c"},
        {many, "", 2, {1, 0, 0, 40}, "Held back: 40 (40 zone deletions of 41 zones (97 %"},
        {{"a.example", "b.example", "c"},
         "NAMED_CONF=" + dir.file("typo.conf") + "\n",
         2,
         {0, 0, 0, 1},
         "Held back: 1 (BIND refuses its configuration: " + dir.file("typo.conf")}};
    for (const auto& [listed, extra, status, counts, line] : states) {
        SCOPED_TRACE(line);
        service.setZones(kToken, listed);
        service.clearRequests();
        writeConfig(3600, "EXCLUDE_ZONES=t.example\n" + extra);
        std::string err;
        const testutil::ProcessResult text = command({"--plan", "-c", configPath}, err);
        const testutil::ProcessResult json = command({"--plan", "--json", "-c", configPath}, err);
        Json::Value plan;
        ASSERT_TRUE(Json::Reader().parse(json.out, plan)) << json.out << err;
        EXPECT_EQ(std::make_pair(text.status, json.status), std::make_pair(status, status));
        EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
        const char* const fields[] = {"insert", "delete", "waiting", "held"};
        const char* const headings[] = {"\nInsert: ", "\nDelete: ", " s: ", "\nHeld back: "};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(plan[fields[i]].size(), static_cast<Json::ArrayIndex>(counts[i])) << i;
            EXPECT_NE(text.out.find(headings[i] + std::to_string(counts[i])), std::string::npos);
        }
        EXPECT_EQ(plan["in_sync"].asBool(), status == 0);
        EXPECT_EQ(plan["not_mirrored"][1]["reason"].asString(),
                  "excluded by EXCLUDE_ZONES pattern \"t.example\"");
        EXPECT_EQ(service.requestCounts(),
                  (std::map<std::string, size_t>{{"/api/zones/agent", 2}}));
        EXPECT_EQ(service.zones(kToken), listed);
    }
    // A failing or pausing service, then a zones file cut short: status 1,
    // nothing on output, the reason on standard error.
    const Fault faults[] = {Fault::serverError(), Fault::retryAfter(429, "60")};
    for (int i = 0; i <= 2; ++i) {
        if (i < 2) {
            service.addFault(faults[i]);
        } else {
            testutil::writeFile(zonesPath, "zone \"a.example\" { type master;\n");
        }
        std::string err;
        const testutil::ProcessResult plan = command({"--plan", "--json", "-c", configPath}, err);
        EXPECT_EQ(plan.status, 1) << i;
        EXPECT_EQ(plan.out, "");
        EXPECT_NE(err.find("vantrel --plan: "), std::string::npos) << err;
    }
}

// 30 listed, 5 of them in the file: the other 25 are held; an allowance of
// 10 sends exactly 10, and the other 15 are weighed again against the 20
// then listed.
TEST_F(AgentTest, MassDeletionIsHeldUntilTheOperatorAllowsIt) {
    const Lines masters = testutil::names("z", 5);
    Lines listed = testutil::names("old", 25);
    listed.insert(listed.end(), masters.begin(), masters.end());
    service.setZones(kToken, listed);
    ASSERT_TRUE(startWith(masters, 1));
    ASSERT_TRUE(agent.waitForOutput("Holding back 25 zone deletions of 30 zones"));
    ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!", 2, seconds(10)));
    // Bad counts and an unprivileged user allow nothing; then exactly ten.
    std::string err;
    for (const char* bad : {"-1", "ten", "99999999999"}) {
        EXPECT_EQ(command({"--allow-deletions", bad}, err).status, 1);
        EXPECT_NE(err.find("needs a whole number from 1 to"), std::string::npos) << err;
    }
    EXPECT_EQ(testutil::runAsNobody([] { return requestAllowDeletions("10"); }), 1);
    EXPECT_EQ(count("/api/zones/delete"), 0u);
    const testutil::ProcessResult allowed = command({"--allow-deletions", "10"}, err);
    EXPECT_EQ(allowed.status, 0) << err;
    EXPECT_EQ(allowed.out, "The agent holds 25 deletions back; it sends at most 10 of them now.\n");
    ASSERT_TRUE(agent.waitForOutput("Deletions allowed by the operator: 10; sent: 10."));
    EXPECT_TRUE(agent.waitForOutput("Holding back 15 zone deletions of 20 zones"));
    EXPECT_EQ(count("/api/zones/delete"), 10u);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(command({"--allow-deletions", "10"}, err).status, 1);
    EXPECT_NE(err.find("No running agent answers at " + dir.file("control")), std::string::npos);
}

// BIND's own checker before every deletion: while it refuses the
// configuration BIND loads (an option typo), a removed zone stays at the
// service, BIND's message is logged once and the metrics say so; fixed, the
// deletion goes. With the check off it goes at once, as it did without one.
TEST_F(AgentTest, NoDeletionWhileBindsCheckerRefusesItsConfiguration) {
    const std::string bind = dir.file("bind.conf");
    const std::string typo = "options { max-stale-ttl: 43200; };\ninclude \"" + zonesPath + "\";\n";
    const std::string metrics = dir.file("v.prom");
    for (const std::string checker : {"", "NAMED_CHECKCONF=none\n"}) {
        testutil::writeFile(bind, typo);
        service.setZones(kToken, {"a.example", "b.example"});
        ASSERT_TRUE(startWith({"a.example", "b.example"}, 2,
                              checker + "NAMED_CONF=" + bind + "\nMETRICS_FILE=" + metrics + "\n"));
        ASSERT_TRUE(agent.waitForOutput("Successfully updated lastseen!"));
        testutil::writeFile(zonesPath, zonesText({"a.example"}));
        if (checker.empty()) {
            EXPECT_TRUE(
                agent.waitForOutput("Holding back 1 zone deletions: BIND refuses its "
                                    "configuration: " +
                                    bind + ":1: "));
            EXPECT_TRUE(testutil::waitUntil([&] {
                return testutil::readFile(metrics).find("\nvantrel_bind_config_ok 0\n") !=
                       std::string::npos;
            }));
            EXPECT_FALSE(serviceHolds({"a.example"}, seconds(3)));
            EXPECT_EQ(testutil::countOf(agent.output(), "Holding back"), 1u);
            testutil::writeFile(bind, "include \"" + zonesPath + "\";\n");
        }
        EXPECT_TRUE(serviceHolds({"a.example"}));
    }
}

TEST_F(AgentTest, WatchFallsBackToPollingWhileTheFolderIsMissing) {
    zonesPath = dir.file("later/named.conf");
    ASSERT_TRUE(startAgent(1));
    ASSERT_TRUE(agent.waitForOutput("Cannot watch " + dir.file("later")));
    mkdir(dir.file("later").c_str(), 0755);
    testutil::writeFile(zonesPath, zonesText({"a.example"}));
    EXPECT_TRUE(serviceHolds({"a.example"}));
    EXPECT_EQ(testutil::countOf(agent.output(), "Cannot watch"), 1u);
}

}  // namespace
