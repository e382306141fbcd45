// Fault injection: the real agent against a stand-in that misbehaves by turns
// while a writer keeps changing the zones file, in a few named scenarios.
// Whatever happens, a zone that never leaves the file is never asked to be
// deleted, and once the service behaves again and asks for a recheck it
// holds exactly the file's master zones. Each run prints its seed; set
// FAULTS_SEED to replay one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
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

// Runs scenario |_name|: each of |_faults| for a while, one after the other,
// while the file is rewritten in ways drawn from |_writes|.
void run(const char* _name, const std::vector<Fault>& _faults, const std::vector<Write>& _writes) {
    const char* fixed = getenv("FAULTS_SEED");
    const uint32_t seed = fixed != nullptr ? std::stoul(fixed) : std::random_device()();
    std::cout << _name << ": FAULTS_SEED=" << seed << std::endl;
    std::mt19937 rng(seed);
    testutil::TempDir dir;
    standin::StandInService service(dir.path());
    std::string error;
    ASSERT_TRUE(service.start(0, error)) << error;
    service.addToken(kToken);
    const std::vector<std::string> stable = testutil::names("stable", 12);
    const std::vector<std::string> churn = testutil::names("churn", 12);
    const std::string path = dir.file("named.conf");
    std::vector<std::string> masters = stable;
    testutil::writeFile(path, testutil::zonesText(masters));
    testutil::writeFile(dir.file("vantrel.conf"),
                        "ZONES_FILE=" + path + "\nSERVER_HOSTNAME=" + service.hostAndPort() +
                            "\nTOKEN=" + kToken + "\nCA_FILE=" + service.caFile() +
                            "\nNAMED_CONF=" + path + "\nUPDATE_INTERVAL=1\nDELETE_GRACE=1\nLOG_LEVEL=ERROR\n");
    testutil::Child agent;
    ASSERT_TRUE(agent.start({VANTREL_BINARY, "-c", dir.file("vantrel.conf")}, dir.path()));

    const auto rewrite = [&](Write _how) {
        masters = stable;
        std::copy_if(churn.begin(), churn.end(), std::back_inserter(masters),
                     [&](const std::string&) { return rng() % 2 == 0; });
        std::shuffle(masters.begin(), masters.end(), rng);
        const std::string text = testutil::zonesText(masters);
        const std::string next = path + ".next";
        const bool renamed = _how == Write::Rename || _how == Write::Symlink;
        if (renamed) {
            testutil::writeFile(next, text);
        }
        if (_how == Write::Symlink) {
            unlink(path.c_str());
            symlink(next.c_str(), path.c_str());
        } else if (_how == Write::Recreate) {
            unlink(path.c_str());
        } else if (_how == Write::PausedMidFile) {
            // Cut inside a block: a cut between blocks looks like an edit.
            testutil::writeFile(path, text.substr(0, text.find("type", text.size() / 2)));
        } else if (_how == Write::Empty) {
            testutil::writeFile(path, "");
        }
        if (_how != Write::InPlace && _how != Write::Rename) {  // a pause, then the whole file
            std::this_thread::sleep_for(
                milliseconds(rng() % (_how == Write::PausedMidFile ? 2500 : 1500)));
        }
        if (renamed) {
            rename(next.c_str(), path.c_str());
        } else {
            testutil::writeFile(path, text);
        }
    };
    for (const Fault& fault : _faults) {
        service.clearFaults();
        service.addFault(fault);
        for (int step = 0; step < 6; ++step) {
            rewrite(_writes[rng() % _writes.size()]);
            std::this_thread::sleep_for(milliseconds(200 + rng() % 800));
        }
    }
    service.clearFaults();
    rewrite(Write::Rename);
    service.addFault(Fault::recheck());
    const std::multiset<std::string> expected(masters.begin(), masters.end());
    EXPECT_TRUE(testutil::waitUntil(
        [&] {
            const std::vector<std::string> held = service.zones(kToken);
            return std::multiset<std::string>(held.begin(), held.end()) == expected;
        },
        seconds(60)))
        << "service does not converge on the file's masters";
    for (const standin::RecordedRequest& r : service.requests()) {
        EXPECT_FALSE(r.path == "/api/zones/delete" && r.body.rfind("zone=stable", 0) == 0)
            << "a stable zone was asked to be deleted: " << r.body;
    }
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(seconds(10)), 0) << agent.finalOutput();
}

// Service errors, resets and refusals while the file is replaced; the file
// caught mid-write, emptied or swapped for a link; pauses asked by the
// service and a proxy's body limit.
TEST(FaultInjection, EveryScenarioConvergesWithoutDeletingAStableZone) {
    run("errors",
        {Fault::serverError().always(), Fault::reset().always(), Fault::refuse().always(),
         Fault::malformedJson().always(), Fault::stall(1500).always(),
         Fault::reply(200, "null").always()},
        {Write::InPlace, Write::Rename, Write::Recreate});
    run("file", {Fault::refuse().times(3), Fault::serverError().times(5)},
        {Write::PausedMidFile, Write::Symlink, Write::Empty, Write::InPlace});
    run("pauses",
        {Fault::retryAfter(503, "2").times(2), Fault::retryAfter(429, "1").always(),
         Fault::bodyLimit(200).always(), Fault::endless().times(2)},
        {Write::InPlace, Write::Rename});
}

}  // namespace
