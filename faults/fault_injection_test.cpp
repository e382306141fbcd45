// Fault injection: the real agent against a stand-in that misbehaves by turns
// while a writer keeps changing the zones file, in a few named scenarios.
// Whatever happens, a zone that never leaves the file is never asked to be
// deleted, and once the service behaves again and asks for a recheck it
// holds exactly the file's master zones. Each run prints its seed; set
// FAULTS_SEED to replay one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "StandInService.h"
#include "test_util.h"

namespace {

using standin::Fault;
using testutil::milliseconds;
using testutil::seconds;

const char kToken[] = "faults-token";

// How the writer changes the file.
enum class Write { InPlace, Rename, Recreate, PausedMidFile, Symlink, Empty };

struct Scenario {
    const char* name;
    std::vector<Fault> faults;  // one after the other, each for a while
    std::vector<Write> writes;  // drawn at random
};

std::string zonesText(const std::vector<std::string>& _masters) {
    std::string text = "options { directory \"/var/cache/bind\"; };\n";
    for (const std::string& name : _masters) {
        text += "zone \"" + name + "\" IN {\n    type master;\n    file \"db." + name + "\";\n};\n";
    }
    return text + "zone \"slave.example\" { type slave; masters { 192.0.2.1; }; };\n";
}

void run(const Scenario& _scenario) {
    const char* fixed = getenv("FAULTS_SEED");
    const uint32_t seed = fixed != nullptr ? std::stoul(fixed) : std::random_device()();
    std::cout << _scenario.name << ": FAULTS_SEED=" << seed << std::endl;
    std::mt19937 rng(seed);
    testutil::TempDir dir;
    standin::StandInService service(dir.path());
    std::string error;
    ASSERT_TRUE(service.start(0, error)) << error;
    service.addToken(kToken);
    std::vector<std::string> stable;
    std::vector<std::string> churn;
    for (int i = 0; i < 12; ++i) {
        stable.push_back("stable" + std::to_string(i) + ".example");
        churn.push_back("churn" + std::to_string(i) + ".example");
    }
    const std::string path = dir.file("named.conf");
    std::vector<std::string> masters = stable;
    testutil::writeFile(path, zonesText(masters));
    testutil::writeFile(dir.file("vantrel.conf"),
                        "ZONES_FILE=" + path + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                            "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                            "\nUPDATE_INTERVAL=1\nLOG_LEVEL=ERROR\n");
    testutil::Child agent;
    ASSERT_TRUE(agent.start({VANTREL_BINARY, "-c", dir.file("vantrel.conf")}, dir.path()));

    const auto rewrite = [&](Write _how) {
        masters = stable;
        for (const std::string& name : churn) {
            if (rng() % 2 == 0) {
                masters.push_back(name);
            }
        }
        std::shuffle(masters.begin(), masters.end(), rng);
        const std::string text = zonesText(masters);
        const std::string next = path + ".next";
        switch (_how) {
            case Write::InPlace:
                testutil::writeFile(path, text);
                break;
            case Write::Rename:
                testutil::writeFile(next, text);
                rename(next.c_str(), path.c_str());
                break;
            case Write::Recreate:
                unlink(path.c_str());
                std::this_thread::sleep_for(milliseconds(rng() % 1500));
                testutil::writeFile(path, text);
                break;
            case Write::PausedMidFile:
                // Cut inside a block: a cut between blocks looks like an edit.
                testutil::writeFile(path, text.substr(0, text.find("type", text.size() / 2)));
                std::this_thread::sleep_for(milliseconds(rng() % 2500));
                testutil::writeFile(path, text);
                break;
            case Write::Symlink:
                testutil::writeFile(next, text);
                unlink(path.c_str());
                symlink(next.c_str(), path.c_str());
                std::this_thread::sleep_for(milliseconds(rng() % 1500));
                rename(next.c_str(), path.c_str());
                break;
            case Write::Empty:
                testutil::writeFile(path, "");
                std::this_thread::sleep_for(milliseconds(rng() % 1500));
                testutil::writeFile(path, text);
                break;
        }
    };
    for (const Fault& fault : _scenario.faults) {
        service.clearFaults();
        service.addFault(fault);
        for (int step = 0; step < 6; ++step) {
            rewrite(_scenario.writes[rng() % _scenario.writes.size()]);
            std::this_thread::sleep_for(milliseconds(200 + rng() % 800));
        }
    }
    service.clearFaults();
    rewrite(Write::Rename);
    service.addFault(Fault::recheck());
    std::vector<std::string> expected = masters;
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(testutil::waitUntil(
        [&] {
            std::vector<std::string> held = service.zones(kToken);
            std::sort(held.begin(), held.end());
            return held == expected;
        },
        seconds(60)))
        << "service does not converge on the file's masters";
    for (const standin::RecordedRequest& request : service.requests()) {
        for (const std::string& zone : request.formValues("zone")) {
            EXPECT_FALSE(request.path == "/api/zones/delete" &&
                         std::find(stable.begin(), stable.end(), zone) != stable.end())
                << "a stable zone was asked to be deleted: " << zone;
        }
    }
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(seconds(10)), 0) << agent.finalOutput();
    std::cout << _scenario.name << ": " << service.requestCount() << " requests" << std::endl;
}

TEST(FaultInjection, ServiceErrorsResetsAndRefusalsWhileTheFileIsReplaced) {
    run({"errors",
         {Fault::serverError().always(), Fault::reset().always(), Fault::refuse().always(),
          Fault::malformedJson().always(), Fault::stall(1500).always(),
          Fault::reply(200, "null").always()},
         {Write::InPlace, Write::Rename, Write::Recreate}});
}

TEST(FaultInjection, FileCaughtMidWriteEmptiedOrSwappedForALink) {
    run({"file", {Fault::refuse().times(3), Fault::serverError().times(5)},
         {Write::PausedMidFile, Write::Symlink, Write::Empty, Write::InPlace}});
}

TEST(FaultInjection, PausesAskedByTheServiceAndAProxysBodyLimit) {
    run({"pauses",
         {Fault::retryAfter(503, "2").times(2), Fault::retryAfter(429, "1").always(),
          Fault::bodyLimit(200).always(), Fault::endless().times(2)},
         {Write::InPlace, Write::Rename}});
}

}  // namespace
