// Decoding of the configuration file, over real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <limits>

#include "ConfigFileParser.h"
#include "test_util.h"

namespace {

// What a decoded configuration holds; the defaults unless a case says else.
struct Settings {
    std::string zoneFile;
    std::string host;
    std::string token;
    bool daemonize = false;
    int32_t interval = 180;
    logLevel level = DEBUG;
    bool cpanelMethod = false;
    std::string caFile;
};

struct DecodeCase {
    const char* name;
    std::string content;
    Settings expected;
};

Settings with(std::function<void(Settings&)> change) {
    Settings s;
    change(s);
    return s;
}

const int32_t kMax = std::numeric_limits<int32_t>::max();
const int32_t kMin = std::numeric_limits<int32_t>::min();
const char kNulFile[] = "TOKEN=a\0b\nZONES_FILE=/z//x\n";

std::vector<DecodeCase> decodeCases() {
    return {
        {"AllKeys",
         "ZONES_FILE=/etc/bind/named.conf\nSERVER_HOSTNAME=dns.example.net\nTOKEN=abc\n"
         "DAEMONIZE=TRUE\nUPDATE_INTERVAL=60\nLOG_LEVEL=WARN\nCPANEL_METHOD=TRUE\n"
         "CA_FILE=/etc/ssl/ca.pem\n",
         with([](Settings& s) {
             s.zoneFile = "/etc/bind/named.conf";
             s.host = "dns.example.net";
             s.token = "abc";
             s.daemonize = true;
             s.interval = 60;
             s.level = WARN;
             s.cpanelMethod = true;
             s.caFile = "/etc/ssl/ca.pem";
         })},
        {"LastLineWithoutLineFeedIgnored", "TOKEN=abc", Settings()},
        {"OneCharacterLineJoinsNextSetting", "x\n\nTOKEN=abc\n", Settings()},
        {"TwoCharacterLineStandsAlone", "xy\nTOKEN=abc\n",
         with([](Settings& s) { s.token = "abc"; })},
        {"KeysAreExact", "token=a\nTOKEN =b\n  TOKEN=c\n", Settings()},
        {"SpaceAfterEqualsKeptInStrings", "TOKEN= abc\n",
         with([](Settings& s) { s.token = " abc"; })},
        {"DecodedValuesTrimSpaces", "DAEMONIZE=  TRUE  \nUPDATE_INTERVAL=  42\nLOG_LEVEL= ERROR \n",
         with([](Settings& s) {
             s.daemonize = true;
             s.interval = 42;
             s.level = ERROR;
         })},
        {"LowerCaseValuesNotRecognised", "DAEMONIZE=true\nLOG_LEVEL=error\n", Settings()},
        {"CrlfLineEnds",
         "ZONES_FILE=/z\r\nSERVER_HOSTNAME=h\r\nTOKEN=t\r\nDAEMONIZE=TRUE\r\nLOG_LEVEL=ERROR\r\n"
         "UPDATE_INTERVAL=30\r\n",
         with([](Settings& s) {
             s.zoneFile = "/z\r";
             s.host = "h\r";
             s.token = "t\r";
             s.interval = 30;
         })},
        {"EmptyValues",
         "TOKEN=abc\nTOKEN=\nCPANEL_METHOD=TRUE\nCPANEL_METHOD=\nLOG_LEVEL=ERROR\nLOG_LEVEL=\n"
         "DAEMONIZE=TRUE\nDAEMONIZE=\nUPDATE_INTERVAL=5\nUPDATE_INTERVAL=\n",
         with([](Settings& s) {
             s.daemonize = true;
             s.interval = 5;
         })},
        {"BlankValuesStoredInStrings", "TOKEN=   \nUPDATE_INTERVAL=   \n",
         with([](Settings& s) { s.token = "   "; })},
        {"RepeatedKeysLaterWinsButDaemonizeSticks",
         "TOKEN=a\nTOKEN=b\nDAEMONIZE=TRUE\nDAEMONIZE=FALSE\nCPANEL_METHOD=TRUE\nCPANEL_METHOD="
         "no\n",
         with([](Settings& s) {
             s.token = "b";
             s.daemonize = true;
         })},
        {"IntervalLetterGivesZero", "UPDATE_INTERVAL=abc\n",
         with([](Settings& s) { s.interval = 0; })},
        {"IntervalDigitsThenLetters", "UPDATE_INTERVAL=15min\n",
         with([](Settings& s) { s.interval = 15; })},
        {"IntervalNegative", "UPDATE_INTERVAL=-7\n", with([](Settings& s) { s.interval = -7; })},
        {"IntervalPlusSign", "UPDATE_INTERVAL=+9\n", with([](Settings& s) { s.interval = 9; })},
        {"IntervalHexReadsZero", "UPDATE_INTERVAL=0x10\n",
         with([](Settings& s) { s.interval = 0; })},
        {"IntervalSaturatesHigh", "UPDATE_INTERVAL=99999999999999999999\n",
         with([](Settings& s) { s.interval = kMax; })},
        {"IntervalSaturatesLow", "UPDATE_INTERVAL=-2147483649\n",
         with([](Settings& s) { s.interval = kMin; })},
        {"IntervalExactLimits", "UPDATE_INTERVAL=2147483647\n",
         with([](Settings& s) { s.interval = kMax; })},
        {"LineWithoutEqualsIsItsOwnValue", "TOKEN\nZONES_FILE\nUPDATE_INTERVAL\nDAEMONIZE\n",
         with([](Settings& s) {
             s.token = "TOKEN";
             s.zoneFile = "ZONES_FILE";
             s.interval = 0;
         })},
        {"FurtherEqualsKept", "TOKEN=a=b=c\n", with([](Settings& s) { s.token = "a=b=c"; })},
        {"SlashesCutUrlHost", "SERVER_HOSTNAME=https://dns.example.net\n",
         with([](Settings& s) { s.host = "https:"; })},
        {"HashStartsNoComment", "# TOKEN=x\nTOKEN=abc # note\n",
         with([](Settings& s) { s.token = "abc # note"; })},
        {"SlashStarSlashIsCompleteComment", "TOKEN=ab/*/cd\n",
         with([](Settings& s) { s.token = "abcd"; })},
        {"BlockCommentJoinsLines", "LOG_LEVEL=ERROR/*\n*/TOKEN=abc\n", Settings()},
        {"UnclosedBlockCommentLosesItsLine", "TOKEN=abc\nZONES_FILE=/z /* open\nHOST=x\n",
         with([](Settings& s) { s.token = "abc"; })},
        {"NulByteEndsCommentRemoval", std::string(kNulFile, sizeof(kNulFile) - 1),
         with([](Settings& s) {
             s.token = std::string("a\0b", 3);
             s.zoneFile = "/z//x";
         })},
    };
}

// Names the case instead of dumping its bytes in test listings.
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(ConfigDecodeTest, DecodesAsDocumented) {
    testutil::TempDir dir;
    const std::string path = dir.file("vantrel.conf");
    testutil::writeFile(path, GetParam().content);
    ConfigFileParser config(path);
    const Settings& want = GetParam().expected;
    EXPECT_EQ(config.getZoneFileName(), want.zoneFile);
    EXPECT_EQ(config.getServerHostname(), want.host);
    EXPECT_EQ(config.getToken(), want.token);
    EXPECT_EQ(config.getDaemonize(), want.daemonize);
    EXPECT_EQ(config.getUpZoneInterval(), want.interval);
    EXPECT_EQ(config.getLoggingLevel(), want.level);
    EXPECT_EQ(config.getCpanelMethod(), want.cpanelMethod);
    EXPECT_EQ(config.getCaFile(), want.caFile);
    EXPECT_EQ(config.getConfigFileName(), path);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigDecodeTest, testing::ValuesIn(decodeCases()),
                         [](const testing::TestParamInfo<DecodeCase>& info) {
                             return std::string(info.param.name);
                         });

// Builds a configuration from |path| in a child process; returns what it
// printed and its exit status.
testutil::ProcessResult constructInChild(const std::string& path) {
    return testutil::runInChild([&] { ConfigFileParser config(path); });
}

TEST(ConfigFileTest, MissingPathExitsWith255AndNamesIt) {
    const testutil::ProcessResult missing = constructInChild("/nonexistent/vantrel.conf");
    EXPECT_EQ(missing.out, "Error reading file /nonexistent/vantrel.conf\n");
    EXPECT_EQ(missing.status, 255);
    const testutil::ProcessResult empty = constructInChild("");
    EXPECT_EQ(empty.out, "Error reading file \n");
    EXPECT_EQ(empty.status, 255);
}

TEST(ConfigFileTest, SymbolicLinkAndDirectoryRefused) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("real.conf"), "TOKEN=abc\n");
    ASSERT_EQ(symlink(dir.file("real.conf").c_str(), dir.file("link.conf").c_str()), 0);
    for (const std::string& path : {dir.file("link.conf"), dir.path()}) {
        const testutil::ProcessResult result = constructInChild(path);
        EXPECT_EQ(result.out, "Not a regular file!\n") << path;
        EXPECT_EQ(result.status, 255) << path;
    }
}

TEST(ConfigFileTest, UnreadableFileGivesDefaults) {
    testutil::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string path = dir.file("vantrel.conf");
    testutil::writeFile(path, "TOKEN=secret\nUPDATE_INTERVAL=5\nDAEMONIZE=TRUE\n");
    chmod(path.c_str(), 0);
    const int status = testutil::runAsNobody([&] {
        ConfigFileParser config(path);
        const bool defaults = config.getToken().empty() && config.getUpZoneInterval() == 180 &&
                              !config.getDaemonize();
        return defaults ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(ConfigFileTest, RereadingAppendsAndEarlierKeysStay) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("a.conf"), "TOKEN=a\nZONES_FILE=/a\n");
    testutil::writeFile(dir.file("b.conf"), "TOKEN=b\n");
    ConfigFileParser config(dir.file("a.conf"));
    const uint64_t stamp = config.getRunTimestamp();
    config.setConfigFilename(dir.file("b.conf"));
    EXPECT_EQ(config.getToken(), "b");
    EXPECT_EQ(config.getZoneFileName(), "/a");
    EXPECT_EQ(config.getRunTimestamp(), stamp);
}

TEST(ConfigFileTest, AcceptableNeedsHostAndToken) {
    testutil::TempDir dir;
    const struct {
        const char* content;
        bool acceptable;
    } cases[] = {{"SERVER_HOSTNAME=h\nTOKEN=t\n", true},
                 {"SERVER_HOSTNAME=h\n", false},
                 {"TOKEN=t\n", false},
                 {"", false}};
    for (const auto& c : cases) {
        testutil::writeFile(dir.file("c.conf"), c.content);
        ConfigFileParser config(dir.file("c.conf"));
        EXPECT_EQ(config.isCofigAcceptable(), c.acceptable) << c.content;
    }
}

}  // namespace
