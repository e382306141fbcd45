// Set-up shared by the libFuzzer targets: a private scratch folder for the
// files an input is written to, quiet logging and failure reports.
#ifndef VANTREL_FUZZ_FUZZ_SUPPORT_H
#define VANTREL_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "ConfigFileParser.h"
#include "Vantrel.h"

namespace fuzzsupport {

// The scratch folder's path; empty until prepare() made it.
inline std::string& scratchPath() {
    static std::string path;
    return path;
}

// Makes a private scratch folder under $TMPDIR, else /dev/shm, else /tmp,
// removed again at exit; gives eventLog a foreground configuration and sends
// standard output, where it writes, to /dev/null. Ends the process when no
// folder can be made.
inline void prepare() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir
                          : access("/dev/shm", W_OK) == 0      ? "/dev/shm"
                                                               : "/tmp";
    pattern += "/vantrel-fuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror(pattern.c_str());
        std::exit(1);
    }
    scratchPath() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratchPath(), ignored);
    });
    configFile = new ConfigFileParser();
}

// Reports a broken invariant and aborts, so that libFuzzer stores the input.
[[noreturn]] inline void fail(const std::string& problem) {
    std::fprintf(stderr, "invariant broken: %s\n", problem.c_str());
    std::abort();
}

}  // namespace fuzzsupport

#endif  // VANTREL_FUZZ_FUZZ_SUPPORT_H
