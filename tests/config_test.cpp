// Decoding of the configuration file, over real files in a temporary folder.
// The fuzzers compare every decoding with an independent reference; these
// cases pin down the rules an operator trips over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

struct DecodeCase {
    std::string content;
    std::function<std::string(const ConfigFileParser&)> get;
    std::string expected;
};

std::string token(const ConfigFileParser& c) {
    return c.getToken();
}
std::string interval(const ConfigFileParser& c) {
    return std::to_string(c.getUpZoneInterval());
}
std::string percent(const ConfigFileParser& c) {
    return std::to_string(c.getMaxDeletePercent());
}
std::string flags(const ConfigFileParser& c) {
    return std::string(c.getDaemonize() ? "D" : "-") + (c.getWatchZonesFile() ? "W" : "-") +
           std::to_string(c.getLoggingLevel());
}

TEST(ConfigDecoding, FollowsTheLineCommentAndValueRules) {
    const std::string nul("TOKEN=a\0b\nZONES_FILE=/z//x\n", 27);
    const DecodeCase cases[] = {
        {"TOKEN=abc", token, ""},           // no line feed: not taken
        {"x\n\nTOKEN=abc\n", token, ""},    // one character joins the next line
        {"TOKEN= a=b \n", token, " a=b "},  // raw value after the first "="
        {"TOKEN=abc # note\n# TOKEN=x\n", token, "abc # note"},
        {"TOKEN=ab/*/cd\n", token, "abcd"},  // "/*/" is a whole comment
        {"TOKEN=a\nTOKEN=b /* open\nTOKEN=c\n", token, "a"},
        {"TOKEN=t\r\n", token, "t\r"},
        {nul, [](const ConfigFileParser& c) { return c.getZoneFileName(); }, "/z//x"},
        {"SERVER_HOSTNAME=https://h\n",
         [](const ConfigFileParser& c) { return c.getServerHostname(); }, "https:"},
        {"UPDATE_INTERVAL=15min\n", interval, "15"},
        {"UPDATE_INTERVAL=abc\n", interval, "0"},
        {"UPDATE_INTERVAL=0x10\n", interval, "0"},
        {"UPDATE_INTERVAL=-99999999999\n", interval, "-2147483648"},
        {"UPDATE_INTERVAL=5\nUPDATE_INTERVAL=  \n", interval, "5"},
        {"MAX_DELETE_PERCENT=0\n", percent, "0"},
        {"MAX_DELETE_PERCENT= 100\n", percent, "100"},
        {"MAX_DELETE_PERCENT=101\n", percent, "50"},
        {"MAX_DELETE_PERCENT=-1\n", percent, "50"},
        {"MAX_DELETE_PERCENT=all\n", percent, "50"},
        {"MAX_DELETE_PERCENT=20\nMAX_DELETE_PERCENT=\n", percent, "20"},
        {"", flags, "-W0"},
        {"DAEMONIZE=TRUE\nDAEMONIZE=FALSE\nLOG_LEVEL= ERROR \n", flags, "DW3"},
        {"DAEMONIZE=true\nLOG_LEVEL=warn\nWATCH_ZONES_FILE=FALSE\n", flags, "--0"},
        {"WATCH_ZONES_FILE=no\nLOG_LEVEL=INFO\n", flags, "-W1"},
    };
    testutil::TempDir dir;
    const std::string path = dir.file("vantrel.conf");
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.content);
        testutil::writeFile(path, c.content);
        const ConfigFileParser config(path);
        EXPECT_EQ(c.get(config), c.expected);
        const bool warned = c.content.find("=101") != std::string::npos ||
                            c.content.find("=-1") != std::string::npos ||
                            c.content.find("=all") != std::string::npos ||
                            c.content.find("=no") != std::string::npos;
        EXPECT_EQ(config.getDecodeWarnings().size(), warned ? 1u : 0u);
    }
}

TEST(ConfigDecoding, UnusableFilesEndTheProcessWith255AndUnreadableOnesGiveDefaults) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("real.conf"), "TOKEN=abc\n");
    symlink(dir.file("real.conf").c_str(), dir.file("link.conf").c_str());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("missing.conf"), "Error reading file " + dir.file("missing.conf") + "\n"},
        {dir.file("link.conf"), "Not a regular file!\n"},
        {dir.path(), "Not a regular file!\n"},
    };
    for (const auto& c : cases) {
        const testutil::ProcessResult result =
            testutil::runInChild([&] { ConfigFileParser config(c.first); });
        EXPECT_EQ(result.status, 255) << c.first;
        EXPECT_EQ(result.out, c.second);
    }
    chmod(dir.file("real.conf").c_str(), 0);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(testutil::runAsNobody([&] {
                  const ConfigFileParser config(dir.file("real.conf"));
                  return config.getToken().empty() ? 0 : 1;
              }),
              0);
}

}  // namespace
