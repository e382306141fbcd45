// Reading the zones file at hosting scale: a first reading (empty inventory,
// every zone new) and a re-reading after one zone was added (every zone met
// again), at 1,000 to 1,000,000 hosted domains, plus the pass that finds the
// file unchanged. The files come from the generator in zonegen.h.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "ConfigFileParser.h"
#include "EventLog.h"
#include "ZoneFileParser.h"
#include "zonegen.h"

namespace {

// A folder for the generated files, removed at exit.
class BenchDir {
public:
    BenchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr ? base : "/tmp") + "/vantrel-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~BenchDir() {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
    std::string path;
};

BenchDir& benchDir() {
    static BenchDir dir;
    return dir;
}

// Writes a configuration naming |_zonesPath|, detached at LOG_LEVEL=ERROR, so
// that the DEBUG lines are built but dropped as on a production host.
std::unique_ptr<ConfigFileParser> quietSettings(const std::string& _configPath,
                                                const std::string& _zonesPath) {
    std::FILE* config = std::fopen(_configPath.c_str(), "w");
    if (config == nullptr) {
        throw std::runtime_error("cannot write " + _configPath);
    }
    std::fprintf(config, "ZONES_FILE=%s\nDAEMONIZE=TRUE\nLOG_LEVEL=ERROR\n", _zonesPath.c_str());
    std::fclose(config);
    return std::make_unique<ConfigFileParser>(_configPath);
}

// The configuration eventLog consults for the whole run.
ConfigFileParser& logSettings() {
    static std::unique_ptr<ConfigFileParser> settings =
        quietSettings(benchDir().path + "/log.vantrel", benchDir().path + "/none");
    return *settings;
}

// One generated zones file and a configuration naming it.
struct Fixture {
    std::string zonesPath;
    std::unique_ptr<ConfigFileParser> settings;
};

// A fresh file of |_zones| hosted domains for one benchmark, which may change
// it, and its configuration.
Fixture makeFixture(uint64_t _zones, const std::string& _purpose) {
    Fixture f;
    const std::string stem = benchDir().path + "/" + _purpose + "-" + std::to_string(_zones);
    f.zonesPath = stem + ".conf";
    zonegen::Layout layout;
    layout.zoneCount = _zones;
    if (!zonegen::writeFile(f.zonesPath, layout)) {
        throw std::runtime_error("cannot write " + f.zonesPath);
    }
    f.settings = quietSettings(stem + ".vantrel", f.zonesPath);
    setLogChannel(logSettings().getDaemonize(), logSettings().getLoggingLevel());
    return f;
}

int64_t fileSize(const std::string& _path) {
    struct stat status;
    return stat(_path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
}

// Appends the block of one more hosted domain to the file.
void appendZone(const std::string& _path, uint64_t _serial) {
    std::FILE* out = std::fopen(_path.c_str(), "ab");
    if (out == nullptr) {
        throw std::runtime_error("cannot append to " + _path);
    }
    const std::string block =
        zonegen::zoneBlock("added-" + std::to_string(_serial) + ".example", _serial, false);
    std::fwrite(block.data(), 1, block.size(), out);
    std::fclose(out);
}

void BM_FirstReading(benchmark::State& state) {
    const uint64_t zones = static_cast<uint64_t>(state.range(0));
    Fixture f = makeFixture(zones, "first");
    int blocks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto parser = std::make_unique<ZoneFileParser>(f.settings.get());
        state.ResumeTiming();
        blocks = parser->readZones();
        state.PauseTiming();
        parser.reset();
        state.ResumeTiming();
    }
    if (blocks != static_cast<int>(zones + zonegen::headerZoneBlocks)) {
        state.SkipWithError("unexpected number of zone blocks");
    }
    state.counters["zones"] = static_cast<double>(zones);
    state.SetBytesProcessed(state.iterations() * fileSize(f.zonesPath));
}

void BM_ReReadingAfterOneAdded(benchmark::State& state) {
    const uint64_t zones = static_cast<uint64_t>(state.range(0));
    Fixture f = makeFixture(zones, "reread");
    ZoneFileParser parser(f.settings.get());
    parser.readZones();
    uint64_t serial = 0;
    int added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        appendZone(f.zonesPath, serial++);
        state.ResumeTiming();
        parser.readZones();
        state.PauseTiming();
        int newZones = 0;
        int deletedZones = 0;
        if (parser.zonesChanged(newZones, deletedZones) && newZones == 1 && deletedZones == 0) {
            ++added;
        }
        state.ResumeTiming();
    }
    if (added != static_cast<int>(state.iterations())) {
        state.SkipWithError("a re-reading did not report exactly one new zone");
    }
    state.counters["zones"] = static_cast<double>(zones);
    state.SetBytesProcessed(state.iterations() * fileSize(f.zonesPath));
}

void BM_UnchangedPass(benchmark::State& state) {
    const uint64_t zones = static_cast<uint64_t>(state.range(0));
    Fixture f = makeFixture(zones, "unchanged");
    ZoneFileParser parser(f.settings.get());
    parser.readZones();
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.readZones());
    }
    state.counters["zones"] = static_cast<double>(zones);
}

}  // namespace

BENCHMARK(BM_FirstReading)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReReadingAfterOneAdded)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_UnchangedPass)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
