// The library's operations as the benchmark measures them, one entry per
// case, each with the port traffic it must make. Shared by the benchmark and
// the test that checks the counts.
#ifndef VELMO_BENCH_OPS_H
#define VELMO_BENCH_OPS_H

#include "VELMOGPIOLib.h"

namespace velmo::bench {

struct Op {
    const char *name;
    int (*run)(unsigned iteration); // one call; its result code
    int result;                     // the result code it must give
    unsigned long requests;         // access requests per call
    unsigned long accesses;         // port reads and writes per call
    bool refused;                   // run with every access request refused
};

inline int level_sink;

inline const Op kOps[] = {
    {"init", [](unsigned) { return VelmoGPIOInit(); }, 0, 0, 0, false},
    {"configure", [](unsigned i) { return VelmoGPIOConfig(i & 0xFFu); }, 0, 4, 4, false},
    {"read", [](unsigned i) { return VelmoGPIOInputBit(static_cast<int>(i & 7u) + 1, &level_sink); }, 0, 1, 1, false},
    {"drive", [](unsigned i) { return VelmoGPIOOutputBit(static_cast<int>(i & 7u) + 1, i & 1u); }, 0, 2, 2, false},
    {"configure_bad_word", [](unsigned i) { return VelmoGPIOConfig(256u + (i & 0xFFFFu)); }, -1, 2, 2, false},
    {"read_bad_line", [](unsigned i) { return VelmoGPIOInputBit(9 + static_cast<int>(i & 1u), &level_sink); }, -1, 0, 0, false},
    {"drive_bad_line", [](unsigned i) { return VelmoGPIOOutputBit(-static_cast<int>(i & 1u), 1); }, -1, 0, 0, false},
    {"drive_bad_level", [](unsigned i) { return VelmoGPIOOutputBit(6, 2u + (i & 0xFFFFu)); }, -1, 0, 0, false},
    {"configure_refused", [](unsigned i) { return VelmoGPIOConfig(i & 0xFFu); }, -1, 1, 0, true},
    {"read_refused", [](unsigned i) { return VelmoGPIOInputBit(static_cast<int>(i & 7u) + 1, &level_sink); }, -1, 1, 0, true},
    {"drive_refused", [](unsigned i) { return VelmoGPIOOutputBit(static_cast<int>(i & 7u) + 1, i & 1u); }, -1, 1, 0, true},
};

} // namespace velmo::bench

#endif // VELMO_BENCH_OPS_H
