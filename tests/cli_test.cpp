// The command line through the real binary, run as a subprocess.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "test_util.h"

namespace {

const std::string kVersionPattern =
    "Vantrel 2\\.0\\.0 -- Build date:[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n";

testutil::ProcessResult runVantrel(const std::vector<std::string>& args, const std::string& workdir,
                                   const std::string& stopWhen = "") {
    std::vector<std::string> argv{VANTREL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runProcess(argv, workdir, stopWhen);
}

// A configuration that lets the agent start without reaching any service.
const char kQuietConfig[] =
    "ZONES_FILE=/nonexistent/named.conf\nSERVER_HOSTNAME=127.0.0.1:1\nUPDATE_INTERVAL=60\n";

class CommandLineTest : public testing::Test {
protected:
    testutil::TempDir dir;
};

TEST_F(CommandLineTest, HelpScreenHasExactLayout) {
    const testutil::ProcessResult r = runVantrel({"-h"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const std::string body =
        "\n"
        "     Arguments:\n"
        "\t-h or --help                 This screen                   \n"
        "\t-c or --config <filename>    Specifies configuration file  \n"
        "\t-v or --version              Prints version number         \n"
        "\t-t or --test                 Checks configuration and exits\n";
    const size_t firstLineEnd = r.out.find('\n') + 1;
    EXPECT_TRUE(std::regex_match(r.out.substr(0, firstLineEnd), std::regex(kVersionPattern)));
    EXPECT_EQ(r.out.substr(firstLineEnd), body);
}

TEST_F(CommandLineTest, VersionLineShape) {
    for (const char* option : {"-v", "--version"}) {
        const testutil::ProcessResult r = runVantrel({option}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(kVersionPattern))) << r.out;
    }
}

TEST_F(CommandLineTest, ExitStatusesAndMessages) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"-x"}, 1, "Unknown argument:-x\n"},
        {{"--config=x.conf"}, 1, "Unknown argument:--config=x.conf\n"},
        {{"-cfile"}, 1, "Unknown argument:-cfile\n"},
        {{"-c"}, 1, "No configuration file specified.\n"},
        {{"--config"}, 1, "No configuration file specified.\n"},
        {{"-c", "a.conf", "-x", "-v"}, 1, "Using config file: a.conf\nUnknown argument:-x\n"},
        {{"-c", "/nonexistent/x.conf"},
         255,
         "Using config file: /nonexistent/x.conf\nError reading file \n"},
    };
    for (const auto& c : cases) {
        const testutil::ProcessResult r = runVantrel(c.args, dir.path());
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
    }
}

TEST_F(CommandLineTest, ConfigThenVersionPrintsBothAndReadsNothing) {
    const testutil::ProcessResult r = runVantrel({"-c", "x.conf", "-v"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("Using config file: x\\.conf\n" + kVersionPattern)))
        << r.out;
}

TEST_F(CommandLineTest, DashAfterConfigIsTakenAsPath) {
    const testutil::ProcessResult r = runVantrel({"-c", "-v"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Using config file: -v\nError reading file \n");
}

TEST_F(CommandLineTest, RepeatedConfigLastWins) {
    testutil::writeFile(dir.file("b.conf"), kQuietConfig);
    const testutil::ProcessResult r =
        runVantrel({"-c", "a.conf", "-c", "b.conf"}, dir.path(), "Build date:");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out.rfind(
            "Using config file: a.conf\nUsing config file: b.conf\nUsing config file: b.conf\n", 0),
        0u)
        << r.out;
}

TEST_F(CommandLineTest, MissingConfigFallsThroughToWorkingDirectoryCandidate) {
    testutil::writeFile(dir.file("vantrel.conf"), kQuietConfig);
    const testutil::ProcessResult r = runVantrel({"-c", "missing.conf"}, dir.path(), "Build date:");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Using config file: missing.conf\nUsing config file: vantrel.conf\n", 0),
              0u)
        << r.out;
}

TEST_F(CommandLineTest, TokenReadableByOthersIsWarnedAboutAtStart) {
    const std::string path = dir.file("vantrel.conf");
    for (const mode_t mode : {0644, 0640, 0600}) {
        testutil::writeFile(path, std::string(kQuietConfig) + "TOKEN=secret\n");
        chmod(path.c_str(), mode);
        const testutil::ProcessResult r = runVantrel({"-c", path}, dir.path(), "Build date:");
        EXPECT_EQ(r.status, 0);
        const bool warned = r.out.find("Warning: " + path +
                                       " holds the service token and is readable by group or "
                                       "others") != std::string::npos;
        EXPECT_EQ(warned, mode != 0600) << std::oct << mode << "\n" << r.out;
    }
}

TEST_F(CommandLineTest, DirectoryNamedLikeCandidateIsChosenAndRefused) {
    ASSERT_EQ(mkdir(dir.file("vantrel.conf").c_str(), 0755), 0);
    const testutil::ProcessResult r = runVantrel({}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Not a regular file!\n");
}

}  // namespace
