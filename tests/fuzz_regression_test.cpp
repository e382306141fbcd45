// Replays the fuzz targets' seed corpora and the inputs that once made a
// fuzz target fail (fuzz/regressions/<target>/) through the same checks the
// targets run, so that every fixed fault stays fixed in the ordinary and the
// sanitizer test builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ConfigFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "test_util.h"

namespace {

TEST(FuzzRegression, StoredInputsPassTheirTargetsChecks) {
    testutil::TempDir dir;
    const std::pair<const char*, std::string (*)(const std::string&, const std::string&)>
        targets[] = {{"config_fuzz", fuzzchecks::checkConfig},
                     {"zones_fuzz", fuzzchecks::checkZones},
                     {"reply_fuzz", fuzzchecks::checkReply}};
    for (const auto& target : targets) {
        size_t replayed = 0;
        for (const char* kind : {"/fuzz/corpus/", "/fuzz/regressions/"}) {
            std::error_code missing;
            for (const auto& entry : std::filesystem::directory_iterator(
                     VANTREL_SOURCE_DIR + std::string(kind) + target.first, missing)) {
                SCOPED_TRACE(entry.path().string());
                testing::internal::CaptureStdout();
                const std::string problem =
                    target.second(dir.path(), testutil::readFile(entry.path()));
                testing::internal::GetCapturedStdout();
                EXPECT_EQ(problem, "");
                ++replayed;
            }
        }
        EXPECT_GT(replayed, 0u) << target.first;
    }
}

}  // namespace
