// The API client against the in-process stand-in service (real HTTPS over
// 127.0.0.1, certificate verification on): what it sends and when.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ConfigFileParser.h"
#include "StandInService.h"
#include "serverConnector.h"
#include "test_util.h"

namespace {

using standin::Fault;
using standin::RecordedRequest;
using Lines = std::vector<std::string>;

const char* const TOKEN = "agent token/42+=";

// A master zone record, flagged new ('n') or deleted ('d') as asked.
zoneData zone(const std::string& _name, char _flag = ' ') {
    zoneData z(_name);
    z.setZoneType("master");
    z.setNewZone(_flag == 'n');
    z.setDeletedZone(_flag == 'd');
    return z;
}

class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.addToken(TOKEN);
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        configure();
    }

    // A new connector, configured through a real configuration file; its
    // deletions go out at once unless |_extra| sets DELETE_GRACE.
    void configure(const std::string& _extra = "") {
        testutil::writeFile(dir.file("agent.conf"),
                            "SERVER_HOSTNAME=" + service.hostAndPort() + "\nTOKEN=" + TOKEN +
                                "\nCA_FILE=" + service.caFile() + "\nDELETE_GRACE=0\n" + _extra);
        ConfigFileParser config(dir.file("agent.conf"));
        api = std::make_unique<serverConnector>(&config, &zones);
        api->setSyncBlocked("");
        api->getSession().setTimeouts(5, 5, 10);
    }

    // Runs |_run| against a service that has forgotten its requests and
    // misbehaves with |_faults|; returns what |_run| logged.
    std::string logOf(const std::vector<Fault>& _faults, const std::function<void()>& _run) {
        service.clearRequests();
        service.clearFaults();
        for (const Fault& fault : _faults) {
            service.addFault(fault);
        }
        testing::internal::CaptureStdout();
        _run();
        return testing::internal::GetCapturedStdout();
    }

    // Every request's path after "/api/zones/" and body, a line each.
    std::string sent() const {
        std::string result;
        for (const RecordedRequest& r : service.requests()) {
            result += r.path.substr(11) + (r.body.empty() ? "" : " " + r.body) + "\n";
        }
        return result;
    }

    testutil::TempDir dir;
    standin::StandInService service{dir.path()};
    std::vector<zoneData> zones;
    std::unique_ptr<serverConnector> api;
};

TEST_F(ConnectorTest, EachOperationSendsItsMethodPathBodyAndOnlyTheAuthorizationHeader) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] {
             api->insertBulkZones({"a.example", "b&c=d"});
         },
         "POST /api/zones/bulk_insert &zone[0]=a.example&zone[1]=b%26c%3Dd"},
        {[&] { api->insertBulkZones({}); }, "POST /api/zones/bulk_insert "},
        {[&] { api->insertZone("a.example"); }, "POST /api/zones/insert zone=a.example"},
        {[&] { api->deleteZone("a b"); }, "POST /api/zones/delete zone=a%20b"},
        {[&] { api->zoneExists("a.example"); }, "POST /api/zones/exists zone=a.example"},
        {[&] { api->updateLastSeen(); }, "GET /api/last_seen "}};
    for (const auto& [action, request] : cases) {
        logOf({}, action);
        ASSERT_EQ(service.requestCount(), 1u) << request;
        const RecordedRequest r = service.requests()[0];
        EXPECT_EQ(r.method + " " + r.path + " " + r.body, request);
        // Host, Accept, Authorization (once), with a body Content-Type and
        // Content-Length too, and nothing else.
        EXPECT_EQ(r.header("Authorization"), TOKEN) << request;
        EXPECT_EQ(r.headers.size(), r.method == "POST" ? 5u : 3u) << request;
    }
}

TEST_F(ConnectorTest, EveryReplyKindGivesTheOperationsLinesCauseAndResult) {
    // By verdict: accepted, refused, not JSON, lost (always: libcurl retries a
    // reused connection once).
    const std::vector<std::vector<Fault>> replies = {
        {Fault::reply(500, "/* c */ {\"message\":\"ok\",\"n\":[1]}")},
        {Fault::reply(200, R"({"message":"ok "})"), Fault::reply(200, "null"), Fault::jsonArray()},
        {Fault::emptyBody(), Fault::reply(200, std::string(3000, '[') + std::string(3000, ']'))},
        {Fault::reset().always()}};
    const std::string parse = "Can't parse string as JSON";
    const std::string seen = "Could not send last seen timestamp";
    const std::string notInserted = "Could not insert zones.";
    const std::vector<std::pair<std::string, Lines>> operations = {
        {"bulk_insert",
         {"Successfully inserted zones.",
          "The service refused zone a.example; it is sent again in 1 pass.", parse, notInserted}},
        {"delete", {"Successfully deleted zone.", "Could not delete zone.", parse, parse}},
        {"last_seen", {"Successfully updated lastseen!", seen, parse + "\n" + seen, seen + ":"}}};
    for (const auto& [name, lines] : operations) {
        for (size_t verdict = 0; verdict < replies.size(); ++verdict) {
            for (const Fault& fault : replies[verdict]) {
                SCOPED_TRACE(name + " / " + fault.body);
                configure();  // no refusal remembered
                bool result = false;
                std::string text = logOf({fault}, [&, &name = name] {
                    result = name == "delete"      ? api->deleteZone("a.example")
                             : name == "last_seen" ? (api->updateLastSeen(), true)
                                                   : api->insertBulkZones({"a.example"});
                });
                if (verdict > 0) {
                    // The failure lines are followed by one line naming the cause.
                    const size_t cause = text.rfind("\n" + name + ": ");
                    ASSERT_NE(cause, std::string::npos) << text;
                    text.erase(cause + 1);
                }
                EXPECT_EQ(text, lines[verdict] + "\n");
                EXPECT_TRUE(name == "last_seen" || result == (verdict == 0));
            }
        }
    }
    logOf({Fault::reply(200, R"({"message":"Zone found"})")},
          [&] { EXPECT_TRUE(api->zoneExists("a.example")); });
    EXPECT_EQ(logOf({Fault::serverError()}, [&] { EXPECT_FALSE(api->zoneExists("a.example")); }),
              "Error parsing the string\n");
}

TEST_F(ConnectorTest, BatchesHoldAtMost1000ZonesAnd512KiBAndAFailedOneEndsTheInsertion) {
    // Each request's zone fields, which count from zone[0] again.
    const auto batches = [&] {
        std::vector<size_t> counts;
        for (const RecordedRequest& r : service.requests()) {
            counts.push_back(r.zoneFieldCount);
            EXPECT_EQ(r.formValues("zone[0]").size(), r.zoneFieldCount > 0 ? 1u : 0u);
        }
        return counts;
    };
    const std::string longName = std::string(600, 'x') + ".example";
    const std::vector<std::tuple<size_t, std::string, std::vector<size_t>>> cases = {
        {999, "", {999}},
        {1000, "", {1000}},
        {1001, "", {1000, 1}},
        {2000, longName, {841, 840, 319}}};
    for (const auto& [count, suffix, expected] : cases) {
        std::vector<std::string> list;
        for (size_t i = 0; i < count; ++i) {
            list.push_back("z" + std::to_string(i) + suffix);
        }
        logOf({}, [&] { EXPECT_TRUE(api->insertBulkZones(list)); });
        EXPECT_EQ(batches(), expected);  // the long names: each batch within a name of 512 KiB
    }

    // A failed batch ends the insertion; the next reconciliation sends only
    // what the service is not known to hold.
    service.setZones(TOKEN, {});
    for (int i = 0; i < 2500; ++i) {
        zones.push_back(zone("z" + std::to_string(10000 + i) + ".example", 'n'));
    }
    // First batch accepted (without storing), second refused: the insertion
    // stops there.
    logOf({Fault::reply(200, R"({"message":"ok"})").on("/api/zones/bulk_insert"),
           Fault::serverError().on("/api/zones/bulk_insert")},
          [&] { api->commitChanges(2500, 0); });
    EXPECT_EQ(service.requests().size(), 2u);
    EXPECT_TRUE(api->isSyncPending());
    logOf({}, [&] { api->syncZones(); });
    // The 1,500 unsent zones, the list, then the 1,000 the service lacks.
    EXPECT_EQ(batches(), (std::vector<size_t>{1000, 500, 0, 1000}));
    EXPECT_EQ(service.zones(TOKEN).size(), 2500u);
    EXPECT_FALSE(api->isSyncPending());
    // After a recheck, against a struggling service that lost them, the
    // failing insertion goes out once, not again for what the list lacks.
    service.setZones(TOKEN, {});
    std::for_each(zones.begin(), zones.end(), [](zoneData& _z) { _z.setAtService(false); });
    logOf({Fault::serverError().on("/api/zones/bulk_insert").always()}, [&] { api->syncZones(); });
    EXPECT_EQ(batches(), (std::vector<size_t>{1000, 0}));
}

// A zone the service refuses (its message, or a 4xx reply) is found by
// halving the refused batch; the others arrive in the same pass, within
// 2 x refused x log2(1000) requests more than the batches. Each refused zone
// is named once and waits 1, 2, 4, ... passes before it is sent again.
TEST_F(ConnectorTest, ARefusedBatchIsHalvedDownToTheRefusedZonesWhichWaitTheirOwnBackoff) {
    const std::vector<std::tuple<int, Fault, size_t>> cases = {
        {40000, Fault::refuse("z100.example"), 1},
        {40000, Fault::reply(413, "<html>too large</html>").forZone("z100.example"), 1},
        {100, Fault::refuse(), 100}};  // every zone
    for (const auto& [count, refusal, refused] : cases) {
        configure();
        service.setZones(TOKEN, {});
        zones.clear();
        for (int i = 0; i < count; ++i) {
            zones.push_back(zone("z" + std::to_string(i) + ".example", 'n'));
        }
        const std::vector<Fault> faults = {Fault(refusal).on("/api/zones/bulk_insert").always()};
        std::string text = logOf(faults, [&, n = count] { api->commitChanges(n, 0); });
        EXPECT_EQ(service.zones(TOKEN).size(), count - refused);
        const size_t requests = service.requestCounts()["/api/zones/bulk_insert"];
        EXPECT_LE(requests, (count + 999) / 1000 + 2 * refused * 10);
        EXPECT_EQ(testutil::countOf(text, "The service refused zone "), refused);
        EXPECT_FALSE(api->isSyncPending());
        text = logOf(faults, [&] {
            for (int pass = 1; pass <= 8; ++pass) {
                api->beginPass();
                api->retryRefusedZones();
                api->endPass();
            }
        });
        // Sent again at passes 1, 3 and 7, refused again, not named again.
        EXPECT_EQ(service.requestCounts()["/api/zones/bulk_insert"], 3 * (2 * refused - 1));
        EXPECT_EQ(testutil::countOf(text, "The service refused zone "), 0u);
    }
}

TEST_F(ConnectorTest, DeletionWalkAsksEachZoneOnceAndReconciliationKeepsOwedOnesIgnoringCase) {
    const std::vector<std::pair<std::vector<Fault>, std::string>> cases = {
        {{}, "keep "},
        {{Fault::refuse("b").always()}, "b keep "},
        {{Fault::refuse("a").always(), Fault::refuse("c").always()}, "a c keep "}};
    for (const auto& [faults, left] : cases) {
        zones = {zone("a", 'd'), zone("b", 'd'), zone("c", 'd'), zone("keep")};
        logOf(faults, [&] { api->commitChanges(0, 3); });
        EXPECT_EQ(sent(), "delete zone=a\ndelete zone=b\ndelete zone=c\n");
        std::string names;
        for (const zoneData& z : zones) {
            names += z.getZoneName() + " ";
        }
        EXPECT_EQ(names, left);
    }
    // A reconciliation ignores letter case, never reinserts owed deletions
    // and waits for a trusted reading.
    zones = {zone("Mixed.Example"), zone("owed.example", 'd')};
    service.setZones(TOKEN, {"mixed.example", "OWED.example", "stale.example"});
    logOf({}, [&] { api->syncZones(); });
    EXPECT_EQ(sent(), "bulk_insert &zone[0]=Mixed.Example\nagent\ndelete zone=stale.example\n");
    api->setSyncBlocked("Skipped: untrusted.");
    EXPECT_EQ(logOf({}, [&] { api->syncZones(); }), "Skipped: untrusted.\n");
    EXPECT_EQ(sent(), "");
    EXPECT_TRUE(api->isSyncPending());
}

TEST_F(ConnectorTest, DeletionGuardHoldsMoreThanTenAndMoreThanTheShare) {
    // Known zones, deletions, MAX_DELETE_PERCENT (empty: the default), held.
    const std::vector<std::tuple<size_t, size_t, std::string, bool>> cases = {
        {11, 10, "", false},  {12, 11, "", true},     {22, 11, "", false}, {21, 11, "", true},
        {100, 11, "0", true}, {12, 11, "100", false}, {12, 11, "x", true}};
    for (const auto& [known, deleted, percent, held] : cases) {
        SCOPED_TRACE(std::to_string(deleted) + " of " + std::to_string(known) + " at " + percent);
        configure(percent.empty() ? "" : "MAX_DELETE_PERCENT=" + percent + "\n");
        zones.clear();
        for (size_t i = 0; i < known; ++i) {
            zones.push_back(zone("z" + std::to_string(100 + i), i < deleted ? 'd' : ' '));
        }
        const std::string text = logOf({}, [&, n = deleted] { api->commitChanges(0, n); });
        EXPECT_EQ(service.requests().size(), held ? 0u : deleted);
        EXPECT_EQ(text.rfind("Holding back", 0) == 0, held);
    }
}

TEST_F(ConnectorTest, ARepairBacksOffWhileInsertionsFailAndComesWithinTwoPassesAfterAnOutage) {
    configure("UPDATE_INTERVAL=1\n");
    zones = {zone("a.example")};
    // Interval passes as the loop runs them, with a heartbeat every pass.
    int pass = 0;
    const auto run = [&](int _passes) {
        for (const int last = pass + _passes; pass < last; ++pass) {
            api->beginPass();
            if (pass == 0 || api->isRepairDue()) {
                api->syncZones();
            }
            api->updateLastSeen();
            api->endPass();
        }
    };
    // Heartbeats and the repair's own list fetch succeed while the insertion
    // keeps failing: none of them cuts the repair's wait short.
    logOf({Fault::serverError().on("/api/zones/bulk_insert").always()}, [&] { run(25); });
    EXPECT_LE(service.requestCounts()["/api/zones/agent"], 7u);
    EXPECT_LE(service.requestCounts()["/api/zones/bulk_insert"], 14u);
    // After an outage the first success brings the repair at the next pass.
    logOf({Fault::reply(503, R"({"message":"down"})").always()}, [&] { run(6); });
    logOf({}, [&] { run(2); });
    EXPECT_FALSE(api->isSyncPending());
    EXPECT_EQ(service.zones(TOKEN), (std::vector<std::string>{"a.example"}));
}

}  // namespace
