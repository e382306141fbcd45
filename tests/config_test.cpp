// Decoding of the configuration file, over real files in a temporary folder.
// The fuzzers compare every decoding with an independent reference; these
// cases pin down the rules an operator trips over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>

#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

using Config = const ConfigFileParser&;
using Getter = std::function<std::string(Config)>;

TEST(ConfigDecoding, FollowsTheLineCommentAndValueRules) {
    const Getter token = [](Config c) { return c.getToken(); };
    const Getter interval = [](Config c) { return std::to_string(c.getUpZoneInterval()); };
    const Getter percent = [](Config c) { return std::to_string(c.getMaxDeletePercent()); };
    const Getter flags = [](Config c) {
        return std::string(c.getDaemonize() ? "D" : "-") + (c.getWatchZonesFile() ? "W" : "-") +
               std::to_string(c.getLoggingLevel());
    };
    const std::string nul("TOKEN=a\0b\nZONES_FILE=/z//x\n", 27);
    const std::vector<std::tuple<std::string, Getter, std::string>> cases = {
        {"TOKEN=abc", token, ""},           // no line feed: not taken
        {"x\n\nTOKEN=abc\n", token, ""},    // one character joins the next line
        {"TOKEN= a=b \n", token, " a=b "},  // raw value after the first "="
        {"TOKEN=abc # note\n# TOKEN=x\n", token, "abc # note"},
        {"TOKEN=ab/*/cd\n", token, "abcd"},  // "/*/" is a whole comment
        {"TOKEN=a\nTOKEN=b /* open\nTOKEN=c\n", token, "a"},
        {"TOKEN=t\r\n", token, "t\r"},
        {nul, [](Config c) { return c.getZoneFileName(); }, "/z//x"},
        {"SERVER_HOSTNAME=https://h\n", [](Config c) { return c.getServerHostname(); }, "https:"},
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
    for (const auto& [content, get, expected] : cases) {
        SCOPED_TRACE(content);
        testutil::writeFile(path, content);
        const ConfigFileParser config(path);
        EXPECT_EQ(get(config), expected);
        // The values that cannot be used keep their default and warn.
        const bool warned = std::regex_search(content, std::regex("=(101|-1|all|no)\n"));
        EXPECT_EQ(config.getDecodeWarnings().size(), warned ? 1u : 0u);
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

}  // namespace
