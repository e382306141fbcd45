// The service session on its own against the in-process stand-in service
// (real HTTPS over 127.0.0.1, certificate verification on): bounds, holds,
// cause lines, outages, and its pure reply readers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "ConfigFileParser.h"
#include "ServiceSession.h"
#include "StandInService.h"
#include "TestCertificates.h"
#include "test_util.h"

namespace {

using standin::Fault;
using Lines = std::vector<std::string>;

const char* const TOKEN = "session token/7";
// An operation that examines its transfer, and one that judges whatever
// arrived.
const ServiceSession::Operation LIST{"/api/zones/agent", "agent", true, "Not listed.",
                                     "Not listed.",      true,    true};
const ServiceSession::Operation DELETE{
    "/api/zones/delete", "delete", false, "Not deleted.", nullptr, false, false};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.addToken(TOKEN);
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
        configure(service.caFile());
    }

    void configure(const std::string& _caFile) {
        testutil::writeFile(dir.file("agent.conf"), "SERVER_HOSTNAME=" + service.hostAndPort() +
                                                        "\nTOKEN=" + TOKEN +
                                                        "\nCA_FILE=" + _caFile + "\n");
        const ConfigFileParser config(dir.file("agent.conf"));
        session = std::make_unique<ServiceSession>(&config);
        session->setTimeouts(5, 5, 10);
    }

    // Sends |_op| (a POST when it is DELETE) to a service misbehaving with
    // |_faults|; returns whether the reply said "ok" and what was logged.
    std::pair<bool, std::string> send(const std::vector<Fault>& _faults,
                                      const ServiceSession::Operation& _op = LIST) {
        service.clearRequests();
        service.clearFaults();
        for (const Fault& fault : _faults) {
            service.addFault(fault);
        }
        const std::string body = "zone=a.example";
        testing::internal::CaptureStdout();
        const ServiceSession::Reply reply =
            session->request(_op, &_op == &DELETE ? &body : nullptr);
        std::string message;
        bool judged = session->judge(_op, reply, message);
        if (judged && message != "ok") {
            session->fail(_op, reply, {_op.failure});
            judged = false;
        }
        return {judged, testing::internal::GetCapturedStdout()};
    }

    // The last line |_faults| make the session log: the cause.
    std::string cause(const std::vector<Fault>& _faults) {
        const std::string text = send(_faults).second;
        EXPECT_EQ(text.find(TOKEN), std::string::npos);
        return text.substr(text.rfind('\n', text.size() - 2) + 1);
    }

    testutil::TempDir dir;
    standin::StandInService service{dir.path()};
    std::unique_ptr<ServiceSession> session;
};

TEST_F(SessionTest, CauseLinesNameTheStatusTheServicesMessageOrTheTransferErrorNeverTheToken) {
    EXPECT_EQ(cause({Fault::serverError()}),
              "agent: HTTP 500 from " + service.hostAndPort() + ": reply is not JSON\n");
    EXPECT_EQ(cause({Fault::reply(403, R"({"message":"no such agent"})")}),
              "agent: HTTP 403 from " + service.hostAndPort() + ": \"no such agent\"\n");
    session->setTimeouts(5, 5, 60);  // 256 MiB arrive well within it, also under a sanitizer
    EXPECT_THAT(send({Fault::endless()}).second,
                testing::StartsWith("Not listed.\nagent: reply too large"));
    session->setTimeouts(1, 1, 2);  // a stalled reply is bounded
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(cause({Fault::stall(20000)}),
                testing::ContainsRegex("^agent: Operation (timed out|too slow)"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    std::string error;
    mkdir(dir.file("other").c_str(), 0700);
    ASSERT_TRUE(standin::generateUnrelatedCa(dir.file("other"), error)) << error;
    configure(dir.file("other/ca.pem"));
    EXPECT_THAT(cause({}), testing::StartsWith("agent: SSL"));
    service.stop();
    EXPECT_THAT(cause({}), testing::HasSubstr("onnect"));
    // Without examining the transfer, a lost reply reads as one not JSON.
    EXPECT_THAT(send({}, DELETE).second,
                testing::MatchesRegex("Can't parse string as JSON\ndelete: .*onnect.*\n"));
}

TEST_F(SessionTest, RetryAfterHoldsEveryRequestUntilItsTime) {
    char date[64];
    const time_t soon = time(nullptr) + 3;
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime(&soon));
    const Lines holding = {"2", date, "999999999"},
                ignored = {"Sun, 06 Nov 1994 08:49:37 GMT", "soon"};
    for (const bool holds : {true, false}) {
        for (const std::string& value : holds ? holding : ignored) {
            SCOPED_TRACE(value);
            configure(service.caFile());
            const auto [judged, text] = send({Fault::retryAfter(503, value)});
            EXPECT_FALSE(judged);
            EXPECT_EQ(text.rfind("The service asked for a pause", 0) == 0, holds);
            EXPECT_EQ(session->isHeld(), holds);
            send({});
            EXPECT_EQ(service.requests().size(), holds ? 0u : 1u);
        }
    }
    // A hold of one second ends by itself.
    configure(service.caFile());
    send({Fault::retryAfter(429, "1")});
    EXPECT_TRUE(session->isHeld());
    EXPECT_TRUE(testutil::waitUntil([&] { return !session->isHeld(); }, std::chrono::seconds(5)));
}

// The service is back only when a request succeeds after passes in which
// every request failed on its side; a refusal is an answer.
TEST_F(SessionTest, OnlyASuccessAfterPassesOfServiceFailuresMeansTheServiceReturned) {
    // Each pass's requests ('+' succeeds, 'd' meets a 503, 'r' a refusal),
    // and whether the last pass sees the service return.
    const std::vector<std::pair<Lines, bool>> cases = {
        {{"d", "+"}, true},   {{"dd", "", "+"}, true}, {{"d+", "+"}, false},
        {{"dr", "+"}, false}, {{"r", "+"}, false},     {{"d", "d"}, false}};
    for (const auto& [passes, returned] : cases) {
        configure(service.caFile());
        for (const std::string& pass : passes) {
            session->beginPass();
            for (const char request : pass) {
                service.clearFaults();
                if (request != '+') {
                    service.addFault(Fault::reply(request == 'd' ? 503 : 404, "{}"));
                }
                if (session->request(LIST, nullptr).status == 200) {
                    session->count(LIST, "ok");
                }
            }
        }
        EXPECT_EQ(session->hasServiceReturned(), returned) << passes.size();
    }
}

TEST(ReplyReaders, ListsAreReadFromTheirShapesOnlyWholeOrSliced) {
    // Replies and the names read from them, whole and sliced (arrays only);
    // "!": not read, none left.
    const std::vector<std::pair<Lines, Lines>> lists = {
        {{R"([{"zone":"a"}, null, {"other":1}, {"zone":7}] tail)"}, {"a", "", "", "7"}},
        {{"[]", "{}", "\"x\""}, {}},
        {{R"({"message":"error"})", R"([{"zone":{}}])", "[1]", "[{},]", "<html>"}, {"!"}}};
    for (const auto& [texts, expected] : lists) {
        for (const std::string& text : texts) {
            for (const size_t slice : {ServiceSession::SLICE_ABOVE, size_t{0}}) {
                nameList got;
                got.push_back("stale");
                bool parsed = false;
                const bool read = ServiceSession::readList(text, "zone", got, parsed, slice);
                EXPECT_EQ(read, expected != Lines{"!"} && (slice > 0 || text[0] == '[')) << text;
                Lines names;
                for (size_t i = 0; i < got.size(); ++i) {
                    names.emplace_back(got[i]);
                }
                EXPECT_EQ(names, read ? expected : Lines{});
            }
        }
    }
}

}  // namespace
