// The API client against the in-process stand-in service: real HTTPS over
// 127.0.0.1 with certificate verification on, trusting the stand-in's
// generated CA through the CA_FILE setting.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "StandInService.h"
#include "TestCertificates.h"
#include "serverConnector.h"
#include "test_util.h"

namespace {

using standin::Fault;
using standin::RecordedRequest;

const char* const TOKEN = "agent token/42+=";

std::vector<std::string> splitLines(const std::string& _text) {
    std::vector<std::string> lines;
    std::istringstream in(_text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

zoneData zone(const std::string& _name, bool _new = false, bool _deleted = false) {
    zoneData z;
    z.setZoneName(_name);
    z.setZoneType("master");
    z.setNewZone(_new);
    z.setDeletedZone(_deleted);
    return z;
}

class ServerConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = std::make_unique<standin::StandInService>(dir.path());
        service->addToken(TOKEN);
        std::string error;
        ASSERT_TRUE(service->start(0, error)) << error;
        api = makeConnector(service->caFile());
    }

    void TearDown() override {
        api.reset();
        service->stop();
    }

    // A connector configured through a real configuration file.
    std::unique_ptr<serverConnector> makeConnector(const std::string& _caFile, bool _share = true,
                                                   const std::string& _token = TOKEN) {
        const std::string path = dir.file("agent-" + std::to_string(configs++) + ".conf");
        testutil::writeFile(path, "SERVER_HOSTNAME=" + service->hostAndPort() +
                                      "\nTOKEN=" + _token + "\nCA_FILE=" + _caFile + "\n");
        ConfigFileParser config(path);
        auto connector = std::make_unique<serverConnector>(&config, &zones, _share);
        connector->setZonesReady(true);
        return connector;
    }

    // Runs |_action| and returns the log lines it wrote.
    template <typename Action>
    std::vector<std::string> logOf(Action _action) {
        testing::internal::CaptureStdout();
        _action();
        return splitLines(testing::internal::GetCapturedStdout());
    }

    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const RecordedRequest& request : service->requests()) {
            result.push_back(request.path + (request.body.empty() ? "" : " " + request.body));
        }
        return result;
    }

    testutil::TempDir dir;
    std::unique_ptr<standin::StandInService> service;
    std::vector<zoneData> zones;
    std::unique_ptr<serverConnector> api;
    int configs = 0;
};

TEST_F(ServerConnectorTest, EachOperationSendsItsMethodPathBodyAndOnlyTheAuthorizationHeader) {
    struct Case {
        const char* label;
        std::function<void(serverConnector&)> call;
        const char* method;
        const char* path;
        const char* body;
    };
    const std::vector<Case> cases = {
        {"bulk",
         [](serverConnector& c) {
             c.insertBulkZones({"a.example", "b.example"});
         },
         "POST", "/api/zones/bulk_insert", "&zone[0]=a.example&zone[1]=b.example"},
        {"bulk empty", [](serverConnector& c) { c.insertBulkZones({}); }, "POST",
         "/api/zones/bulk_insert", ""},
        {"insert", [](serverConnector& c) { c.insertZone("a.example"); }, "POST",
         "/api/zones/insert", "zone=a.example"},
        {"delete", [](serverConnector& c) { c.deleteZone("a.example"); }, "POST",
         "/api/zones/delete", "zone=a.example"},
        {"exists", [](serverConnector& c) { c.zoneExists("a.example"); }, "POST",
         "/api/zones/exists", "zone=a.example"},
        {"last seen", [](serverConnector& c) { c.updateLastSeen(); }, "GET", "/api/last_seen", ""},
        {"list", [](serverConnector& c) { c.deleteNotFoundZones(); }, "GET", "/api/zones/agent",
         ""},
    };
    zones = {zone("a.example"), zone("b.example")};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        service->clearRequests();
        logOf([&] { c.call(*api); });
        const auto requests = service->requests();
        ASSERT_EQ(requests.size(), 1u);
        const RecordedRequest& request = requests[0];
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.path, c.path);
        EXPECT_EQ(request.body, c.body);
        EXPECT_EQ(request.headerCount("Authorization"), 1u);
        EXPECT_EQ(request.header("Authorization"), TOKEN);
        std::set<std::string> names;
        for (const auto& header : request.headers) {
            names.insert(header.first);
        }
        std::set<std::string> expected = {"Accept", "Authorization", "Host"};
        if (std::string(c.method) == "POST") {
            expected.insert({"Content-Length", "Content-Type"});
            EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
            EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
        }
        EXPECT_EQ(names, expected);
    }
}

// What an operation logs for each category of reply.
enum Verdict { OK, REFUSED, UNPARSABLE, LOST };

TEST_F(ServerConnectorTest, EveryReplyKindGivesTheOperationsMessageAndResult) {
    struct Reply {
        const char* label;
        Fault fault;
        Verdict verdict;
    };
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    const std::vector<Reply> replies = {
        {"ok", Fault::reply(200, R"({"message":"ok"})"), OK},
        {"ok with more members", Fault::reply(200, R"({"zone":"x","message":"ok","n":[1]})"), OK},
        {"ok with HTTP 500", Fault::reply(500, R"({"message":"ok"})"), OK},
        {"ok with a comment", Fault::reply(200, "/* c */ {\"message\":\"ok\"}"), OK},
        {"OK", Fault::reply(200, R"({"message":"OK"})"), REFUSED},
        {"leading blank", Fault::reply(200, R"({"message":" ok"})"), REFUSED},
        {"trailing blank", Fault::reply(200, R"({"message":"ok "})"), REFUSED},
        {"no message", Fault::reply(200, "{}"), REFUSED},
        {"null", Fault::reply(200, "null"), REFUSED},
        {"refused", Fault::refuse(), REFUSED},
        {"number message", Fault::reply(200, R"({"message":5})"), REFUSED},
        {"object message", Fault::reply(200, R"({"message":{"text":"ok"}})"), REFUSED},
        {"array message", Fault::reply(200, R"({"message":["ok"]})"), REFUSED},
        {"array", Fault::jsonArray(), REFUSED},
        {"bare string", Fault::jsonString(), REFUSED},
        {"bare number", Fault::reply(200, "42"), REFUSED},
        {"bare boolean", Fault::reply(200, "true"), REFUSED},
        {"HTML 500", Fault::serverError(), UNPARSABLE},
        {"empty", Fault::emptyBody(), UNPARSABLE},
        {"cut short", Fault::malformedJson(), UNPARSABLE},
        {"nested too deep", Fault::reply(200, deep), UNPARSABLE},
        // Always: libcurl retries once on a fresh connection when a reused
        // one dies before answering.
        {"reset", Fault::reset().always(), LOST},
    };
    struct Operation {
        const char* label;
        std::function<bool(serverConnector&)> call;
        std::vector<std::string> lines[4];  // by Verdict
        bool succeeds;
    };
    const std::string parse = "Can't parse string as JSON";
    const std::vector<Operation> operations = {
        {"bulk",
         [](serverConnector& c) { return c.insertBulkZones({"a.example"}); },
         {{"Successfully inserted zones."},
          {"Could not insert zones."},
          {parse},
          {"Could not insert zones."}},
         true},
        {"insert",
         [](serverConnector& c) { return c.insertZone("a.example"); },
         {{"Successfully inserted zone."}, {"Could not insert zone."}, {parse}, {parse}},
         true},
        {"delete",
         [](serverConnector& c) { return c.deleteZone("a.example"); },
         {{"Successfully deleted zone."}, {"Could not delete zone."}, {parse}, {parse}},
         true},
        {"last seen",
         [](serverConnector& c) {
             c.updateLastSeen();
             return true;
         },
         {{"Successfully updated lastseen!"},
          {"Could not send last seen timestamp"},
          {parse, "Could not send last seen timestamp"},
          {"Could not send last seen timestamp:"}},
         true},
    };
    for (const Operation& operation : operations) {
        for (const Reply& reply : replies) {
            SCOPED_TRACE(std::string(operation.label) + " / " + reply.label);
            service->clearFaults();
            service->addFault(reply.fault);
            bool result = false;
            const auto lines = logOf([&] { result = operation.call(*api); });
            EXPECT_EQ(lines, operation.lines[reply.verdict]);
            if (std::string(operation.label) != "last seen") {
                EXPECT_EQ(result, reply.verdict == OK);
            }
        }
    }
}

TEST_F(ServerConnectorTest, ZoneExistsIsTrueOnlyForZoneFoundAndNeverLogs) {
    struct Case {
        Fault fault;
        bool exists;
        std::string output;
    };
    const std::vector<Case> cases = {
        {Fault::reply(200, R"({"message":"Zone found"})"), true, ""},
        {Fault::reply(200, R"({"message":"Zone not found"})"), false, ""},
        {Fault::reply(200, R"({"message":"zone found"})"), false, ""},
        {Fault::reply(200, R"({"message":"ok"})"), false, ""},
        {Fault::reply(200, R"({"message":{"Zone found":1}})"), false, ""},
        {Fault::jsonArray(), false, ""},
        {Fault::serverError(), false, "Error parsing the string\n"},
        {Fault::reply(200, R"({"message":"Zone found", )"), false, "Error parsing the string\n"},
        {Fault::reset().always(), false, "Error parsing the string\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.body);
        service->clearFaults();
        service->addFault(c.fault);
        testing::internal::CaptureStdout();
        EXPECT_EQ(api->zoneExists("a.example"), c.exists);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    }
    service->clearFaults();
    service->addZone(TOKEN, "held.example");
    EXPECT_TRUE(api->zoneExists("held.example"));
    EXPECT_FALSE(api->zoneExists("other.example"));
}

TEST_F(ServerConnectorTest, DeletionWalkRestartsAfterEachSuccessAndKeepsRefusedZones) {
    struct Case {
        const char* label;
        std::vector<Fault> faults;
        std::vector<std::string> requests;
        std::vector<std::string> left;
    };
    const std::vector<Case> cases = {
        {"all accepted",
         {},
         {"zone=a.example", "zone=b.example", "zone=c.example"},
         {"keep.example"}},
        {"second refused every time",
         {Fault::refuse("b.example").always()},
         {"zone=a.example", "zone=b.example", "zone=c.example", "zone=b.example"},
         {"b.example", "keep.example"}},
        {"first refused once",
         {Fault::refuse("a.example")},
         {"zone=a.example", "zone=b.example", "zone=a.example", "zone=c.example"},
         {"keep.example"}},
        {"first two refused every time",
         {Fault::refuse("a.example").always(), Fault::refuse("b.example").always()},
         {"zone=a.example", "zone=b.example", "zone=c.example", "zone=a.example", "zone=b.example"},
         {"a.example", "b.example", "keep.example"}},
        {"all refused",
         {Fault::refuse().always()},
         {"zone=a.example", "zone=b.example", "zone=c.example"},
         {"a.example", "b.example", "c.example", "keep.example"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        zones = {zone("a.example", false, true), zone("b.example", false, true),
                 zone("c.example", false, true), zone("keep.example")};
        service->clearFaults();
        service->clearRequests();
        for (const Fault& fault : c.faults) {
            service->addFault(fault);
        }
        logOf([&] { api->commitChanges(0, 3); });
        std::vector<std::string> bodies;
        for (const RecordedRequest& request : service->requests()) {
            EXPECT_EQ(request.path, "/api/zones/delete");
            bodies.push_back(request.body);
        }
        EXPECT_EQ(bodies, c.requests);
        std::vector<std::string> left;
        for (const zoneData& z : zones) {
            left.push_back(z.getZoneName());
        }
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(ServerConnectorTest, CommitChangesInsertsNewZonesBeforeDeletingAndSkipsZeroCounts) {
    zones = {zone("gone.example", false, true), zone("n1.example", true), zone("n2.example", true),
             zone("old.example")};
    logOf([&] { api->commitChanges(0, 0); });
    logOf([&] { api->commitChanges(-1, -3); });
    EXPECT_EQ(service->requestCount(), 0u);
    const auto lines = logOf([&] { api->commitChanges(2, 1); });
    EXPECT_EQ(paths(), (std::vector<std::string>{
                           "/api/zones/bulk_insert &zone[0]=n1.example&zone[1]=n2.example",
                           "/api/zones/delete zone=gone.example"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"Successfully inserted zones.",
                                               "Successfully deleted zone."}));
    EXPECT_EQ(zones.size(), 3u);
    logOf([&] { api->insertLogEntry("x.example", atDELETE); });
    EXPECT_EQ(service->requestCount(), 2u);
}

TEST_F(ServerConnectorTest, ZoneNamesArePercentEncodedAsFormValues) {
    const std::vector<std::string> names = {"a&b=c.example", "sp ace+plus%.example",
                                            "Ordinary-Name_1.example", "caf\xc3\xa9.example", ""};
    logOf([&] { api->insertBulkZones(names); });
    logOf([&] { api->deleteZone("x&zone=y.example"); });
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body,
              "&zone[0]=a%26b%3Dc.example&zone[1]=sp%20ace%2Bplus%25.example"
              "&zone[2]=Ordinary-Name_1.example&zone[3]=caf%C3%A9.example&zone[4]=");
    standin::Fields expected;
    for (size_t i = 0; i < names.size(); ++i) {
        expected.emplace_back("zone[" + std::to_string(i) + "]", names[i]);
    }
    EXPECT_EQ(requests[0].form, expected);
    EXPECT_EQ(requests[1].body, "zone=x%26zone%3Dy.example");
    EXPECT_EQ(requests[1].formValues("zone"), std::vector<std::string>{"x&zone=y.example"});
}

TEST_F(ServerConnectorTest, HeartbeatRecheckReconcilesBeforeItsTwoLines) {
    zones = {zone("a.example")};
    service->addZone(TOKEN, "stale.example");
    service->addFault(Fault::recheck());
    const auto lines = logOf([&] { api->updateLastSeen(); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Successfully inserted zones.", "Successfully deleted zone.",
                         "Force checked all zones.", "Successfully updated lastseen!"}));
    EXPECT_EQ(paths(), (std::vector<std::string>{
                           "/api/last_seen", "/api/zones/bulk_insert &zone[0]=a.example",
                           "/api/zones/agent", "/api/zones/delete zone=stale.example"}));
    EXPECT_EQ(service->zones(TOKEN), std::vector<std::string>{"a.example"});

    service->clearRequests();
    service->addFault(Fault::reply(200, R"({"message":"RECHECK"})"));
    EXPECT_EQ(logOf([&] { api->updateLastSeen(); }),
              std::vector<std::string>{"Could not send last seen timestamp"});
    EXPECT_EQ(service->requestCount(), 1u);
}

TEST_F(ServerConnectorTest, ReconciliationWaitsUntilTheZonesFileHasBeenRead) {
    const std::string skipped =
        "Zone reconciliation skipped: the zones file has not been read successfully yet.";
    service->addZone(TOKEN, "precious.example");
    api->setZonesReady(false);
    EXPECT_EQ(logOf([&] { api->syncZones(); }), std::vector<std::string>{skipped});
    EXPECT_EQ(service->requestCount(), 0u);
    EXPECT_TRUE(api->isSyncPending());

    service->addFault(Fault::recheck());
    EXPECT_EQ(logOf([&] { api->updateLastSeen(); }),
              (std::vector<std::string>{skipped, "Force checked all zones.",
                                        "Successfully updated lastseen!"}));
    EXPECT_EQ(paths(), std::vector<std::string>{"/api/last_seen"});
    EXPECT_EQ(service->zones(TOKEN), std::vector<std::string>{"precious.example"});

    // After a successful reading an empty vector is the truth.
    service->clearRequests();
    api->setZonesReady(true);
    logOf([&] { api->syncZones(); });
    EXPECT_EQ(paths(), (std::vector<std::string>{"/api/zones/bulk_insert", "/api/zones/agent",
                                                 "/api/zones/delete zone=precious.example"}));
    EXPECT_TRUE(service->zones(TOKEN).empty());
    EXPECT_FALSE(api->isSyncPending());
}

TEST_F(ServerConnectorTest, ReconciliationComparesNamesWithoutAsciiLetterCase) {
    struct Case {
        const char* label;
        std::vector<std::string> listed;
        std::vector<zoneData> local;
        std::vector<std::string> deletions;
    };
    const std::vector<Case> cases = {
        {"case differs", {"c.example"}, {zone("C.Example")}, {}},
        {"duplicates absent locally",
         {"gone.example", "keep.example", "gone.example"},
         {zone("KEEP.example")},
         {"zone=gone.example", "zone=gone.example"}},
        {"non-ASCII compared exactly",
         {"\xc3\xa9.example"},
         {zone("\xc3\x89.example")},
         {"zone=%C3%A9.example"}},
        {"pending deletion counts as local",
         {"old.example"},
         {zone("old.example", false, true)},
         {}},
        {"listed name sent as read", {"MiXeD.example"}, {}, {"zone=MiXeD.example"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        zones = c.local;
        service->setZones(TOKEN, {});
        service->clearFaults();
        service->addFault(Fault::reply(200,
                                       [&] {
                                           std::string list = "[";
                                           for (const std::string& name : c.listed) {
                                               list += (list.size() > 1 ? "," : "") +
                                                       std::string("{\"zone\":\"") + name + "\"}";
                                           }
                                           return list + "]";
                                       }())
                              .on("/api/zones/agent"));
        service->clearRequests();
        logOf([&] { api->deleteNotFoundZones(); });
        std::vector<std::string> deletions;
        for (const RecordedRequest& request : service->requests()) {
            if (request.path == "/api/zones/delete") {
                deletions.push_back(request.body);
            }
        }
        EXPECT_EQ(deletions, c.deletions);
    }
}

TEST_F(ServerConnectorTest, SyncKeepsZonesTheServiceStoresInLowerCase) {
    service->setLowerCaseNames(true);
    zones = {zone("C.Example"), zone("pending.example", false, true)};
    logOf([&] { api->syncZones(); });
    EXPECT_EQ(paths(), (std::vector<std::string>{"/api/zones/bulk_insert &zone[0]=C.Example",
                                                 "/api/zones/agent"}));
    EXPECT_EQ(service->zones(TOKEN), std::vector<std::string>{"c.example"});
}

TEST_F(ServerConnectorTest, ZoneListsOfUnexpectedShapeDeleteNothing) {
    const std::string fetch = "Could not fetch agent's zones.";
    const std::string parse = "Can't parse string as JSON";
    struct Case {
        Fault fault;
        std::vector<std::string> lines;
        std::vector<std::string> deletions;
    };
    const std::vector<Case> cases = {
        {Fault::reply(200, R"({"message":"error"})"), {fetch}, {}},
        {Fault::reply(200, R"([{"zone":"x.example"}, 5])"), {fetch}, {}},
        {Fault::reply(200, R"([{"zone":"x.example"}, "y.example"])"), {fetch}, {}},
        {Fault::reply(200, R"([{"zone":"x.example"}, ["y"]])"), {fetch}, {}},
        {Fault::reply(200, R"([{"zone":{"name":"x"}}])"), {fetch}, {}},
        {Fault::reply(200, R"([{"zone":["x"]}])"), {fetch}, {}},
        {Fault::serverError(), {parse, fetch}, {}},
        {Fault::emptyBody(), {parse, fetch}, {}},
        {Fault::reset().always(), {fetch}, {}},
        {Fault::reply(200, "null"), {}, {}},
        {Fault::reply(200, "{}"), {}, {}},
        {Fault::reply(200, "[]"), {}, {}},
        {Fault::jsonString(), {}, {}},
        {Fault::reply(200, "7"), {}, {}},
        {Fault::reply(200, R"([null, {}, {"zone":null}])"),
         {"Could not delete zone.", "Could not delete zone.", "Could not delete zone."},
         {"zone=", "zone=", "zone="}},
        {Fault::reply(200, R"([{"zone":5}, {"zone":true}])"),
         {"Successfully deleted zone.", "Successfully deleted zone."},
         {"zone=5", "zone=true"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.body);
        service->clearFaults();
        service->clearRequests();
        service->addFault(Fault(c.fault).on("/api/zones/agent"));
        EXPECT_EQ(logOf([&] { api->deleteNotFoundZones(); }), c.lines);
        std::vector<std::string> deletions;
        for (const RecordedRequest& request : service->requests()) {
            if (request.path == "/api/zones/delete") {
                deletions.push_back(request.body);
            }
        }
        EXPECT_EQ(deletions, c.deletions);
    }
}

TEST_F(ServerConnectorTest, FailedPushesLeaveTheSyncPendingUntilASyncSucceeds) {
    struct Case {
        const char* label;
        Fault fault;
        std::function<void(serverConnector&)> call;
        bool pending;
    };
    const std::vector<Case> cases = {
        {"bulk refused", Fault::refuse(), [](serverConnector& c) { c.insertBulkZones({"a"}); },
         true},
        {"bulk lost", Fault::reset().always(), [](serverConnector& c) { c.insertBulkZones({"a"}); },
         true},
        {"delete refused", Fault::refuse(), [](serverConnector& c) { c.deleteZone("a"); }, true},
        {"insert refused", Fault::refuse(), [](serverConnector& c) { c.insertZone("a"); }, true},
        {"list unparsable", Fault::serverError().on("/api/zones/agent"),
         [](serverConnector& c) { c.syncZones(); }, true},
        {"sync with a refused deletion", Fault::refuse("stale.example"),
         [](serverConnector& c) { c.syncZones(); }, true},
        {"heartbeat failure", Fault::serverError(), [](serverConnector& c) { c.updateLastSeen(); },
         false},
        {"bulk accepted", Fault::reply(200, R"({"message":"ok"})"),
         [](serverConnector& c) { c.insertBulkZones({"a"}); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        service->setZones(TOKEN, {"stale.example"});
        service->clearFaults();
        auto connector = makeConnector(service->caFile());
        service->addFault(c.fault);
        logOf([&] { c.call(*connector); });
        EXPECT_EQ(connector->isSyncPending(), c.pending);
        service->clearFaults();
        logOf([&] { connector->syncZones(); });
        EXPECT_FALSE(connector->isSyncPending());
    }
}

TEST_F(ServerConnectorTest, TransferFailuresOfUntrustedOrUnreachableServicesTakeTheFailurePath) {
    testutil::TempDir otherCa;
    std::string error;
    ASSERT_TRUE(standin::generateUnrelatedCa(otherCa.path(), error)) << error;
    struct Case {
        const char* label;
        std::string caFile;
    };
    const std::vector<Case> cases = {{"unrelated CA", otherCa.file("ca.pem")},
                                     {"system store", ""},
                                     {"missing CA file", dir.file("no-such-ca.pem")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto connector = makeConnector(c.caFile);
        EXPECT_EQ(logOf([&] { EXPECT_FALSE(connector->insertBulkZones({"a.example"})); }),
                  std::vector<std::string>{"Could not insert zones."});
        EXPECT_EQ(logOf([&] { connector->updateLastSeen(); }),
                  std::vector<std::string>{"Could not send last seen timestamp:"});
        EXPECT_EQ(logOf([&] { EXPECT_FALSE(connector->deleteZone("a.example")); }),
                  std::vector<std::string>{"Can't parse string as JSON"});
        EXPECT_EQ(logOf([&] { connector->deleteNotFoundZones(); }),
                  std::vector<std::string>{"Could not fetch agent's zones."});
    }
    EXPECT_EQ(service->requestCount(), 0u);
}

TEST_F(ServerConnectorTest, AnUnknownTokenIsRefusedByTheService) {
    auto connector = makeConnector(service->caFile(), true, "wrong");
    EXPECT_EQ(logOf([&] { EXPECT_FALSE(connector->deleteZone("a.example")); }),
              std::vector<std::string>{"Could not delete zone."});
    EXPECT_EQ(service->requests().at(0).header("Authorization"), "wrong");
}

TEST_F(ServerConnectorTest, AStalledReplyFailsWithinTheLowSpeedBound) {
    service->addFault(Fault::stall().always());
    api->setTimeouts(5, 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(logOf([&] { api->updateLastSeen(); }),
              std::vector<std::string>{"Could not send last seen timestamp:"});
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    service->releaseStalled();
}

TEST_F(ServerConnectorTest, AHandshakeThatNeverCompletesFailsWithinTheConnectBound) {
    // A listening socket that is never accepted: TCP connects through the
    // backlog, but the TLS handshake gets no answer.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string path = dir.file("silent.conf");
    testutil::writeFile(path,
                        "SERVER_HOSTNAME=127.0.0.1:" + std::to_string(ntohs(address.sin_port)) +
                            "\nTOKEN=t\nCA_FILE=" + service->caFile() + "\n");
    ConfigFileParser config(path);
    serverConnector connector(&config, &zones);
    connector.setTimeouts(1, 60);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(logOf([&] { connector.insertBulkZones({"a.example"}); }),
              std::vector<std::string>{"Could not insert zones."});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    close(listener);
}

TEST_F(ServerConnectorTest, SharingReusesOneConnectionAndWithoutItEachRequestConnects) {
    for (const bool share : {true, false}) {
        SCOPED_TRACE(share ? "shared" : "not shared");
        auto connector = makeConnector(service->caFile(), share);
        EXPECT_EQ(connector->isSharingConnections(), share);
        service->clearRequests();
        logOf([&] {
            connector->updateLastSeen();
            connector->deleteZone("a.example");
            connector->updateLastSeen();
        });
        std::set<int> ports;
        for (const RecordedRequest& request : service->requests()) {
            ports.insert(request.clientPort);
        }
        EXPECT_EQ(ports.size(), share ? 1u : 3u);
    }
}

TEST_F(ServerConnectorTest, LocalhostMatchesTheCertificatesNameOverIpv4) {
    const std::string path = dir.file("localhost.conf");
    testutil::writeFile(path, "SERVER_HOSTNAME=localhost:" + std::to_string(service->port()) +
                                  "\nTOKEN=" + TOKEN + "\nCA_FILE=" + service->caFile() + "\n");
    ConfigFileParser config(path);
    serverConnector connector(&config, &zones);
    EXPECT_EQ(logOf([&] { connector.updateLastSeen(); }),
              std::vector<std::string>{"Successfully updated lastseen!"});
}

}  // namespace
