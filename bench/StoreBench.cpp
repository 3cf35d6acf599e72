// ds_store_bench: the SQLite store on its own, without the service around
// it. Import of the sample installation, opening a large store and the
// recordings queries the service answers most ("1 day" and "30 days" of one
// camera) on it.
//
// The large store is made once from an installation file given in
// DS_STORE_BENCH_INSTALLATION (for example a year of 120 cameras written by
// examples/make_installation.py) into DS_STORE_BENCH_DATABASE, which later
// runs reuse; its import time and size are printed before the benchmarks.
// With DS_STORE_BENCH_READS_DURING_IMPORT=1 the import is done a second time
// into another file while a thread measures reads on it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "InstallationFile.h"
#include "SqliteStore.h"
#include "UtcTime.h"

namespace {

using namespace DataServiceNamespace::server;
namespace fs = std::filesystem;

std::string largeDatabase;

std::string environment(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char *what, std::vector<double> microseconds) {
    std::sort(microseconds.begin(), microseconds.end());
    auto quantile = [&](double q) {
        const double last = static_cast<double>(microseconds.size() - 1);
        return microseconds[static_cast<std::size_t>(q * last)];
    };
    const auto over = [&](double limit) {
        return microseconds.end() -
               std::upper_bound(microseconds.begin(), microseconds.end(), limit);
    };
    std::printf("%s: %zu reads, p50 %.1f us, p99 %.1f us, p99.99 %.1f us, max %.1f us; "
                "%td over 1 ms, %td over 10 ms\n",
                what, microseconds.size(), quantile(0.5), quantile(0.99), quantile(0.9999),
                microseconds.back(), over(1000), over(10000));
}

// Latency of reads on a store while another thread imports the large
// installation into it: reads run on their own connections under WAL, so
// they should stay near their usual few microseconds for the whole import.
void measureReadsDuringImport(const Installation &large) {
    const fs::path path = fs::temp_directory_path() / "ds-store-bench-during.db";
    for (const char *suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix);
    SqliteStore store(path.string());
    store.replaceInstallation(readInstallationFile(DS_SAMPLE_INSTALLATION));
    // The same loop for a few seconds first beside a thread that only burns
    // CPU as the import does: on a shared machine the tail comes from the
    // scheduler as much as from the store, and this separates the two.
    std::atomic<bool> done{false};
    auto readUntilDone = [&] {
        std::vector<double> microseconds;
        while (!done) {
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(store.device("cam-01"));
            microseconds.push_back(secondsSince(start) * 1e6);
        }
        return microseconds;
    };
    std::thread burner([&] {
        const auto start = std::chrono::steady_clock::now();
        while (secondsSince(start) < 5)
            benchmark::DoNotOptimize(start);
        done = true;
    });
    report("device by id beside a busy thread", readUntilDone());
    burner.join();
    done = false;
    std::thread importer([&] {
        store.replaceInstallation(large);
        done = true;
    });
    report("device by id during the import", readUntilDone());
    importer.join();
    for (const char *suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix);
}

// Imports the large installation unless the database already holds one.
bool prepareLargeStore() {
    const std::string source = environment("DS_STORE_BENCH_INSTALLATION", "");
    largeDatabase = environment("DS_STORE_BENCH_DATABASE",
                                (fs::temp_directory_path() / "ds-store-bench.db").string());
    if (fs::exists(largeDatabase) && !SqliteStore(largeDatabase).empty())
        return true;
    if (source.empty()) {
        std::fprintf(stderr, "ds_store_bench: set DS_STORE_BENCH_INSTALLATION to a large "
                             "installation file (see docs/store.md) for the large-store "
                             "benchmarks\n");
        return false;
    }
    auto start = std::chrono::steady_clock::now();
    const Installation installation = readInstallationFile(source);
    const double readSeconds = secondsSince(start);
    int64_t recordings = static_cast<int64_t>(installation.recordings.size());
    for (const auto &schedule : installation.recordingSchedules)
        recordings += schedule.count;
    start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    SqliteStore(largeDatabase).replaceInstallation(installation);
    const double importSeconds = secondsSince(start);
    const double importCpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("large store: %lld recordings of %zu devices; file read %.2f s, import %.2f s "
                "(CPU %.2f s), database %.1f MiB\n",
                static_cast<long long>(recordings), installation.devices.size(), readSeconds,
                importSeconds, importCpuSeconds,
                static_cast<double>(fs::file_size(largeDatabase)) / (1 << 20));
    if (!environment("DS_STORE_BENCH_READS_DURING_IMPORT", "").empty())
        measureReadsDuringImport(installation);
    return true;
}

void BM_ImportSample(benchmark::State &state) {
    const Installation sample = readInstallationFile(DS_SAMPLE_INSTALLATION);
    const fs::path path = fs::temp_directory_path() / "ds-store-bench-sample.db";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(path);
        fs::remove(path.string() + "-wal");
        fs::remove(path.string() + "-shm");
        state.ResumeTiming();
        SqliteStore store(path.string());
        store.replaceInstallation(sample);
    }
    fs::remove(path);
}
BENCHMARK(BM_ImportSample)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadSampleFile(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(readInstallationFile(DS_SAMPLE_INSTALLATION));
}
BENCHMARK(BM_ReadSampleFile)->Unit(benchmark::kMillisecond);

void BM_OpenLargeStore(benchmark::State &state) {
    for (auto _ : state) {
        SqliteStore store(largeDatabase);
        benchmark::DoNotOptimize(store.device("cam-001"));
    }
}

// One camera's recordings over state.range(0) days, the range moving through
// the year so that the queries do not all hit the same pages.
void BM_CameraRecordings(benchmark::State &state) {
    SqliteStore store(largeDatabase);
    const auto devices = store.devices();
    const auto first = store.recordings(0, INT64_MAX / 2, devices.front().id, 1);
    if (first.empty()) {
        state.SkipWithError("the large store has no recordings");
        return;
    }
    const UnixSeconds origin = *parseUtcTime(first.front().start);
    const int64_t days = state.range(0);
    std::size_t answered = 0, step = 0;
    for (auto _ : state) {
        const auto &device = devices[step % devices.size()].id;
        const UnixSeconds start = origin + static_cast<int64_t>(step * 7 % (365 - days)) * 86400;
        const auto rows = store.recordings(start, start + days * 86400 - 1, device, 2000);
        answered += rows.size();
        ++step;
    }
    state.counters["recordings"] =
        benchmark::Counter(static_cast<double>(answered) / static_cast<double>(step));
}

void BM_DeviceById(benchmark::State &state) {
    SqliteStore store(largeDatabase);
    const auto devices = store.devices();
    std::size_t step = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.device(devices[step++ % devices.size()].id));
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (prepareLargeStore()) {
        benchmark::RegisterBenchmark("BM_OpenLargeStore", BM_OpenLargeStore)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_CameraRecordings", BM_CameraRecordings)
            ->Arg(1)
            ->Arg(30)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_DeviceById", BM_DeviceById)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
