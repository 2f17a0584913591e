// main() of the vision benchmarks. They link OpenCV, which maps OpenMP
// before main runs, so the OpenMP thread limit brisolet sets before it loads
// the vision module would come too late here: it is put into the
// environment and the benchmark started again, to measure what brisolet runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

inline int visionBenchmarkMain(int argc, char** argv) {
    if (!std::getenv("OMP_THREAD_LIMIT")) {
        ::setenv("OMP_THREAD_LIMIT", "1", 1);
        ::execv("/proc/self/exe", argv);
        std::perror("bench: cannot start again with OMP_THREAD_LIMIT=1");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
