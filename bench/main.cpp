// The benchmark program: Google Benchmark's own flags, and --quick (one
// iteration of every benchmark over the smallest volume, for CI) and
// --count=N (how many echoes and transfers the cost benchmarks make; two
// runs under callgrind with different counts give instructions per unit).
#include "bench/rig.h"

#include <cstring>
#include <string>

namespace bench {
void register_timed_benchmarks();
void register_free_benchmarks();
void register_cost_benchmarks(int count);
void register_scale_benchmarks();
}  // namespace bench

int main(int argc, char** argv)
{
    int count = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            bench::g_quick = true;
        else if (std::strncmp(argv[i], "--count=", 8) == 0)
            count = std::stoi(argv[i] + 8);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    host::verifier_set_action(host::VerifierAction::stop);
    bench::register_timed_benchmarks();
    bench::register_free_benchmarks();
    bench::register_cost_benchmarks(count);
    bench::register_scale_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
