// The command line, the choice of the configuration file and check mode,
// through the real binary run as a subprocess. None of these runs reaches a
// service: the host is a closed port on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <regex>

#include "test_util.h"

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
    // Arguments, exit status, the whole output as a regular expression.
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"-h"},
         0,
         kVersion + "\n     Arguments:\n"
                    "\t-h or --help                 This screen                   \n"
                    "\t-c or --config <filename>    Specifies configuration file  \n"
                    "\t-v or --version              Prints version number         \n"
                    "\t-t or --test                 Checks configuration and exits\n"
                    "\t--plan \\[--json\\]              Shows what a start would change\n"
                    "\t--allow-deletions <count>    Lets the agent send held deletions\n"},
        {{"-c", "x.conf", "--version", "-x"}, 0, "Using config file: x\\.conf\n" + kVersion},
        {{"-x"}, 1, "Unknown argument:-x\n"},
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
    config("MAX_DELETE_PERCENT=200\n", 0644);
    expectHolds(run({"-c", "missing.conf"}, testutil::seconds(3)).out,
                {"Using config file: missing.conf\nUsing config file: vantrel.conf\n",
                 "Warning: Configuration file \"missing.conf\" given with -c does not exist",
                 "Warning: vantrel.conf holds the service token and is readable by group or others",
                 "Warning: MAX_DELETE_PERCENT \"200\" is not a number from 0 to 100; using 50."});
    EXPECT_EQ(run({"-c", config()}, testutil::seconds(3)).out.find("Warning:"), std::string::npos);

    testutil::writeFile(zonesPath,
                        "zone \"b\" { type master; };\nzone \"a\" { type primary; };\nzone \"t\" { "
                        "TYPE secondary; };\ninclude \"more.conf\";\n");
    const testutil::ProcessResult sound = run({"-t", "-c", config()});
    EXPECT_EQ(sound.status, 0) << sound.out;
    expectHolds(sound.out,
                {"TOKEN=abcd********\n", "MAX_DELETE_PERCENT=50\n", "DELETE_GRACE=60\n",
                 "WATCH_ZONES_FILE=TRUE\n",
                 "FOLLOW_INCLUDES=FALSE\n",
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

}  // namespace
