// Replays the fuzz targets' seed corpora and the inputs that once made a
// fuzz target fail (fuzz/regressions/<target>/) through the same checks the
// targets run, so that every fixed fault stays fixed in the ordinary and the
// sanitizer test builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ConfigFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "test_util.h"

namespace {

TEST(FuzzRegression, StoredInputsPassTheirTargetsChecks) {
    testutil::TempDir dir;
    const std::pair<const char*, std::function<std::string(const std::string&)>> targets[] = {
        {"config_fuzz",
         [&](const std::string& _in) { return fuzzchecks::checkConfig(dir.path(), _in); }},
        {"zones_fuzz",
         [&](const std::string& _in) { return fuzzchecks::checkZones(dir.path(), _in); }},
        {"reply_fuzz", [](const std::string& _in) { return fuzzchecks::checkReply(_in); }},
    };
    for (const auto& target : targets) {
        size_t replayed = 0;
        for (const char* kind : {"/fuzz/corpus/", "/fuzz/regressions/"}) {
            std::error_code missing;
            for (const auto& entry : std::filesystem::directory_iterator(
                     VANTREL_SOURCE_DIR + std::string(kind) + target.first, missing)) {
                SCOPED_TRACE(entry.path().string());
                testing::internal::CaptureStdout();
                const std::string problem = target.second(testutil::readFile(entry.path()));
                testing::internal::GetCapturedStdout();
                EXPECT_EQ(problem, "");
                ++replayed;
            }
        }
        EXPECT_GT(replayed, 0u) << target.first;
    }
}

}  // namespace
