// Replays the fuzz targets' seed corpora and the inputs that once made a
// fuzz target fail (fuzz/regressions/<target>/) through the same checks the
// targets run, so that every fixed fault stays fixed in the ordinary and the
// sanitizer test builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "fuzz/fuzz_checks.h"
#include "fuzz/zones_model.h"
#include "test_util.h"

namespace {

// One stored input: where it came from and its bytes.
struct StoredInput {
    std::string path;
    std::string bytes;
};

// Every file of |folder|, sorted by path; none when the folder is missing.
std::vector<StoredInput> inputsIn(const std::string& folder) {
    std::vector<StoredInput> inputs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.push_back({entry.path().string(), std::string(std::istreambuf_iterator<char>(in),
                                                             std::istreambuf_iterator<char>())});
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const StoredInput& a, const StoredInput& b) { return a.path < b.path; });
    return inputs;
}

// The seed corpus and the regression inputs of fuzz target |target|.
std::vector<StoredInput> inputsOf(const std::string& target) {
    const std::string fuzzDir = std::string(VANTREL_SOURCE_DIR) + "/fuzz/";
    std::vector<StoredInput> inputs = inputsIn(fuzzDir + "corpus/" + target);
    for (StoredInput& input : inputsIn(fuzzDir + "regressions/" + target)) {
        inputs.push_back(std::move(input));
    }
    return inputs;
}

TEST(FuzzRegression, ConfigInputsDecodeLikeTheReference) {
    const std::vector<StoredInput> inputs = inputsOf("config_fuzz");
    ASSERT_FALSE(inputs.empty());
    for (const StoredInput& input : inputs) {
        SCOPED_TRACE(input.path);
        testutil::TempDir dir;
        EXPECT_EQ(fuzzchecks::checkConfig(dir.path(), input.bytes), "");
    }
}

TEST(FuzzRegression, ZonesInputsKeepTheReadingInvariants) {
    const std::vector<StoredInput> inputs = inputsOf("zones_fuzz");
    ASSERT_FALSE(inputs.empty());
    for (const StoredInput& input : inputs) {
        SCOPED_TRACE(input.path);
        testutil::TempDir dir;
        const std::string configPath = dir.file("vantrel.conf");
        testutil::writeFile(configPath, "ZONES_FILE=" + dir.file("named.conf") + "\n");
        ConfigFileParser config(configPath);
        testing::internal::CaptureStdout();
        const std::string problem = zonesmodel::checkZonesInput(&config, input.bytes);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(problem, "");
    }
}

TEST(FuzzRegression, ReplyInputsKeepTheJudgingInvariants) {
    const std::vector<StoredInput> inputs = inputsOf("reply_fuzz");
    ASSERT_FALSE(inputs.empty());
    for (const StoredInput& input : inputs) {
        SCOPED_TRACE(input.path);
        EXPECT_EQ(fuzzchecks::checkReply(input.bytes), "");
    }
}

}  // namespace
