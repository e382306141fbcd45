// The API client against the in-process stand-in service (real HTTPS over
// 127.0.0.1, certificate verification on), and its pure reply readers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <set>

#include "ConfigFileParser.h"
#include "StandInService.h"
#include "TestCertificates.h"
#include "serverConnector.h"
#include "test_util.h"

namespace {

using standin::Fault;
using standin::RecordedRequest;

const char* const TOKEN = "agent token/42+=";

zoneData zone(const std::string& _name, bool _new = false, bool _deleted = false) {
    zoneData z(_name);
    z.setZoneType("master");
    z.setNewZone(_new);
    z.setDeletedZone(_deleted);
    return z;
}

class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.addToken(TOKEN);
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        api = makeConnector(service.caFile());
    }

    // A connector configured through a real configuration file.
    std::unique_ptr<serverConnector> makeConnector(const std::string& _caFile,
                                                   const std::string& _extra = "") {
        const std::string path = dir.file("agent.conf");
        testutil::writeFile(path, "SERVER_HOSTNAME=" + service.hostAndPort() + "\nTOKEN=" + TOKEN +
                                      "\nCA_FILE=" + _caFile + "\n" + _extra);
        ConfigFileParser config(path);
        auto connector = std::make_unique<serverConnector>(&config, &zones);
        connector->setSyncBlocked("");
        connector->setTimeouts(5, 5, 10);
        return connector;
    }

    // Runs |_action| and returns what it logged.
    std::string logOf(const std::function<void()>& _action) {
        testing::internal::CaptureStdout();
        _action();
        return testing::internal::GetCapturedStdout();
    }

    // The last line |_action| logged.
    std::string lastLine(const std::function<void()>& _action) {
        const std::string text = logOf(_action);
        const size_t start = text.rfind('\n', text.size() - 2);
        return text.substr(start == std::string::npos ? 0 : start + 1, text.size() - start - 2);
    }

    // One interval pass of the loop with its repair, when due or |_force|d.
    bool pass(bool _force = false) {
        bool repaired = false;
        logOf([&] {
            api->beginPass();
            if (_force || api->isRepairDue()) {
                api->syncZones();
                repaired = true;
            }
            api->endPass();
        });
        return repaired;
    }

    // Every request's path and body, in order.
    std::vector<std::string> sent() const {
        std::vector<std::string> result;
        for (const RecordedRequest& r : service.requests()) {
            result.push_back(r.path + (r.body.empty() ? "" : " " + r.body));
        }
        return result;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const zoneData& z : zones) {
            result.push_back(z.getZoneName());
        }
        return result;
    }

    testutil::TempDir dir;
    standin::StandInService service{dir.path()};
    std::vector<zoneData> zones;
    std::unique_ptr<serverConnector> api;
};

TEST_F(ConnectorTest, EachOperationSendsItsMethodPathBodyAndOnlyTheAuthorizationHeader) {
    const std::vector<std::tuple<std::function<void()>, const char*, const char*>> cases = {
        {[&] {
             api->insertBulkZones({"a.example", "b&c=d"});
         },
         "POST /api/zones/bulk_insert", "&zone[0]=a.example&zone[1]=b%26c%3Dd"},
        {[&] { api->insertBulkZones({}); }, "POST /api/zones/bulk_insert", ""},
        {[&] { api->insertZone("a.example"); }, "POST /api/zones/insert", "zone=a.example"},
        {[&] { api->deleteZone("a b"); }, "POST /api/zones/delete", "zone=a%20b"},
        {[&] { api->zoneExists("a.example"); }, "POST /api/zones/exists", "zone=a.example"},
        {[&] { api->updateLastSeen(); }, "GET /api/last_seen", ""},
        {[&] { api->deleteNotFoundZones(); }, "GET /api/zones/agent", ""},
    };
    zones = {zone("a.example"), zone("b&c=d")};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::get<1>(c));
        service.clearRequests();
        logOf(std::get<0>(c));
        const auto requests = service.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method + " " + requests[0].path, std::get<1>(c));
        EXPECT_EQ(requests[0].body, std::get<2>(c));
        EXPECT_EQ(requests[0].headerCount("Authorization"), 1u);
        EXPECT_EQ(requests[0].header("Authorization"), TOKEN);
        std::set<std::string> headers;
        for (const auto& header : requests[0].headers) {
            headers.insert(header.first);
        }
        const bool post = requests[0].method == "POST";
        EXPECT_EQ(headers.size(), post ? 5u : 3u);  // Host, Accept (+ Content-Type, -Length)
    }
}

TEST_F(ConnectorTest, EveryReplyKindGivesTheOperationsLinesCauseAndResult) {
    enum Verdict { OK, REFUSED, UNPARSABLE, LOST };
    const std::vector<std::pair<Fault, Verdict>> replies = {
        {Fault::reply(200, R"({"message":"ok","n":[1]})"), OK},
        {Fault::reply(500, R"({"message":"ok"})"), OK},
        {Fault::reply(200, "/* c */ {\"message\":\"ok\"}"), OK},
        {Fault::reply(200, R"({"message":"OK"})"), REFUSED},
        {Fault::reply(200, R"({"message":"ok "})"), REFUSED},
        {Fault::reply(200, "null"), REFUSED},
        {Fault::reply(200, R"({"message":{"text":"ok"}})"), REFUSED},
        {Fault::jsonArray(), REFUSED},
        {Fault::serverError(), UNPARSABLE},
        {Fault::emptyBody(), UNPARSABLE},
        {Fault::malformedJson(), UNPARSABLE},
        {Fault::reply(200, std::string(3000, '[') + std::string(3000, ']')), UNPARSABLE},
        // Always: libcurl retries once when a reused connection dies.
        {Fault::reset().always(), LOST},
    };
    const std::string parse = "Can't parse string as JSON";
    const std::vector<std::tuple<const char*, std::function<bool()>, std::vector<std::string>>>
        operations = {
            {"bulk_insert",
             [&] { return api->insertBulkZones({"a.example"}); },
             {"Successfully inserted zones.", "Could not insert zones.", parse,
              "Could not insert zones."}},
            {"delete",
             [&] { return api->deleteZone("a.example"); },
             {"Successfully deleted zone.", "Could not delete zone.", parse, parse}},
            {"last_seen",
             [&] {
                 api->updateLastSeen();
                 return true;
             },
             {"Successfully updated lastseen!", "Could not send last seen timestamp",
              parse + "\nCould not send last seen timestamp",
              "Could not send last seen timestamp:"}},
        };
    for (const auto& operation : operations) {
        for (const auto& reply : replies) {
            const std::string name = std::get<0>(operation);
            SCOPED_TRACE(name + " / " + reply.first.body);
            service.clearFaults();
            service.addFault(reply.first);
            bool result = false;
            std::string text = logOf([&] { result = std::get<1>(operation)(); });
            if (reply.second != OK) {
                // The failure lines are followed by one line naming the cause.
                const size_t cause = text.rfind("\n" + name + ": ");
                ASSERT_NE(cause, std::string::npos) << text;
                text.erase(cause + 1);
            }
            EXPECT_EQ(text, std::get<2>(operation)[reply.second] + "\n");
            EXPECT_TRUE(name == "last_seen" || result == (reply.second == OK));
        }
    }
    service.clearFaults();
    service.addFault(Fault::reply(200, R"({"message":"Zone found"})"));
    EXPECT_TRUE(api->zoneExists("a.example"));
    service.addFault(Fault::serverError());
    EXPECT_EQ(logOf([&] { EXPECT_FALSE(api->zoneExists("a.example")); }),
              "Error parsing the string\n");
}

TEST_F(ConnectorTest, CauseLinesNameTheStatusTheServicesMessageOrTheTransferError) {
    const std::string host = service.hostAndPort();
    service.addFault(Fault::bodyLimit(10).always());
    EXPECT_EQ(lastLine([&] { api->insertBulkZones({"a.example"}); }),
              "bulk_insert: HTTP 413 from " + host + ": reply is not JSON");
    service.clearFaults();
    service.addFault(Fault::refuse());
    EXPECT_EQ(lastLine([&] { api->deleteZone("a.example"); }),
              "delete: HTTP 200 from " + host + ": \"refused\"");
    std::string error;
    mkdir(dir.file("other").c_str(), 0700);
    ASSERT_TRUE(standin::generateUnrelatedCa(dir.file("other"), error)) << error;
    api = makeConnector(dir.file("other/ca.pem"));
    const std::string untrusted = lastLine([&] { api->updateLastSeen(); });
    EXPECT_NE(untrusted.find("last_seen: SSL"), std::string::npos) << untrusted;
    service.stop();
    const std::string refused = lastLine([&] { api->updateLastSeen(); });
    EXPECT_NE(refused.find("onnect"), std::string::npos) << refused;
    EXPECT_EQ(refused.find(TOKEN), std::string::npos);
}

TEST_F(ConnectorTest, BulkInsertionsGoOutInBatchesWithinBothLimits) {
    const std::string longName = std::string(600, 'x') + ".example";
    struct Case {
        size_t count;
        std::string suffix;
        std::vector<size_t> batches;
    };
    const std::vector<Case> cases = {{999, "", {999}},
                                     {1000, "", {1000}},
                                     {1001, "", {1000, 1}},
                                     {2000, longName, {841, 840, 319}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        service.clearRequests();
        std::vector<std::string> list;
        for (size_t i = 0; i < c.count; ++i) {
            list.push_back("z" + std::to_string(i) + c.suffix);
        }
        logOf([&] { EXPECT_TRUE(api->insertBulkZones(list)); });
        std::vector<size_t> batches;
        for (const RecordedRequest& r : service.requests()) {
            batches.push_back(r.zoneFieldCount);
            EXPECT_LE(r.bodyLength, serverConnector::BATCH_MAX_BYTES);
            // A batch of long names is cut by bytes, within one name of the limit.
            EXPECT_TRUE(c.suffix.empty() || r.zoneFieldCount == c.batches.back() ||
                        r.bodyLength + 630 > serverConnector::BATCH_MAX_BYTES);
            EXPECT_EQ(r.formValues("zone[0]").size(), 1u);
        }
        EXPECT_EQ(batches, c.batches);
    }
    EXPECT_EQ(service.zones(TOKEN).size(), 2000u + 1001u);
}

TEST_F(ConnectorTest, FailedBatchEndsTheInsertionAndTheNextReconciliationSendsOnlyTheRest) {
    for (int i = 0; i < 2500; ++i) {
        zones.push_back(zone("z" + std::to_string(10000 + i) + ".example", true));
    }
    // First batch accepted (without storing), second refused: the insertion
    // stops there.
    service.addFault(Fault::reply(200, R"({"message":"ok"})").on("/api/zones/bulk_insert"));
    service.addFault(Fault::serverError().on("/api/zones/bulk_insert"));
    logOf([&] { api->commitChanges(2500, 0); });
    EXPECT_EQ(service.requests().size(), 2u);
    EXPECT_TRUE(api->isSyncPending());
    service.clearRequests();
    logOf([&] { api->syncZones(); });
    std::vector<size_t> batches;
    for (const RecordedRequest& r : service.requests()) {
        batches.push_back(r.path == "/api/zones/bulk_insert" ? r.zoneFieldCount : 0);
    }
    // The 1,500 unsent zones, the list, then the 1,000 the service lacks.
    EXPECT_EQ(batches, (std::vector<size_t>{1000, 500, 0, 1000}));
    EXPECT_EQ(service.zones(TOKEN).size(), 2500u);
    EXPECT_FALSE(api->isSyncPending());
}

TEST_F(ConnectorTest, DeletionWalkAsksEachFlaggedZoneOnceInVectorOrder) {
    const std::vector<std::pair<std::vector<Fault>, std::vector<std::string>>> cases = {
        {{}, {"keep.example"}},
        {{Fault::refuse("b.example").always()}, {"b.example", "keep.example"}},
        {{Fault::refuse("a.example").always(), Fault::refuse("c.example").always()},
         {"a.example", "c.example", "keep.example"}},
    };
    for (const auto& c : cases) {
        zones = {zone("a.example", false, true), zone("b.example", false, true),
                 zone("c.example", false, true), zone("keep.example")};
        service.clearFaults();
        service.clearRequests();
        for (const Fault& fault : c.first) {
            service.addFault(fault);
        }
        logOf([&] { api->commitChanges(0, 3); });
        EXPECT_EQ(sent(), (std::vector<std::string>{"/api/zones/delete zone=a.example",
                                                    "/api/zones/delete zone=b.example",
                                                    "/api/zones/delete zone=c.example"}));
        EXPECT_EQ(names(), c.second);
    }
}

TEST_F(ConnectorTest, DeletionGuardHoldsMoreThanTenAndMoreThanTheShare) {
    struct Case {
        int known;
        int deleted;
        const char* percent;  // MAX_DELETE_PERCENT, empty for the default
        bool held;
    };
    const Case cases[] = {{11, 10, "", false}, {12, 11, "", true},   {22, 11, "", false},
                          {21, 11, "", true},  {100, 11, "0", true}, {12, 11, "100", false},
                          {12, 11, "x", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.deleted) + " of " + std::to_string(c.known) + " at " +
                     c.percent);
        api =
            makeConnector(service.caFile(),
                          *c.percent ? std::string("MAX_DELETE_PERCENT=") + c.percent + "\n" : "");
        zones.clear();
        for (int i = 0; i < c.known; ++i) {
            zones.push_back(zone("z" + std::to_string(100 + i), false, i < c.deleted));
        }
        service.clearRequests();
        const std::string text = logOf([&] { api->commitChanges(0, c.deleted); });
        EXPECT_EQ(service.requests().size(), c.held ? 0u : static_cast<size_t>(c.deleted));
        EXPECT_EQ(zones.size(), static_cast<size_t>(c.held ? c.known : c.known - c.deleted));
        EXPECT_EQ(text.rfind("Holding back", 0) == 0, c.held);
    }
    // A reconciliation's base is the service's list.
    api = makeConnector(service.caFile());
    zones = {zone("a.example")};
    service.setZones(TOKEN, {"a.example", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"});
    logOf([&] { api->deleteNotFoundZones(); });
    EXPECT_EQ(service.zones(TOKEN).size(), 12u);
    EXPECT_EQ(api->getDeletionsHeld(), 11u);
}

TEST_F(ConnectorTest, RetryAfterHoldsEveryRequestUntilItsTime) {
    char date[64];
    const time_t soon = time(nullptr) + 3;
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime(&soon));
    const std::vector<std::pair<std::string, bool>> cases = {
        {"2", true},
        {date, true},
        {"Sun, 06 Nov 1994 08:49:37 GMT", false},
        {"soon", false},
        {"999999999", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        api = makeConnector(service.caFile());
        service.clearFaults();
        service.clearRequests();
        service.addFault(Fault::retryAfter(503, c.first));
        const std::string text = logOf([&] {
            EXPECT_FALSE(api->deleteZone("a.example"));
            api->updateLastSeen();
            api->insertBulkZones({"a.example"});
        });
        EXPECT_EQ(service.requests().size(), c.second ? 1u : 3u);
        EXPECT_EQ(text.rfind("The service asked for a pause", 0) == 0, c.second);
        EXPECT_EQ(api->isRepairDue(), !c.second);
    }
    // The two-second hold ends by itself.
    api = makeConnector(service.caFile());
    service.addFault(Fault::retryAfter(429, "1"));
    logOf([&] { api->deleteZone("a.example"); });
    EXPECT_TRUE(testutil::waitUntil([&] { return api->isRepairDue(); }, std::chrono::seconds(5)));
}

TEST_F(ConnectorTest, RepairBacksOffExponentiallyFromAFailingService) {
    api = makeConnector(service.caFile(), "UPDATE_INTERVAL=1\n");
    service.addFault(Fault::reply(503, R"({"message":"down"})").always());
    zones = {zone("a.example")};
    std::vector<int> repairs;
    for (int n = 1; n <= 64; ++n) {
        if (pass(n == 1)) {
            repairs.push_back(n);
        }
    }
    // 1, then waits of 1, 2, 4, 8, 16, 32 passes, each shortened by up to half.
    EXPECT_GE(repairs.size(), 6u);
    EXPECT_LE(repairs.size(), 10u);
    for (size_t i = 2; i < repairs.size(); ++i) {
        EXPECT_GE(repairs[i] - repairs[i - 1], (1 << (i - 1)) / 2) << i;
    }
    service.clearFaults();
    for (int n = 0; n < 100 && api->isSyncPending(); ++n) {
        pass();
    }
    EXPECT_FALSE(api->isSyncPending());
}

TEST_F(ConnectorTest, EndlessOrStalledRepliesEndTheRequestAsFailed) {
    service.addFault(Fault::endless());
    const std::string text = logOf([&] { api->deleteNotFoundZones(); });
    EXPECT_EQ(text.rfind("Could not fetch agent's zones.\nagent: reply too large", 0), 0u) << text;
    api->setTimeouts(1, 1, 2);
    service.addFault(Fault::stall(20000));
    const auto start = std::chrono::steady_clock::now();
    logOf([&] { EXPECT_FALSE(api->deleteZone("a.example")); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ConnectorTest, ReconciliationIgnoresLetterCaseAndKeepsOwedDeletions) {
    zones = {zone("Mixed.Example"), zone("owed.example", false, true)};
    service.setZones(TOKEN, {"mixed.example", "OWED.example", "stale.example"});
    logOf([&] { api->syncZones(); });
    EXPECT_EQ(sent(), (std::vector<std::string>{"/api/zones/bulk_insert &zone[0]=Mixed.Example",
                                                "/api/zones/agent",
                                                "/api/zones/delete zone=stale.example"}));
    api->setSyncBlocked("Zone reconciliation skipped: because.");
    service.clearRequests();
    EXPECT_EQ(logOf([&] { api->syncZones(); }), "Zone reconciliation skipped: because.\n");
    EXPECT_TRUE(service.requests().empty());
    EXPECT_TRUE(api->isSyncPending());
}

TEST(ReplyReaders, MessagesAndZoneListsAreReadFromTheirShapesOnly) {
    const std::vector<std::tuple<std::string, bool, std::string>> messages = {
        {R"({"message":"ok","x":{}})", true, "ok"},
        {"// c\n{\"message\":5}", true, "5"},
        {"{}", true, ""},
        {"null", true, ""},
        {R"({"message":["ok"]})", false, ""},
        {"[]", false, ""},
        {R"("ok")", false, ""},
        {"<html>", false, ""},
        {std::string(5000, '{'), false, ""}};
    for (const auto& c : messages) {
        std::string message = "stale";
        bool parsed = false;
        EXPECT_EQ(serverConnector::readReplyMessage(std::get<0>(c), message, parsed),
                  std::get<1>(c))
            << std::get<0>(c).substr(0, 40);
        EXPECT_EQ(message, std::get<2>(c));
    }
    const std::vector<std::tuple<std::string, bool, std::vector<std::string>>> lists = {
        {R"([{"zone":"a"}, null, {"other":1}, {"zone":7}] tail)", true, {"a", "", "", "7"}},
        {"[]", true, {}},
        {"{}", true, {}},
        {"\"x\"", true, {}},
        {R"({"message":"error"})", false, {}},
        {R"([{"zone":{}}])", false, {}},
        {"[1]", false, {}},
        {"[{},]", false, {}},
        {"<html>", false, {}}};
    for (const auto& c : lists) {
        for (const size_t slice : {serverConnector::SLICE_ABOVE, size_t{0}}) {
            std::vector<std::string> got = {"stale"};
            bool parsed = false;
            const bool read = serverConnector::readZoneList(std::get<0>(c), got, parsed, slice);
            // Sliced reading accepts arrays only, with the same names.
            const bool array = std::get<0>(c)[0] == '[';
            EXPECT_EQ(read, std::get<1>(c) && (slice > 0 || array)) << std::get<0>(c);
            EXPECT_EQ(got, read ? std::get<2>(c) : std::vector<std::string>{});
        }
    }
}

}  // namespace
