// The logging entry point's two channels and the text utilities.
#include <gtest/gtest.h>
#include <syslog.h>

#include <utility>
#include <vector>

#include "ConfigFileParser.h"
#include "Vantrel.h"
#include "mylibs.h"
#include "test_util.h"

namespace {

std::vector<std::pair<int, std::string>> syslogLines;

void captureSyslog(int priority, const std::string& message) {
    syslogLines.emplace_back(priority, message);
}

// Points the global configuration at one decoded from |content| for the
// test's duration, and captures what would reach the system log.
class EventLogTest : public testing::Test {
protected:
    void useConfig(const std::string& content) {
        testutil::writeFile(dir.file("vantrel.conf"), content);
        config.reset(new ConfigFileParser(dir.file("vantrel.conf")));
        configFile = config.get();
    }
    void SetUp() override {
        saved = configFile;
        previousWriter = setSyslogWriter(captureSyslog);
        syslogLines.clear();
    }
    void TearDown() override {
        configFile = saved;
        setSyslogWriter(previousWriter);
    }
    void logOneOfEach() {
        eventLog(DEBUG, "d");
        eventLog(INFO, "i");
        eventLog(WARN, "w");
        eventLog(ERROR, "e");
    }
    std::vector<std::string> syslogTexts() {
        std::vector<std::string> texts;
        for (const auto& line : syslogLines) {
            EXPECT_EQ(line.first, LOG_INFO) << line.second;
            texts.push_back(line.second);
        }
        return texts;
    }

    testutil::TempDir dir;
    std::unique_ptr<ConfigFileParser> config;
    ConfigFileParser* saved = nullptr;
    syslogWriter previousWriter = nullptr;
};

TEST_F(EventLogTest, ForegroundWritesEveryLevelToStandardOutput) {
    useConfig("LOG_LEVEL=ERROR\n");
    testing::internal::CaptureStdout();
    logOneOfEach();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "d\ni\nw\ne\n");
    EXPECT_TRUE(syslogLines.empty());
}

TEST_F(EventLogTest, DetachedFiltersByThresholdAndWritesAtInfoPriority) {
    const struct {
        const char* level;
        std::vector<std::string> written;
    } cases[] = {
        {"DEBUG", {"d", "i", "w", "e"}},
        {"INFO", {"i", "w", "e"}},
        {"WARN", {"w", "e"}},
        {"ERROR", {"e"}},
    };
    for (const auto& c : cases) {
        useConfig(std::string("DAEMONIZE=TRUE\nLOG_LEVEL=") + c.level + "\n");
        syslogLines.clear();
        testing::internal::CaptureStdout();
        logOneOfEach();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.level;
        EXPECT_EQ(syslogTexts(), c.written) << c.level;
    }
}

TEST_F(EventLogTest, PercentSignsAreWrittenLiterally) {
    useConfig("");
    testing::internal::CaptureStdout();
    eventLog(ERROR, "zone %s%n%d.example");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "zone %s%n%d.example\n");
    useConfig("DAEMONIZE=TRUE\n");
    eventLog(ERROR, "zone %s%n%d.example");
    EXPECT_EQ(syslogTexts(), std::vector<std::string>{"zone %s%n%d.example"});
}

TEST(TextUtilitiesTest, TrimRemovesOnlySpaces) {
    const std::pair<std::string, std::string> cases[] = {
        {"  a b  ", "a b"}, {"\ta ", "\ta"}, {"", ""}, {"    ", ""}, {"x\r ", "x\r"}, {"ab", "ab"}};
    for (const auto& c : cases) {
        EXPECT_EQ(trim(c.first), c.second) << '"' << c.first << '"';
    }
}

TEST(TextUtilitiesTest, NumbersConvertLikeStreams) {
    EXPECT_EQ(intToStr(-42), "-42");
    EXPECT_EQ(intToStr(0), "0");
    EXPECT_EQ(strToInt("42abc"), 42);
    EXPECT_EQ(strToInt("abc"), 0);
    EXPECT_EQ(strToInt(""), 0);
    EXPECT_EQ(strToInt("  -17"), -17);
    EXPECT_EQ(strToInt("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(strToInt("-99999999999999999999"), INT64_MIN);
}

TEST(TextUtilitiesTest, GetNextTokenSkipsOneCharacter) {
    std::string line = "a, b,c";
    EXPECT_EQ(getNextToken(line, ","), "a");
    EXPECT_EQ(line, "b,c");
    std::string unchanged = "a b";
    EXPECT_EQ(getNextToken(unchanged, ";"), "");
    EXPECT_EQ(unchanged, "a b");
    std::string wide = "k::v";
    EXPECT_EQ(getNextToken(wide, "::"), "k");
    EXPECT_EQ(wide, ":v");
}

TEST(TextUtilitiesTest, DprintAddsExclamationMark) {
    testing::internal::CaptureStdout();
    dprint("hello");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hello!\n");
}

TEST(TextUtilitiesTest, StripCommentsFollowsTheScannerRules) {
    const std::pair<std::string, std::string> cases[] = {
        {"a // c\nb", "a \nb"},
        {"a /* c \n d */b", "a b"},
        {"a/*/ b", "a b"},
        {"a //* c\nb", "a \nb"},
        {"a */ b", "a */ b"},
        {"a /* open", "a "},
        {"a // open", "a "},
        {"\"x//y\" z\nw", "\"x\nw"},
        {std::string("a\0/*b*/", 8), std::string("a\0/*b*/", 8)},
        {std::string("/*\0*/x\0//y", 10), std::string("x\0//y", 5)},
    };
    for (const auto& c : cases) {
        std::string text = c.first;
        stripComments(&text);
        EXPECT_EQ(text, c.second) << c.first;
    }
}

TEST(TextUtilitiesTest, ZoneNamesCompareWithoutAsciiCase) {
    EXPECT_TRUE(sameZoneName("C.Example", "c.example"));
    EXPECT_FALSE(sameZoneName("c.example", "c.example."));
    EXPECT_FALSE(sameZoneName("\xc3\x89.example", "\xc3\xa9.example"));
    EXPECT_EQ(asciiLower("MiXeD-\xC3\x89"), "mixed-\xC3\x89");
}

}  // namespace
