// The command line, the choice of the configuration file and check mode,
// through the real binary run as a subprocess. None of these runs reaches a
// service: the host is a closed port on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <regex>

#include "test_util.h"

namespace {

const char kVersion[] =
    "Vantrel 2\\.0\\.0 -- Build date:[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6]"
    "[0-9]\n";

class CommandLineTest : public testing::Test {
protected:
    testutil::ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{VANTREL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::runProcess(argv, dir.path());
    }

    // Starts the agent, lets it reach its first pass and stops it; its output.
    std::string startAndStop(const std::vector<std::string>& args) {
        testutil::Child agent;
        std::vector<std::string> argv{VANTREL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        agent.start(argv, dir.path());
        EXPECT_TRUE(agent.waitForOutput("Zone reconciliation skipped"));
        agent.signal(SIGTERM);
        EXPECT_EQ(agent.waitExit(), 0);
        return agent.finalOutput();
    }

    std::string config(const std::string& extra = "", mode_t mode = 0600) {
        const std::string path = dir.file("vantrel.conf");
        testutil::writeFile(path, "ZONES_FILE=" + zonesPath +
                                      "\nSERVER_HOSTNAME=127.0.0.1:1\nTOKEN=abcdefghijkl\n" +
                                      extra);
        chmod(path.c_str(), mode);
        return path;
    }

    testutil::TempDir dir;
    std::string zonesPath = dir.file("named.conf");
};

TEST_F(CommandLineTest, HelpAndVersionHaveTheirExactLayout) {
    const testutil::ProcessResult help = run({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(std::regex_match(
        help.out, std::regex(std::string(kVersion) +
                             "\n     Arguments:\n"
                             "\t-h or --help                 This screen                   \n"
                             "\t-c or --config <filename>    Specifies configuration file  \n"
                             "\t-v or --version              Prints version number         \n"
                             "\t-t or --test                 Checks configuration and exits\n")))
        << help.out;
    const testutil::ProcessResult version = run({"-c", "x.conf", "--version", "-x"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(
        version.out, std::regex(std::string("Using config file: x\\.conf\n") + kVersion)));
}

TEST_F(CommandLineTest, UsageErrorsAndUnusableConfigurationsExitWithTheirStatus) {
    mkdir(dir.file("folder").c_str(), 0755);
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"-x"}, 1, "Unknown argument:-x\n"},
        {{"--config=x.conf"}, 1, "Unknown argument:--config=x.conf\n"},
        {{"-c"}, 1, "No configuration file specified.\n"},
        {{"-c", "-v"},
         255,
         "Using config file: -v\nNo configuration file found; tried -v, /etc/vantrel.conf, "
         "vantrel.conf, /etc/orvel.conf.\nError reading file \n"},
        {{"-c", dir.file("folder")},
         255,
         "Using config file: " + dir.file("folder") + "\nNot a regular file!\n"},
    };
    for (const auto& c : cases) {
        const testutil::ProcessResult r = run(std::get<0>(c));
        EXPECT_EQ(r.status, std::get<1>(c)) << std::get<2>(c);
        EXPECT_EQ(r.out, std::get<2>(c));
    }
}

TEST_F(CommandLineTest, StartWarnsAboutAMissingPathTokenExposureAndBadValues) {
    config("MAX_DELETE_PERCENT=200\n", 0644);
    const std::string out = startAndStop({"-c", "missing.conf"});
    EXPECT_EQ(out.rfind("Using config file: missing.conf\nUsing config file: vantrel.conf\n", 0),
              0u)
        << out;
    for (const char* warning :
         {"Warning: Configuration file \"missing.conf\" given with -c does not exist",
          "Warning: vantrel.conf holds the service token and is readable by group or others",
          "Warning: MAX_DELETE_PERCENT \"200\" is not a number from 0 to 100; using 50."}) {
        EXPECT_NE(out.find(warning), std::string::npos) << warning << "\n" << out;
    }
    EXPECT_EQ(startAndStop({"-c", config()}).find("Warning:"), std::string::npos);
}

TEST_F(CommandLineTest, CheckModeReportsSettingsZonesAndEveryProblemWithoutARequest) {
    testutil::writeFile(zonesPath,
                        "zone \"b.example\" { type master; };\nzone \"a.example\" { type primary; "
                        "};\nzone \"t.example\" { TYPE master; };\n");
    const testutil::ProcessResult sound = run({"-t", "-c", config()});
    EXPECT_EQ(sound.status, 0) << sound.out;
    for (const char* line :
         {"TOKEN=abcd********\n", "MAX_DELETE_PERCENT=50\n", "WATCH_ZONES_FILE=TRUE\n",
          "METRICS_FILE=\n", "Master zones: 2\n  a.example\n  b.example\n",
          "Warning: The type of zone \"t.example\" cannot be read", "Configuration OK.\n"}) {
        EXPECT_NE(sound.out.find(line), std::string::npos) << line << "\n" << sound.out;
    }
    EXPECT_EQ(sound.out.find("abcdefghijkl"), std::string::npos);

    const std::vector<std::pair<std::string, std::string>> problems = {
        {"TOKEN=\n", "Error: SERVER_HOSTNAME or TOKEN is empty."},
        {"SERVER_HOSTNAME=https://h\n", "was cut short by a \"//\" comment"},
        {"TOKEN=x\r\n", "Error: TOKEN ends in a carriage return"},
        {"CA_FILE=" + dir.file("none.pem") + "\n", "Error: CA_FILE \"" + dir.file("none.pem")},
        {"ZONES_FILE=" + dir.file("none.conf") + "\n", "does not exist"},
        {"ZONES_FILE=" + dir.file("cut.conf") + "\n",
         "cut.conf\": Zones file ends inside a block; deferring update."},
    };
    testutil::writeFile(dir.file("cut.conf"), "zone \"a.example\" { type master;\n");
    for (const auto& problem : problems) {
        const testutil::ProcessResult r = run({"-t", "-c", config(problem.first)});
        EXPECT_EQ(r.status, 1) << problem.first;
        EXPECT_NE(r.out.find(problem.second), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Configuration has errors.\n"), std::string::npos);
    }
    const testutil::ProcessResult missing = run({"-t", "-c", "missing.conf"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("Error: Configuration file \"missing.conf\" given with -c"),
              std::string::npos)
        << missing.out;
}

}  // namespace
