// BIND's checker as the agent runs it: stand-in checkers for what can go
// wrong (a hang, a flood, a program that cannot run), and the real
// named-checkconf through check mode as an unprivileged user.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <memory>
#include <tuple>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

class BindCheckTest : public testing::Test {
protected:
    // A check of |named| by |_checkconf| (the NAMED_CHECKCONF value).
    std::unique_ptr<BindCheck> make(const std::string& _checkconf) {
        testutil::writeFile(conf, "ZONES_FILE=" + named + "\nNAMED_CONF=" + named +
                                      "\nNAMED_CHECKCONF=" + _checkconf + "\n");
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
    const std::string hang = "sleep 60 & printf %s $! > " + dir.file("pid") + "; wait";
    const std::string flood = "head -c 8000000 /dev/zero | tr '\\0' x; exit 1";
    const std::vector<std::tuple<std::string, mode_t, bindVerdict, std::string>> cases = {
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
            const std::string stat = "/proc/" + testutil::readFile(dir.file("pid")) + "/stat";
            EXPECT_TRUE(testutil::waitUntil([&] {
                return testutil::readFile(stat).find(") S") == std::string::npos;
            })) << "the checker's own child was killed with it";
        }
    }
    signal(SIGPIPE, SIG_DFL);
}

// A verdict stands for a minute while neither the configuration nor a file
// read changes; a change starts a new check, also over a running one.
TEST_F(BindCheckTest, AVerdictIsReusedUntilAFileChanges) {
    const std::string runs = dir.file("runs");
    const std::unique_ptr<BindCheck> check =
        make(script("echo start >> " + runs + "; sleep 1; echo end >> " + runs));
    EXPECT_EQ(check->runToEnd({conf}), bindVerdict::Accepted);
    EXPECT_FALSE(check->start({conf}));
    testutil::writeFile(conf, "changed");
    EXPECT_TRUE(check->start({conf}));
    testutil::waitUntil([&] { return testutil::countOf(testutil::readFile(runs), "start") == 2; });
    testutil::writeFile(named, "");
    EXPECT_EQ(check->runToEnd({conf}), bindVerdict::Accepted);
    EXPECT_FALSE(check->start({conf}));
    EXPECT_EQ(testutil::readFile(runs), "start\nend\nstart\nstart\nend\n");
}

// The real checker through check mode, as the user nobody: an include only
// root may read named with the user who needs read access, and a good
// configuration.
TEST_F(BindCheckTest, CheckModeGivesTheRealCheckersVerdictAsTheAgentsUser) {
    const std::string checker = make("")->getDescription();
    if (geteuid() != 0 || checker.compare(0, 4, "off:") == 0) {
        GTEST_SKIP() << "needs root to drop to nobody, and named-checkconf: " << checker;
    }
    const std::string key = dir.file("rndc.key");
    testutil::writeFile(key, "key \"k\" { algorithm hmac-sha256; secret \"aaaa\"; };\n");
    chmod(key.c_str(), 0600);
    chmod(dir.path().c_str(), 0755);
    const std::string head = "options {\n directory \"" + dir.path() + "\";\n";
    const std::string zone = "};\nzone \"a.example\" { type master; file \"db.a\"; };\n";
    // (The agent holds a deletion for BIND's refusal, or lets it go with the
    // check off, in the end-to-end tests.)
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {head + zone + "include \"" + key + "\";\n", "",
         "Error: BIND's checker gave no verdict: the checker \"" +
             checker.substr(0, checker.find(' ')) + "\" cannot read \"" + key +
             "\" (permission denied, included at " + named +
             ":5); grant the user nobody read access to it and its folders"},
        {head + zone, "", "BIND's checker: " + checker + ": accepted in "}};
    for (const auto& [text, checkconf, expected] : cases) {
        testutil::writeFile(named, text);
        make(checkconf);
        const testutil::ProcessResult r = testutil::runProcess(
            {"/usr/sbin/runuser", "-u", "nobody", "--", VANTREL_BINARY, "-t", "-c", conf});
        EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    }
}

}  // namespace
