// The benchmark program: Google Benchmark's own flags, and --quick (one
// iteration of every benchmark over the smallest volume, for CI) and
// --echoes=N (how many 1-byte echoes the echo cost benchmark makes).
#include "bench/rig.h"

#include <cstring>
#include <string>

namespace bench {
void register_timed_benchmarks();
void register_free_benchmarks();
void register_cost_benchmarks(int echoes);
void register_scale_benchmarks();
}  // namespace bench

int main(int argc, char** argv)
{
    int echoes = 1000;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            bench::g_quick = true;
        else if (std::strncmp(argv[i], "--echoes=", 9) == 0)
            echoes = std::stoi(argv[i] + 9);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (bench::g_quick)
        echoes = 3;
    host::verifier_set_action(host::VerifierAction::stop);
    bench::register_timed_benchmarks();
    bench::register_free_benchmarks();
    bench::register_cost_benchmarks(echoes);
    bench::register_scale_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
