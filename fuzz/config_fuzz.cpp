// libFuzzer target: the configuration file decoder, checked against an
// independent decoding of the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_support.h"

// Decodes the input as a configuration file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    return fuzzsupport::check(fuzzchecks::checkConfig(fuzzsupport::scratchPath(), content));
}
