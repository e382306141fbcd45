// libFuzzer target: readings of two versions of a zones file by one parser
// (first, second renamed into place, unchanged, moved away, restored), each
// checked by fuzzchecks::checkZones.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_support.h"

// Reads the input's two versions of the zones file (split at the first 0xFF).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    return fuzzsupport::check(fuzzchecks::checkZones(fuzzsupport::scratchPath(), input));
}
