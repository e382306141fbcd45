// libFuzzer target: the API client's reply judging (message and zone list)
// and form encoding, all three on every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_support.h"

// Reports a broken invariant of one input's judging and encoding.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    return fuzzsupport::check(fuzzchecks::checkReply(fuzzsupport::scratchPath(), text));
}
