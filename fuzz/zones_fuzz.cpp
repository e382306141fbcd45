// libFuzzer target: readings of two versions of a zones file by one parser
// (first, second renamed into place, unchanged, missing, restored), each
// compared with the model in zones_model.h.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/zones_model.h"

namespace {

// The configuration naming the zones file in the scratch folder.
std::unique_ptr<ConfigFileParser> zonesConfig;

}  // namespace

// Makes the scratch folder, quiets the log and writes the configuration.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzzsupport::prepare();
    const std::string dir = fuzzsupport::scratchPath();
    const std::string configPath = dir + "/vantrel.conf";
    if (!fuzzchecks::writeWhole(configPath, "ZONES_FILE=" + dir + "/named.conf\n")) {
        fuzzsupport::fail("cannot write " + configPath);
    }
    zonesConfig = std::make_unique<ConfigFileParser>(configPath);
    return 0;
}

// Reads the input's two versions of the zones file (split at the first 0xFF).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string problem = zonesmodel::checkZonesInput(zonesConfig.get(), input);
    if (!problem.empty()) {
        fuzzsupport::fail(problem);
    }
    return 0;
}
