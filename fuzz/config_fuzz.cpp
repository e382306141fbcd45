// libFuzzer target: the configuration file decoder, checked against an
// independent decoding of the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_support.h"

// Makes the scratch folder and quiets the log.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzzsupport::prepare();
    return 0;
}

// Decodes the input as a configuration file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string problem = fuzzchecks::checkConfig(fuzzsupport::scratchPath(), content);
    if (!problem.empty()) {
        fuzzsupport::fail(problem);
    }
    return 0;
}
