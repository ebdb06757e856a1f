// One scenario run: its program under velmo-emu's tracer, and the
// scenario's steps acting on its board and watching it. On the virtual
// clock the board is in memory and the steps act at exact times of the
// run's clock, from the tracer's own loop; on the board or real clock the
// program runs in a process of its own on a board file, and the steps act
// on that file in real time.
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

// Runs sc from this process (velmo-test runs each in a child of its own):
// the program's stdin and stdout are pipes the steps use. In the folder
// dir: its stderr and velmo-emu's words (stderr), what it wrote to stdout
// (stdout), the waveform (run.vcd) and, on the board or real clock, the
// board file (board). Changes this process's descriptors 0-2 and its
// working folder.
RunResult run_scenario(const Scenario &sc, std::uint64_t seed, const std::string &dir);

} // namespace velmo::test

#endif
