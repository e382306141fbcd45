// The process-level parts: the command line, the choice of the configuration
// file and check mode, through the real binary (its host is a closed port on
// 127.0.0.1: no run reaches a service); the configuration file's links and
// unreadable files (the stored fuzz inputs pin down its line, comment and
// value rules against an independent reference); the logging channels, the
// stop handler and the cPanel user-domains loader, whose progress lines go
// to standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <regex>
#include <utility>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "Signals.h"
#include "test_util.h"
#include "userFileLoader.h"

namespace {

// The version line: "Build date:" and the layout of __DATE__ " " __TIME__.
const std::string kVersion =
    "Vantrel 2\\.0\\.0 -- Build date:[A-Z][a-z]{2} [ \\d]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\n";

// Expects |text| to hold every one of |parts|.
void expectHolds(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

class CommandLineTest : public testing::Test {
protected:
    // Runs the agent with |args| to its end, or until |timeout| (a start: its
    // warnings come at once).
    testutil::ProcessResult run(std::vector<std::string> args,
                                testutil::milliseconds timeout = testutil::seconds(30)) {
        args.insert(args.begin(), VANTREL_BINARY);
        return testutil::runProcess(args, dir.path(), timeout);
    }

    // A configuration naming a closed port, with |extra| lines and |mode|.
    std::string config(const std::string& extra = "", mode_t mode = 0600) {
        testutil::writeFile(conf, "ZONES_FILE=" + zonesPath +
                                      "\nSERVER_HOSTNAME=127.0.0.1:1\nTOKEN=abcdefghijkl\n" +
                                      extra);
        chmod(conf.c_str(), mode);
        return conf;
    }

    testutil::TempDir dir;
    const std::string zonesPath = dir.file("named.conf");
    const std::string conf = dir.file("vantrel.conf");
};

TEST_F(CommandLineTest, HelpVersionAndUsageErrorsHaveTheirLayoutAndStatus) {
    // Arguments, exit status, the whole output as a regular expression (the
    // help: each option on a line of its own, in this order).
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"-h"},
         0,
         kVersion + "\n     Arguments:\n\t-h or --help .*\n\t-c or --config <filename> "
                    ".*\n\t-v or --version .*\n\t-t or --test .*\n\t--plan \\[--json\\] .*\n"
                    "\t--allow-deletions <count> .*\n"},
        {{"-c", "x.conf", "--version", "-x"}, 0, "Using config file: x\\.conf\n" + kVersion},
        {{"--config=x.conf"}, 1, "Unknown argument:--config=x\\.conf\n"},
        {{"-c"}, 1, "No configuration file specified\\.\n"},
        {{"-c", "-v"},
         255,
         "Using config file: -v\nNo configuration file found; tried -v, /etc/vantrel\\.conf, "
         "vantrel\\.conf, /etc/orvel\\.conf\\.\nError reading file \n"},
        {{"-c", dir.path()}, 255, "Using config file: " + dir.path() + "\nNot a regular file!\n"}};
    for (const auto& [args, status, output] : cases) {
        const testutil::ProcessResult r = run(args);
        EXPECT_EQ(r.status, status) << output;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(output))) << r.out;
    }
}

// A start warns about a -c file that does not exist, a token file others may
// read and unusable values; check mode reports the settings, the zones and
// every problem.
TEST_F(CommandLineTest, StartWarningsAndCheckModeReportsWithoutARequest) {
    config("MAX_DELETE_PERCENT=200\nWATCH_ZONES_FILE=no\n", 0644);
    expectHolds(run({"-c", "missing.conf"}, testutil::seconds(3)).out,
                {"Using config file: missing.conf\nUsing config file: vantrel.conf\n",
                 "Warning: Configuration file \"missing.conf\" given with -c does not exist",
                 "Warning: vantrel.conf holds the service token and is readable by group or others",
                 "Warning: MAX_DELETE_PERCENT \"200\" is not a number from 0 to 100; using 50.",
                 "Warning: WATCH_ZONES_FILE \"no\" is neither TRUE nor FALSE; using TRUE."});
    EXPECT_EQ(run({"-c", config()}, testutil::seconds(3)).out.find("Warning:"), std::string::npos);

    testutil::writeFile(zonesPath,
                        "zone \"b\" { type master; };\nzone \"a\" { type primary; };\nzone \"t\" { "
                        "TYPE secondary; };\ninclude \"more.conf\";\n");
    const testutil::ProcessResult sound = run({"-t", "-c", config()});
    EXPECT_EQ(sound.status, 0) << sound.out;
    expectHolds(sound.out,
                {"TOKEN=abcd********\n", "MAX_DELETE_PERCENT=50\n", "DELETE_GRACE=60\n",
                 "WATCH_ZONES_FILE=TRUE\n", "FOLLOW_INCLUDES=FALSE\n",
                 "Master zones: 2\n  a\n  b\nNot mirrored: 1\n  t: "
                 "not primary (type secondary)\n",
                 "named.conf\" includes \"more.conf\", not read while FOLLOW_INCLUDES=FALSE.",
                 "Configuration OK.\n"});
    EXPECT_EQ(sound.out.find("abcdefghijkl"), std::string::npos);

    // Each problem, and a -c file that does not exist ("-"): status 1.
    testutil::writeFile(zonesPath, "zone \"a.example\" { type master;\n");
    const std::vector<std::pair<std::string, std::string>> problems = {
        {"TOKEN=\n", "Error: SERVER_HOSTNAME or TOKEN is empty."},
        {"SERVER_HOSTNAME=https://h\n", "was cut short by a \"//\" comment"},
        {"TOKEN=x\r\n", "Error: TOKEN ends in a carriage return"},
        {"CA_FILE=" + dir.file("none.pem") + "\n", "Error: CA_FILE \"" + dir.file("none.pem")},
        {"ZONES_FILE=" + dir.file("none.conf") + "\n", "does not exist"},
        {"", "named.conf:1: \"{\" of line 1 is not closed at the end of the file"},
        {"-", "Error: Configuration file \"missing.conf\" given with -c"}};
    for (const auto& [extra, error] : problems) {
        const auto r = run({"-t", "-c", extra == "-" ? "missing.conf" : config(extra)});
        EXPECT_EQ(r.status, 1) << extra;
        expectHolds(r.out, {error, "Configuration has errors.\n"});
    }
}

// A missing file and a folder are refused by the command-line tests; a link
// is refused too, and a file that cannot be read gives the defaults.
TEST(ConfigDecoding, LinksEndTheProcessWith255AndUnreadableFilesGiveDefaults) {
    testutil::TempDir dir;
    const std::string real = dir.file("real.conf");
    testutil::writeFile(real, "TOKEN=abc\n");
    symlink(real.c_str(), dir.file("link.conf").c_str());
    const auto result =
        testutil::runInChild([&] { ConfigFileParser config(dir.file("link.conf")); });
    EXPECT_EQ(std::to_string(result.status) + " " + result.out, "255 Not a regular file!\n");
    chmod(real.c_str(), 0);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(testutil::runAsNobody([&] { return int(ConfigFileParser(real).getToken().size()); }),
              0);
}

// What the system log was given, a line each as "priority:message".
std::string logged;

TEST(EventLog, ForegroundWritesEveryLevelAndDetachedFiltersAtInfoPriority) {
    testutil::TempDir dir;
    const syslogWriter previous = setSyslogWriter(
        [](int p, const std::string& m) { logged += std::to_string(p) + ":" + m + "|"; });
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LOG_LEVEL=ERROR\n", "d %s\ni\nw\ne\n"},  // foreground: unfiltered
        {"DAEMONIZE=TRUE\nLOG_LEVEL=WARN\n", "6:w|6:e|"},
        {"DAEMONIZE=TRUE\n", "6:d %s|6:i|6:w|6:e|"}};  // 6: LOG_INFO
    for (const auto& [lines, expected] : cases) {
        testutil::writeFile(dir.file("vantrel.conf"), lines);
        const ConfigFileParser config(dir.file("vantrel.conf"));
        setLogChannel(config.getDaemonize(), config.getLoggingLevel());
        testing::internal::CaptureStdout();
        eventLog(DEBUG, "d %s");
        eventLog(INFO, "i");
        eventLog(WARN, "w");
        eventLog(ERROR, "e");
        EXPECT_EQ(testing::internal::GetCapturedStdout() + std::exchange(logged, ""), expected);
    }
    setLogChannel(false, DEBUG);
    setSyslogWriter(previous);
}

TEST(StopHandler, EachCaughtStopSignalIsLoggedOnceAtCriticalPriority) {
    const testutil::ProcessResult result = testutil::runInChild([] {
        setSyslogWriter([](int p, const std::string& m) { std::cout << p << ":" << m << "\n"; });
        signalCatcher(SIGUSR1);
        std::cout << "stop " << StopFlag << "\n";
        signalCatcher(SIGTERM);
        signalCatcher(SIGINT);
        signalCatcher(SIGTERM);
        reportCaughtSignals();
    });
    const std::string term = "2:Received SIGTERM... Quiting.\n";  // 2: LOG_CRIT
    EXPECT_EQ(result.out, "stop 0\n" + term + term + "2:Received SIGINT... Quiting.\n");
}

TEST(UserFileLoader, LoadsTrimmedEntriesAndKeepsTheListWhenAReloadFails) {
    testutil::TempDir dir;
    userFileLoader loader(nullptr);
    const auto reload = [&](const std::string& _path) {
        loader.setDomainsFile(_path);
        testing::internal::CaptureStdout();
        loader.reloadData();
        return testing::internal::GetCapturedStdout();
    };
    testutil::writeFile(dir.file("userdomains"), "  example.com :  alice \n\nnocolon\nb.org:\r\n");
    EXPECT_EQ(reload(dir.file("userdomains")),
              "Found zone:example.com -- username:alice\nFound zone:b.org -- username:\n"
              "Total zones 2\n");
    EXPECT_EQ(reload(dir.file("missing")), "CPanel UserFile: Error reading file\n");
    EXPECT_EQ(loader.getZonesVector()->size(), 2u);
}

}  // namespace
