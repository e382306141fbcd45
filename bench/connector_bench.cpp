// Cost of zone deletions through the API client against the in-process
// stand-in service over HTTPS on 127.0.0.1, with the connection and TLS
// session caches shared among requests and without them. Prints both figures
// and their ratio after the benchmark table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConfigFileParser.h"
#include "StandInService.h"
#include "serverConnector.h"

namespace {

constexpr int DELETIONS = 1000;
const char* const TOKEN = "bench-token";

// The stand-in and an agent configuration pointing at it, made once.
struct Setup {
    std::string dir;
    std::unique_ptr<standin::StandInService> service;
    std::string configPath;
    bool ready = false;

    Setup() {
        char pattern[] = "/tmp/vantrel-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        dir = pattern;
        service = std::make_unique<standin::StandInService>(dir);
        service->addToken(TOKEN);
        std::string error;
        if (!service->start(0, error)) {
            std::fprintf(stderr, "stand-in: %s\n", error.c_str());
            return;
        }
        configPath = dir + "/agent.conf";
        std::ofstream(configPath) << "SERVER_HOSTNAME=" << service->hostAndPort()
                                  << "\nTOKEN=" << TOKEN << "\nCA_FILE=" << service->caFile()
                                  << "\nMAX_DELETE_PERCENT=100"
                                  << "\n";
        ready = true;
    }

    ~Setup() {
        service.reset();
        if (!dir.empty()) {
            const std::string command = "rm -rf '" + dir + "'";
            if (std::system(command.c_str()) != 0) {
                std::fprintf(stderr, "could not remove %s\n", dir.c_str());
            }
        }
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

// Seconds per DELETIONS deletions, by sharing mode, for the summary line.
std::map<bool, double> secondsPerRun;

void deletions(benchmark::State& _state, bool _share) {
    Setup& s = setup();
    if (!s.ready) {
        _state.SkipWithError("the stand-in service did not start");
        return;
    }
    double total = 0;
    for (auto _ : _state) {
        _state.PauseTiming();
        std::vector<zoneData> zones;
        zones.reserve(DELETIONS);
        for (int i = 0; i < DELETIONS; ++i) {
            zoneData zone;
            zone.setZoneName("zone" + std::to_string(i) + ".example");
            zone.setDeletedZone(true);
            zones.push_back(zone);
        }
        s.service->clearRequests();
        ConfigFileParser config(s.configPath);
        auto connector = std::make_unique<serverConnector>(&config, &zones, _share);
        _state.ResumeTiming();

        const auto started = std::chrono::steady_clock::now();
        connector->commitChanges(0, DELETIONS);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        _state.PauseTiming();
        const bool accepted =
            zones.empty() && s.service->requestCount() == static_cast<size_t>(DELETIONS);
        connector.reset();
        _state.ResumeTiming();
        if (!accepted) {
            _state.SkipWithError("not every deletion was accepted");
            break;
        }
    }
    _state.counters["deletions/s"] = benchmark::Counter(
        static_cast<double>(DELETIONS) * static_cast<double>(_state.iterations()),
        benchmark::Counter::kIsRate);
    secondsPerRun[_share] = total / static_cast<double>(_state.iterations());
}

BENCHMARK_CAPTURE(deletions, shared_connections, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(deletions, new_connection_each, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // A connection the stand-in answers after the client gave up must not
    // end the process.
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (secondsPerRun.count(true) != 0 && secondsPerRun.count(false) != 0 &&
        secondsPerRun[true] > 0) {
        std::printf(
            "%d deletions: shared %.1f ms, without sharing %.1f ms, sharing is %.1f times "
            "faster\n",
            DELETIONS, secondsPerRun[true] * 1000, secondsPerRun[false] * 1000,
            secondsPerRun[false] / secondsPerRun[true]);
    }
    return 0;
}
