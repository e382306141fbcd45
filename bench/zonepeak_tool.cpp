// Reads one zones file once, the way the agent's first pass does, and prints
// the file's size, the reading's time, the process's peak resident memory and
// the reading's own peak (the process's peak less the memory resident just
// before the reading):
//   zonepeak_tool PATH [ZONES]
// With ZONES, PATH is first generated with that many hosted domains (the
// generator streams to disk, so it adds next to nothing to the peak).
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "ZoneFileParser.h"
#include "zonegen.h"

// The resident memory of the process now, in MiB (from /proc/self/statm);
// 0 when it cannot be read.
double residentMiB() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const int fields = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    if (fields != 2) {
        return 0;
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH [ZONES]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    if (argc > 2) {
        zonegen::Layout layout;
        layout.zoneCount = std::strtoull(argv[2], nullptr, 10);
        if (!zonegen::writeFile(path, layout)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        std::fprintf(stderr, "cannot find %s\n", path.c_str());
        return 1;
    }
    // A detached agent at LOG_LEVEL=ERROR: the DEBUG lines are built but
    // not written, as on a production host.
    const std::string configPath = path + ".vantrel.conf";
    std::FILE* config = std::fopen(configPath.c_str(), "w");
    if (config == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", configPath.c_str());
        return 1;
    }
    std::fprintf(config, "ZONES_FILE=%s\nDAEMONIZE=TRUE\nLOG_LEVEL=ERROR\n", path.c_str());
    std::fclose(config);
    ConfigFileParser settings(configPath);
    std::remove(configPath.c_str());
    setLogChannel(settings.getDaemonize(), settings.getLoggingLevel());

    ZoneFileParser parser(&settings);
    const double beforeMiB = residentMiB();
    const auto start = std::chrono::steady_clock::now();
    const int blocks = parser.readZones();
    const auto stop = std::chrono::steady_clock::now();

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double fileMiB = static_cast<double>(status.st_size) / (1024.0 * 1024.0);
    const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    // The generator and the configuration ran before the reading; the peak
    // may date from them, so the reading's own is at least zero.
    const double readingMiB = peakMiB > beforeMiB ? peakMiB - beforeMiB : 0;
    std::printf(
        "zones file %s: %.1f MiB, %d zone blocks, %zu master zones; first reading %.1f ms; "
        "peak RSS %.1f MiB (%.2f x file size); reading's own peak %.1f MiB (%.2f x file "
        "size, %.1f MiB resident before)\n",
        path.c_str(), fileMiB, blocks, parser.getZones()->size(),
        std::chrono::duration<double, std::milli>(stop - start).count(), peakMiB, peakMiB / fileMiB,
        readingMiB, readingMiB / fileMiB, beforeMiB);
    return parser.hasReadSuccessfully() ? 0 : 1;
}
