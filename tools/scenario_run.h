// One scenario run: its program under the tracer on a board in memory,
// on the virtual clock, and the scenario's steps acting on that board and
// watching it at exact times of the run's clock.
#ifndef VELMO_TOOLS_SCENARIO_RUN_H
#define VELMO_TOOLS_SCENARIO_RUN_H

#include "scenario.h"

#include <cstdint>
#include <string>

namespace velmo::test {

struct RunResult {
    bool passed = false;
    std::string reason;      // a failure's: "FILE:LINE: ..."
    std::int64_t run_ns = 0; // the run's clock at the end
};

// Runs sc in this process (velmo-test runs each in a child of its own):
// the program's stdin and stdout are pipes the steps use, its stderr goes
// to stderr_path, the waveform to vcd_path. Changes this process's
// descriptors 0-2 and its working folder.
RunResult run_scenario(const Scenario &sc, std::uint64_t seed, const std::string &vcd_path,
                       const std::string &stdout_path, const std::string &stderr_path);

} // namespace velmo::test

#endif
