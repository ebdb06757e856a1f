// The library's operations as the benchmark measures them, one entry per
// case. Shared by the benchmark and the test that checks each case's port
// traffic.
#ifndef VELMO_BENCH_OPS_H
#define VELMO_BENCH_OPS_H

#include "VELMOGPIOLib.h"

namespace velmo::bench {

struct Op {
    const char *name;
    int (*run)(unsigned iteration); // one call; its result code
    int result;                     // the result code it must give
    bool refused;                   // run with every access request refused
};

inline int level_sink;

inline const Op kOps[] = {
    {"init", [](unsigned) { return VelmoGPIOInit(); }, 0, false},
    {"configure", [](unsigned i) { return VelmoGPIOConfig(i & 0xFFu); }, 0, false},
    {"read", [](unsigned i) { return VelmoGPIOInputBit(static_cast<int>(i & 7u) + 1, &level_sink); }, 0, false},
    {"drive", [](unsigned i) { return VelmoGPIOOutputBit(static_cast<int>(i & 7u) + 1, i & 1u); }, 0, false},
    {"configure_bad_word", [](unsigned i) { return VelmoGPIOConfig(256u + (i & 0xFFFFu)); }, -1, false},
    {"read_bad_line", [](unsigned i) { return VelmoGPIOInputBit(9 + static_cast<int>(i & 1u), &level_sink); }, -1,
     false},
    {"drive_bad_line", [](unsigned i) { return VelmoGPIOOutputBit(-static_cast<int>(i & 1u), 1); }, -1, false},
    {"drive_bad_level", [](unsigned i) { return VelmoGPIOOutputBit(6, 2u + (i & 0xFFFFu)); }, -1, false},
    {"configure_refused", [](unsigned i) { return VelmoGPIOConfig(i & 0xFFu); }, -1, true},
    {"read_refused", [](unsigned i) { return VelmoGPIOInputBit(static_cast<int>(i & 7u) + 1, &level_sink); }, -1, true},
    {"drive_refused", [](unsigned i) { return VelmoGPIOOutputBit(static_cast<int>(i & 7u) + 1, i & 1u); }, -1, true},
};

} // namespace velmo::bench

#endif // VELMO_BENCH_OPS_H
