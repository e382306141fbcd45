// The stand-in service on its own: endpoints, faults, request log, admin API,
// certificates and the vantrel-standin program, all over real HTTPS on
// 127.0.0.1 with verification on.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "StandInService.h"
#include "TestCertificates.h"
#include "test_util.h"

namespace {

using standin::Fault;
using standin::StandInService;

struct Reply {
    CURLcode code = CURLE_FAILED_INIT;
    long status = 0;
    std::string body;
};

size_t collect(void* _data, size_t _size, size_t _count, void* _text) {
    static_cast<std::string*>(_text)->append(static_cast<char*>(_data), _size * _count);
    return _size * _count;
}

// One HTTPS request trusting |_caFile|: POST when |_body| is given.
Reply request(const std::string& _url, const std::string& _caFile, const std::string* _body,
              const std::string& _token = std::string()) {
    Reply reply;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return reply;
    }
    curl_slist* headers = nullptr;
    if (!_token.empty()) {
        headers = curl_slist_append(headers, ("Authorization: " + _token).c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, _url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CAINFO, _caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    if (_body != nullptr) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, _body->c_str());
    }
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return reply;
}

class StandInServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.addToken("alpha");
        service.addToken("beta");
        std::string error;
        ASSERT_TRUE(service.start(0, error)) << error;
    }

    Reply get(const std::string& _path, const std::string& _token = "alpha") {
        return request(url(_path), service.caFile(), nullptr, _token);
    }
    Reply post(const std::string& _path, const std::string& _body,
               const std::string& _token = "alpha") {
        return request(url(_path), service.caFile(), &_body, _token);
    }
    std::string url(const std::string& _path) const {
        return "https://" + service.hostAndPort() + _path;
    }

    testutil::TempDir dir;
    StandInService service{dir.path()};
};

TEST_F(StandInServiceTest, EndpointsKeepOneZoneListPerToken) {
    struct Step {
        const char* method;
        const char* path;
        const char* token;
        const char* body;
        long status;
        const char* reply;
    };
    const std::vector<Step> steps = {
        {"POST", "/api/zones/bulk_insert", "alpha",
         "&zone[0]=b.example&zone[1]=a%26.example&zone[2]=b.example", 200, R"({"message":"ok"})"},
        {"POST", "/api/zones/insert", "alpha", "zone=c.example", 200, R"({"message":"ok"})"},
        {"POST", "/api/zones/insert", "alpha", "zone=c.example", 200, R"({"message":"ok"})"},
        {"GET", "/api/zones/agent", "alpha", "", 200,
         R"([{"zone":"b.example"},{"zone":"a&.example"},{"zone":"c.example"}])"},
        {"GET", "/api/zones/agent", "beta", "", 200, "[]"},
        {"POST", "/api/zones/exists", "alpha", "zone=c.example", 200,
         R"({"message":"Zone found"})"},
        {"POST", "/api/zones/exists", "beta", "zone=c.example", 200,
         R"({"message":"Zone not found"})"},
        {"POST", "/api/zones/delete", "alpha", "zone=b.example", 200, R"({"message":"ok"})"},
        {"POST", "/api/zones/delete", "alpha", "zone=b.example", 200, R"({"message":"ok"})"},
        {"POST", "/api/zones/delete", "alpha", "zone=", 400, R"({"message":"missing zone"})"},
        {"POST", "/api/zones/insert", "alpha", "name=x", 400, R"({"message":"missing zone"})"},
        {"GET", "/api/last_seen", "alpha", "", 200, R"({"message":"ok"})"},
        {"GET", "/api/last_seen", "gamma", "", 401, R"({"message":"invalid token"})"},
        {"GET", "/api/last_seen", "", "", 401, R"({"message":"invalid token"})"},
        {"GET", "/api/zones/other", "alpha", "", 404, R"({"message":"not found"})"},
        {"POST", "/api/zones/other", "alpha", "", 404, R"({"message":"not found"})"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.method) + " " + step.path + " " + step.body);
        const Reply reply = std::string(step.method) == "GET"
                                ? get(step.path, step.token)
                                : post(step.path, step.body, step.token);
        EXPECT_EQ(reply.code, CURLE_OK);
        EXPECT_EQ(reply.status, step.status);
        EXPECT_EQ(reply.body, step.reply);
    }
    EXPECT_EQ(service.zones("alpha"), (std::vector<std::string>{"a&.example", "c.example"}));
    EXPECT_EQ(service.requestCount(), steps.size());
}

TEST_F(StandInServiceTest, FaultsHitMatchingRequestsForTheirCountInOrder) {
    service.addZone("alpha", "a.example");
    service.addFault(Fault::recheck().times(2));
    service.addFault(Fault::refuse("A.example").on("/api/zones/delete"));
    service.addFault(Fault::reply(503, R"({"message":"busy"})").on("/api/zones/agent").always());
    service.addFault(Fault::serverError().on("/api/zones/agent"));
    std::vector<std::string> bodies;
    for (int i = 0; i < 3; ++i) {
        bodies.push_back(get("/api/last_seen").body);
    }
    EXPECT_EQ(bodies,
              (std::vector<std::string>{R"({"message":"recheck"})", R"({"message":"recheck"})",
                                        R"({"message":"ok"})"}));
    // The zone filter compares exactly unless names are folded.
    EXPECT_EQ(post("/api/zones/delete", "zone=a.example").body, R"({"message":"ok"})");
    service.setLowerCaseNames(true);
    EXPECT_EQ(post("/api/zones/delete", "zone=b.example").body, R"({"message":"ok"})");
    EXPECT_EQ(post("/api/zones/delete", "zone=a.example").body, R"({"message":"refused"})");
    for (int i = 0; i < 3; ++i) {
        const Reply reply = get("/api/zones/agent");
        EXPECT_EQ(reply.status, 503);
        EXPECT_EQ(reply.body, R"({"message":"busy"})");
    }
    service.clearFaults();
    EXPECT_EQ(get("/api/zones/agent").body, "[]");
    service.addFault(Fault::reset());
    EXPECT_NE(get("/api/last_seen").code, CURLE_OK);
    EXPECT_EQ(get("/api/last_seen").code, CURLE_OK);
}

TEST_F(StandInServiceTest, LowerCaseModeFoldsAsciiLettersOnly) {
    service.setLowerCaseNames(true);
    post("/api/zones/bulk_insert", "&zone[0]=MiXeD.Example&zone[1]=%C3%89.Example");
    post("/api/zones/insert", "zone=mixed.EXAMPLE");
    EXPECT_EQ(service.zones("alpha"),
              (std::vector<std::string>{"mixed.example", "\xc3\x89.example"}));
    EXPECT_EQ(post("/api/zones/exists", "zone=MIXED.example").body, R"({"message":"Zone found"})");
}

TEST_F(StandInServiceTest, StalledRequestsWaitForReleaseTimeOrStop) {
    service.addFault(Fault::stall());
    Reply held;
    std::thread client([&] { held = get("/api/last_seen"); });
    while (service.stalledCount() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(held.body.empty());
    service.releaseStalled();
    client.join();
    EXPECT_EQ(held.body, R"({"message":"ok"})");

    service.addFault(Fault::stall(150));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(get("/api/last_seen").body, R"({"message":"ok"})");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));

    service.addFault(Fault::stall());
    std::thread stopped([&] { held = get("/api/last_seen"); });
    while (service.stalledCount() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    service.stop();
    stopped.join();
    EXPECT_EQ(service.stalledCount(), 0u);
}

TEST_F(StandInServiceTest, AdminEndpointsInspectAndSteerTheServiceWithoutBeingRecorded) {
    struct Step {
        const char* path;
        const char* body;
        long status;
    };
    const std::vector<Step> steps = {
        {"/_admin/zones", "token=alpha&zone=dup.example", 200},
        {"/_admin/zones", "token=alpha&zone=dup.example", 200},
        {"/_admin/zones", "token=alpha", 400},
        {"/_admin/fault", "kind=refuse&zone=dup.example&count=0", 200},
        {"/_admin/fault", "kind=reply&status=418&body=%7B%7D&endpoint=/api/last_seen", 200},
        {"/_admin/fault", "kind=stall&ms=-1", 400},
        {"/_admin/fault", "kind=teapot", 400},
        {"/_admin/fault", "kind=empty&count=x", 400},
        {"/_admin/mode", "lowercase=maybe", 400},
        {"/_admin/release", "", 200},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.path) + " " + step.body);
        const std::string body = step.body;
        EXPECT_EQ(request(url(step.path), service.caFile(), &body).status, step.status);
    }
    const Reply zones = request(url("/_admin/zones?token=alpha"), service.caFile(), nullptr);
    EXPECT_EQ(zones.body, "dup.example\ndup.example\n");
    EXPECT_EQ(request(url("/_admin/zones?token=nobody"), service.caFile(), nullptr).status, 404);

    EXPECT_EQ(post("/api/zones/delete", "zone=dup.example").body, R"({"message":"refused"})");
    EXPECT_EQ(get("/api/last_seen").status, 418);
    const Reply log = request(url("/_admin/requests"), service.caFile(), nullptr);
    std::istringstream lines(log.body);
    std::string line;
    std::vector<Json::Value> entries;
    while (std::getline(lines, line)) {
        Json::Value entry;
        ASSERT_TRUE(Json::Reader().parse(line, entry)) << line;
        entries.push_back(entry);
    }
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["method"].asString(), "POST");
    EXPECT_EQ(entries[0]["path"].asString(), "/api/zones/delete");
    EXPECT_EQ(entries[0]["body"].asString(), "zone=dup.example");
    EXPECT_EQ(entries[0]["form"][0][1].asString(), "dup.example");
    EXPECT_EQ(entries[0]["client_port"].asInt(), service.requests()[0].clientPort);
    bool sawToken = false;
    for (const Json::Value& header : entries[1]["headers"]) {
        sawToken = sawToken ||
                   (header[0].asString() == "Authorization" && header[1].asString() == "alpha");
    }
    EXPECT_TRUE(sawToken);

    const std::string empty;
    request(url("/_admin/faults/clear"), service.caFile(), &empty);
    request(url("/_admin/requests/clear"), service.caFile(), &empty);
    const std::string mode = "lowercase=on";
    request(url("/_admin/mode"), service.caFile(), &mode);
    EXPECT_EQ(service.requestCount(), 0u);
    EXPECT_EQ(post("/api/zones/delete", "zone=DUP.example").body, R"({"message":"ok"})");
    EXPECT_TRUE(service.zones("alpha").empty());
}

TEST(StandInStop, DoesNotWaitForIdleKeptAliveConnections) {
    testutil::TempDir dir;
    StandInService service(dir.path());
    service.addToken("alpha");
    service.setKeepAlive(100, 120);
    std::string error;
    ASSERT_TRUE(service.start(0, error)) << error;
    // One handle keeps its connection open after the request.
    CURL* curl = curl_easy_init();
    ASSERT_NE(curl, nullptr);
    std::string body;
    const std::string url = "https://" + service.hostAndPort() + "/api/last_seen";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, service.caFile().c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    const auto started = std::chrono::steady_clock::now();
    service.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_EQ(service.port(), 0);
    curl_easy_cleanup(curl);
}

TEST(StandInForm, BodiesDecodeIntoOrderedFields) {
    struct Case {
        std::string body;
        standin::Fields fields;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"&zone[0]=a.example&zone[1]=b.example",
         {{"zone[0]", "a.example"}, {"zone[1]", "b.example"}}},
        {"zone=a%26b%3Dc", {{"zone", "a&b=c"}}},
        {"zone=x+y%20z", {{"zone", "x y z"}}},
        {"zone=100%&k=%4", {{"zone", "100%"}, {"k", "%4"}}},
        {"flag&&a=1=2", {{"flag", ""}, {"a", "1=2"}}},
        {"zone%5B0%5D=%00", {{"zone[0]", std::string(1, '\0')}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StandInService::parseForm(c.body), c.fields) << c.body;
    }
}

TEST(StandInStart, RefusesAnythingButIpv4Loopback) {
    testutil::TempDir dir;
    for (const char* address : {"0.0.0.0", "10.1.2.3", "::1", "localhost", "", "127.0.0.1 "}) {
        StandInService service(dir.path());
        std::string error;
        EXPECT_FALSE(service.start(0, error, address)) << address;
        EXPECT_NE(error.find("refusing"), std::string::npos) << error;
        EXPECT_EQ(service.port(), 0);
    }
    EXPECT_TRUE(StandInService::isLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(StandInService::isLoopbackAddress("127.255.0.9"));
    EXPECT_FALSE(StandInService::isLoopbackAddress("128.0.0.1"));
}

TEST(StandInCertificates, ServerCertificateVerifiesOnlyAgainstItsOwnCa) {
    testutil::TempDir dir;
    testutil::TempDir other;
    std::string error;
    ASSERT_TRUE(standin::generateCertificates(dir.path(), error)) << error;
    ASSERT_TRUE(standin::generateUnrelatedCa(other.path(), error)) << error;
    EXPECT_TRUE(standin::certificatesPresent(dir.path()));
    EXPECT_FALSE(standin::certificatesPresent(other.path()));
    struct stat status;
    ASSERT_EQ(stat(dir.file("server-key.pem").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    const auto load = [](const std::string& _path) {
        FILE* file = fopen(_path.c_str(), "r");
        X509* cert = file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
        if (file != nullptr) {
            fclose(file);
        }
        return cert;
    };
    X509* server = load(dir.file("server.pem"));
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(X509_check_ip_asc(server, "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(server, "localhost", 0, 0, nullptr), 1);
    EXPECT_NE(X509_check_host(server, "example.com", 0, 0, nullptr), 1);
    for (const auto& [caPath, verifies] :
         {std::make_pair(dir.file("ca.pem"), 1), std::make_pair(other.file("ca.pem"), 0)}) {
        X509* ca = load(caPath);
        ASSERT_NE(ca, nullptr);
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, ca);
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_STORE_CTX_init(context, store, server, nullptr);
        EXPECT_EQ(X509_verify_cert(context), verifies) << caPath;
        X509_STORE_CTX_free(context);
        X509_STORE_free(store);
        X509_free(ca);
    }
    X509_free(server);
}

#ifdef VANTREL_STANDIN_BINARY
TEST(StandInProgram, ServesUntilSigtermAndIsSteeredThroughAdminEndpoints) {
    testutil::TempDir dir;
    const std::string certDir = dir.file("certs");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(VANTREL_STANDIN_BINARY, VANTREL_STANDIN_BINARY, "--port", "0", "--cert-dir",
              certDir.c_str(), "--token", "T1", "--zone", "T1:a.example", "--zone", "T1:b.example",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, out), nullptr);
    const std::string text = line;
    ASSERT_EQ(text.rfind("listening on 127.0.0.1:", 0), 0u) << text;
    const std::string base = "https://127.0.0.1:" + text.substr(23, text.size() - 24);
    const std::string ca = certDir + "/ca.pem";

    EXPECT_EQ(request(base + "/_admin/zones?token=T1", ca, nullptr).body, "a.example\nb.example\n");
    const std::string fault = "kind=recheck";
    EXPECT_EQ(request(base + "/_admin/fault", ca, &fault).status, 200);
    EXPECT_EQ(request(base + "/api/last_seen", ca, nullptr, "T1").body, R"({"message":"recheck"})");
    EXPECT_NE(request(base + "/_admin/requests", ca, nullptr).body.find("/api/last_seen"),
              std::string::npos);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    fclose(out);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(StandInProgram, RejectsBadCommandLines) {
    testutil::TempDir dir;
    const std::vector<std::vector<std::string>> lines = {
        {"--port", "0", "--cert-dir", dir.path(), "--listen", "0.0.0.0"},
        {"--port", "0", "--cert-dir", dir.path(), "--zone", "T9:a.example"},
        {"--port", "0"},
        {"--port", "70000", "--cert-dir", dir.path()},
        {"--cert-dir", dir.path(), "--zone", "noseparator"},
        {"--bogus"},
    };
    for (std::vector<std::string> line : lines) {
        line.insert(line.begin(), VANTREL_STANDIN_BINARY);
        const testutil::ProcessResult result = testutil::runProcess(line);
        EXPECT_EQ(result.status, 2) << line.back();
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}
#endif

}  // namespace
