// Set-up shared by the libFuzzer targets: a private scratch folder for the
// files an input is written to, quiet logging and failure reports. Included
// once by each target, whose initialization it defines.
#ifndef VANTREL_FUZZ_FUZZ_SUPPORT_H
#define VANTREL_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "tests/test_util.h"

namespace fuzzsupport {

// A private scratch folder under $TMPDIR (fuzz/run.sh points it at tmpfs
// where there is one), else /tmp, removed again at exit.
inline const std::string& scratchPath() {
    static const testutil::TempDir scratch;
    return scratch.path();
}

// Reports a broken invariant (a |problem| that is not empty) and aborts, so
// that libFuzzer stores the input.
inline int check(const std::string& problem) {
    if (!problem.empty()) {
        std::fprintf(stderr, "invariant broken: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

}  // namespace fuzzsupport

// Makes the scratch folder, gives eventLog a foreground channel and
// sends standard output, where it writes, to /dev/null.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzzsupport::scratchPath();
    setLogChannel(false, DEBUG);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
        std::exit(1);
    }
    return 0;
}

#endif  // VANTREL_FUZZ_FUZZ_SUPPORT_H
