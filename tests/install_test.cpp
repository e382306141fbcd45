// The package's configuration template, decoded by the agent's own parser.
// The package itself is checked by lintian for each release it is built for
// and tried under a real systemd by the system test (tests/system/run.sh).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "ConfigFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "test_util.h"

// A valid configuration whose sample lines, switched on, give what the agent
// holds without them: the samples show the defaults.
TEST(PackageTest, TheTemplateIsAValidConfigurationWhoseSamplesAreTheDefaults) {
    const testutil::TempDir dir;
    const std::string path = VANTREL_SOURCE_DIR "/packaging/vantrel.conf.example";
    const std::string text = testutil::readFile(path);
    ASSERT_EQ(text.empty() ? ' ' : text.back(), '\n');
    const ConfigFileParser config(path);
    const std::regex sample(
        "\n//((MAX_DELETE_PERCENT|DELETE_GRACE|WATCH_ZONES_FILE|METRICS_FILE|"
        "UPDATE_INTERVAL)=)");
    testutil::writeFile(dir.file("samples.conf"), std::regex_replace(text, sample, "\n$1"));
    ASSERT_EQ(testutil::readFile(dir.file("samples.conf")).size() + 10, text.size())
        << "five samples";
    const ConfigFileParser on(dir.file("samples.conf"));
    EXPECT_EQ(fuzzchecks::settingsOf(on), fuzzchecks::settingsOf(config));
    EXPECT_FALSE(config.getLoggingLevel() != INFO || config.getDaemonize() ||
                 !config.getDecodeWarnings().empty() || !on.getDecodeWarnings().empty());
}
