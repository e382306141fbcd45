// Runs BIND's checker the way the agent does (BindCheck, polled from a loop
// that wakes at least every 100 ms, as the agent's loop keeps serving its
// other work) on a generated hosting-server configuration, and prints the
// checker's verdict, time and peak memory (from its rusage at the reap) and
// how long the loop's longest service() call and longest turn took:
//   bindcheck_tool ZONES FOLDER
// FOLDER holds the generated named.conf (also the options' directory); the
// zone files themselves need not exist for named-checkconf without -z.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BindCheck.h"
#include "ConfigFileParser.h"
#include "zonegen.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ZONES FOLDER\n", argv[0]);
        return 2;
    }
    zonegen::Layout layout;
    layout.zoneCount = std::strtoull(argv[1], nullptr, 10);
    layout.directory = argv[2];
    const std::string named = layout.directory + "/named-check.conf";
    const std::string configPath = layout.directory + "/bindcheck.vantrel.conf";
    std::FILE* config = std::fopen(configPath.c_str(), "w");
    if (!zonegen::writeFile(named, layout) || config == nullptr) {
        std::fprintf(stderr, "cannot write into %s\n", argv[2]);
        return 1;
    }
    std::fprintf(config, "ZONES_FILE=%s\nNAMED_CONF=%s\nDAEMONIZE=TRUE\nLOG_LEVEL=ERROR\n",
                 named.c_str(), named.c_str());
    std::fclose(config);
    ConfigFileParser settings(configPath);
    std::remove(configPath.c_str());
    BindCheck check(&settings);
    if (!check.isEnabled()) {
        std::printf("BIND's checker %s: figures skipped\n", check.getDescription().c_str());
        std::remove(named.c_str());
        return 0;
    }
    struct stat status;
    stat(named.c_str(), &status);

    using clock = std::chrono::steady_clock;
    double longestService = 0;
    double longestTurn = 0;
    long turns = 0;
    auto turnStart = clock::now();
    for (bool running = check.start({named}); running;) {
        pollfd readable{check.getFd(), POLLIN, 0};
        poll(&readable, check.getFd() >= 0 ? 1 : 0, std::min(check.getWaitMs(), 100));
        const auto before = clock::now();
        running = !check.service();
        const auto after = clock::now();
        longestService = std::max(
            longestService, std::chrono::duration<double, std::milli>(after - before).count());
        longestTurn = std::max(
            longestTurn, std::chrono::duration<double, std::milli>(after - turnStart).count());
        turnStart = after;
        ++turns;
    }
    const char* const words[] = {"off",      "unchecked", "running",
                                 "accepted", "refused",   "no verdict"};
    std::printf(
        "BIND's checker, %llu zones (%.1f MiB): %s in %.2f s, peak RSS %.1f MiB; the loop turned "
        "%ld times, longest turn %.1f ms, longest service() %.2f ms%s%s\n",
        static_cast<unsigned long long>(layout.zoneCount),
        static_cast<double>(status.st_size) / (1024.0 * 1024.0),
        words[static_cast<int>(check.getVerdict())], check.getSeconds(),
        static_cast<double>(check.getPeakKiB()) / 1024.0, turns, longestTurn, longestService,
        check.getMessage().empty() ? "" : ": ", check.getMessage().c_str());
    std::remove(named.c_str());
    return check.getVerdict() == bindVerdict::Accepted ? 0 : 1;
}
