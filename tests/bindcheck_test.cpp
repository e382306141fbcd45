// BIND's checker as the agent runs it: stand-in checkers for what can go
// wrong (a hang, a flood, a program that cannot run), the real
// named-checkconf on a refused and an accepted configuration, and check mode
// as an unprivileged user whose checker cannot read an include.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <memory>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

class BindCheckTest : public testing::Test {
protected:
    // A check of |named| by |_checkconf| (the NAMED_CHECKCONF value).
    std::unique_ptr<BindCheck> make(const std::string& _checkconf) {
        testutil::writeFile(conf,
                            "ZONES_FILE=" + named + "\nSERVER_HOSTNAME=127.0.0.1:1\nTOKEN=t\n" +
                                "NAMED_CONF=" + named + "\nNAMED_CHECKCONF=" + _checkconf + "\n");
        ConfigFileParser config(conf);
        return std::make_unique<BindCheck>(&config);
    }
    // A stand-in checker: a shell script with |_body| and |_mode|.
    std::string script(const std::string& _body, mode_t _mode = 0755) {
        testutil::writeFile(dir.file("checker"), "#!/bin/sh\n" + _body + "\n");
        chmod(dir.file("checker").c_str(), _mode);
        return dir.file("checker");
    }

    testutil::TempDir dir;
    const std::string named = dir.file("named.conf");
    const std::string conf = dir.file("vantrel.conf");
};

// Each stand-in ends in a verdict within its deadline while the caller's own
// loop keeps turning; only an exit status 0 accepts.
TEST_F(BindCheckTest, StandInCheckersEndInTheirVerdictWithoutHoldingTheLoop) {
    testutil::writeFile(named, "");
    const std::string hang = "sleep 60 & echo $! > " + dir.file("pid") + "; wait";
    const std::string flood = "head -c 8000000 /dev/zero | tr '\\0' x; exit 1";
    const std::vector<std::tuple<std::string, mode_t, bindVerdict, std::string>> cases = {
        {"exit 0", 0755, bindVerdict::Accepted, ""},
        {"read line; echo \"$1:3: unknown option '$line'\"; exit 1", 0755, bindVerdict::Refused,
         named + ":3: unknown option ''"},
        {"echo 'isc_dir_chroot: permission denied' >&2; exit 1", 0755, bindVerdict::Failed,
         "\" exited with status 1: isc_dir_chroot: permission denied"},
        {"kill -PIPE $$", 0755, bindVerdict::Failed, "\" was killed by signal 13"},
        {hang, 0755, bindVerdict::Failed, "\" gave no verdict within 2 s and was killed"},
        {flood, 0755, bindVerdict::Failed, "\" exited with status 1: xxxxxxxx"},
        {"exit 0", 0644, bindVerdict::Failed, "\" cannot be run (Permission denied)"},
        {"", 0, bindVerdict::Failed, "\" cannot be run (it is a directory)"},
        {"-", 0755, bindVerdict::Failed, "\" cannot be run (No such file or directory)"}};
    signal(SIGPIPE, SIG_IGN);  // as in the agent; the checker gets the default
    for (const auto& [body, mode, verdict, message] : cases) {
        std::unique_ptr<BindCheck> check = make(mode == 0 ? dir.path() : script(body, mode));
        check->setDeadline(2);
        if (body == "-") {
            unlink(dir.file("checker").c_str());
        }
        int turns = 0;
        for (bool running = check->start({}); running && !check->service(); ++turns) {
            pollfd readable{check->getFd(), POLLIN, 0};
            poll(&readable, check->getFd() >= 0 ? 1 : 0, std::min(check->getWaitMs(), 50));
        }
        EXPECT_EQ(check->getVerdict(), verdict) << body;
        EXPECT_NE(check->getMessage().find(message), std::string::npos) << check->getMessage();
        EXPECT_LE(check->getMessage().size(), 1100u);
        if (body == hang) {
            EXPECT_GE(turns, 20) << "the loop turned while the checker hung";
            const std::string stat =
                "/proc/" + std::to_string(std::stoi(testutil::readFile(dir.file("pid")))) + "/stat";
            EXPECT_TRUE(testutil::waitUntil([&] {
                return testutil::readFile(stat).find(") S") == std::string::npos;
            })) << "the checker's own child was killed with it";
        }
        EXPECT_FALSE(check->isRunning());
    }
    signal(SIGPIPE, SIG_DFL);
}

// A verdict stands for a minute while neither the configuration nor a file
// read changes; a change starts a new check, also over a running one.
TEST_F(BindCheckTest, AVerdictIsReusedUntilAFileChanges) {
    testutil::writeFile(named, "");
    const std::string zones = dir.file("zones.conf");
    testutil::writeFile(zones, "a");
    const std::string runs = dir.file("runs");
    const std::unique_ptr<BindCheck> check =
        make(script("echo start >> " + runs + "; sleep 1; echo end >> " + runs));
    EXPECT_EQ(check->runToEnd({zones}), bindVerdict::Accepted);
    EXPECT_FALSE(check->start({zones}));
    testutil::writeFile(zones, "bb");
    EXPECT_TRUE(check->start({zones}));
    testutil::waitUntil([&] { return testutil::countOf(testutil::readFile(runs), "start") == 2; });
    testutil::writeFile(named, "c");
    EXPECT_EQ(check->runToEnd({zones}), bindVerdict::Accepted);
    EXPECT_FALSE(check->start({zones}));
    EXPECT_EQ(testutil::readFile(runs), "start\nend\nstart\nstart\nend\n");
}

TEST_F(BindCheckTest, TheRealCheckerRefusesWithBindsMessageAndAccepts) {
    const std::unique_ptr<BindCheck> check = make("");
    if (!check->isEnabled()) {
        GTEST_SKIP() << check->getDescription();
    }
    const std::string zone = "zone \"a.example\" { type master; file \"db.a\"; };\n";
    testutil::writeFile(named, "options {\n directory \"" + dir.path() +
                                   "\";\n max-stale-ttl: 43200;\n};\n" + zone);
    EXPECT_EQ(check->runToEnd({}), bindVerdict::Refused);
    EXPECT_EQ(check->getMessage(), named + ":3: unknown option 'max-stale-ttl:'");
    testutil::writeFile(named, "options { directory \"" + dir.path() + "\"; };\n" + zone);
    EXPECT_EQ(check->runToEnd({}), bindVerdict::Accepted);
    EXPECT_EQ(check->getMessage(), "");
    EXPECT_GT(check->getPeakKiB(), 0);
}

// Check mode as the user nobody: an include only root may read is named, with
// the user who needs read access; a check turned off says so.
TEST_F(BindCheckTest, CheckModeNamesTheIncludeTheAgentsUserCannotRead) {
    if (geteuid() != 0 || !make("")->isEnabled()) {
        GTEST_SKIP() << "needs root to drop to nobody, and named-checkconf";
    }
    const std::string key = dir.file("rndc.key");
    testutil::writeFile(key, "key \"k\" { algorithm hmac-sha256; secret \"aaaa\"; };\n");
    testutil::writeFile(named, "options { directory \"" + dir.path() + "\"; };\ninclude \"" + key +
                                   "\";\nzone \"a.example\" { type master; file \"db.a\"; };\n");
    chmod(key.c_str(), 0600);
    chmod(dir.path().c_str(), 0755);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Error: BIND's checker gave no verdict: the checker \""},
        {"", "named-checkconf\" cannot read \"" + key + "\" (permission denied, included at " +
                 named + ":2); grant the user nobody read access to it and its folders"},
        {"none", "BIND's checker: off: NAMED_CHECKCONF=none; deletions go without"}};
    for (const auto& [checkconf, expected] : cases) {
        make(checkconf);
        chmod(conf.c_str(), 0644);
        const testutil::ProcessResult r = testutil::runInChild([&] {
            const passwd* nobody = getpwnam("nobody");
            if (setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) {
                execl(VANTREL_BINARY, VANTREL_BINARY, "-t", "-c", conf.c_str(), nullptr);
            }
        });
        EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    }
}

}  // namespace
