// The library's own cost per operation, over port primitives that only
// count (port_count.cpp), so that no system call or port instruction is in
// the figure. Each case also reports its access requests and port accesses
// per call.
//
//   cmake --build --preset native --target bench
#include "ops.h"
#include "port_count.h"

#include <benchmark/benchmark.h>

namespace {

void run_op(benchmark::State &state, const velmo::bench::Op &op)
{
    velmo::count::set_refuse(op.refused);
    velmo::count::set_read_value(0x5A);
    velmo::count::reset();
    unsigned i = 0;
    for (auto _ : state) {
        int result = op.run(i++);
        benchmark::DoNotOptimize(result);
        if (result != op.result) {
            state.SkipWithError("unexpected result code");
            break;
        }
    }
    const velmo::count::Counts c = velmo::count::counts();
    state.counters["requests"] =
        benchmark::Counter(static_cast<double>(c.requests), benchmark::Counter::kAvgIterations);
    state.counters["accesses"] =
        benchmark::Counter(static_cast<double>(c.accesses), benchmark::Counter::kAvgIterations);
    velmo::count::set_refuse(false);
}

int register_ops()
{
    for (const velmo::bench::Op &op : velmo::bench::kOps) {
        benchmark::RegisterBenchmark(op.name, run_op, op);
    }
    return 0;
}

const int registered = register_ops();

} // namespace

BENCHMARK_MAIN();
