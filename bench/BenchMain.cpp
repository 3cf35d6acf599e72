// Entry point of ds_bench: Google Benchmark's usual main, followed by the
// teardown of the loopback environments while the IPC library still runs.
#include <benchmark/benchmark.h>

#include "BenchEnvironment.h"

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    bench::releaseEnvironments();
    benchmark::Shutdown();
    return 0;
}
