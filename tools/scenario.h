// velmo-test's scenario files: a program to run on the virtual board, what
// the world outside does to its lines and when, and what the program must
// do in answer. YAML, read with yaml-cpp; everything is checked when the
// file is read, so a bad file is refused, with its line, before anything
// runs.
//
//   name: blink
//   run: [../build/blink, "5"]      # relative to the scenario's folder
//   stdin: "1\n"                     # optional
//   clock: virtual                   # or board, real
//   lines: {3: 1}                    # outside levels at power-on
//   timeout: 10s                     # default 60s
//   steps:
//     - expect-pulses: {line: 6, count: 5, period: 100ms, within: 2s}
//     - at: 1s
//       pull: {3: 1}
//     - expect-exit: {status: 0, within: 1s}
#ifndef VELMO_TOOLS_SCENARIO_H
#define VELMO_TOOLS_SCENARIO_H

#include "run_clock.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmo::test {

// A scenario file that will not do: "FILE:LINE: WHAT".
struct ScenarioError {
    std::string message;
};

enum class StepKind { Pull, Press, Wait, Expect, ExpectPulses, ExpectSerial, WriteStdin, ExpectStdout, ExpectExit };
enum class Edge { None, Rising, Falling, Any };
// The run's clock. virtual: only modelled time passes, and the steps act
// at exact times of it. board, real: the program's clocks are velmo-emu's
// board clock or the machine's, and the steps act in real time on a board
// file the program shares.
// The run's clock, velmo-emu's own: real, board or virtual.
using Clock = velmo::emu::ClockMode;

constexpr std::int64_t kNoTime = -1;

struct Step {
    StepKind kind = StepKind::Pull;
    int source_line = 0;           // in the scenario file
    std::int64_t at = kNoTime;     // since the start of the run
    std::int64_t after = kNoTime;  // since the previous step ended
    std::int64_t within = kNoTime; // waiting steps: their limit (none: the scenario's)

    std::vector<std::pair<int, int>> levels;      // pull, expect: line, level
    std::vector<std::pair<int, bool>> directions; // expect: line, input?
    int line = 0;                                 // wait, press, pulses, serial
    int level = -1;                               // wait, press: 0 or 1 (-1: not given)
    Edge edge = Edge::None;                       // wait
    int count = 1;                                // wait (edges), pulses
    int direction = -1;                           // wait: 1 input, 0 output
    std::int64_t hold = 0;                        // press: for
    std::int64_t bounce = 0;                      // press
    std::int64_t period = kNoTime;                // pulses
    std::int64_t high = kNoTime;                  // pulses
    double tolerance = 0.01;                      // pulses: a fraction
    long baud = 0;                                // serial
    std::string text;                             // serial, write-stdin, stdout
    bool regex = false;                           // stdout: text is a regex
    int status = 0;                               // exit
};

struct Scenario {
    std::string file;             // as named on the command line
    std::string name;             // its name: or the file's
    std::vector<std::string> run; // the program and its arguments
    std::string stdin_text;
    Clock clock = Clock::Virtual;
    bool has_base = false;
    std::uint16_t base = 0;
    std::vector<std::pair<int, int>> lines; // outside levels at power-on
    std::int64_t timeout = 60 * 1000000000LL;
    std::vector<Step> steps;
};

// Reads and checks the scenario file at path; throws ScenarioError.
Scenario load_scenario(const std::string &path);

// What a step is called in the file ("expect-pulses").
const char *step_name(StepKind kind);

} // namespace velmo::test

#endif
