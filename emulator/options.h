// velmo-emu's command line.
#ifndef VELMO_EMU_OPTIONS_H
#define VELMO_EMU_OPTIONS_H

#include "cli.h"
#include "run_clock.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::emu {

using LineLevel = velmo::cli::LineLevel;

struct Options {
    std::string trace_file; // empty: no trace
    std::string vcd_file;   // empty: no waveform
    std::string board_file; // empty: VELMO_BOARD, or a board in memory
    bool show = false;
    std::vector<LineLevel> lines; // in the order given, each line once
    bool has_base = false;
    std::uint16_t base = 0;
    bool deny = false;
    bool help = false;
    bool version = false;
    // The run's clock (run_clock.h).
    ClockMode clock = ClockMode::Real;
    std::int64_t port_time_ns = kNsPerUs;
    bool has_epoch = false;
    std::int64_t epoch_s = kDefaultEpoch;
    bool trace_time = false;          // each trace line begins with the clock in us
    std::vector<std::string> command; // PROGRAM and its arguments
};

// Parses argv[1..argc-1]. On a bad command line returns false with a
// one-line reason in error.
bool parse_options(int argc, const char *const *argv, Options &options, std::string &error);

extern const char kUsage[];

// Its usage errors end with status 125, as env's and timeout's do: the
// program's own statuses are left to the program.
extern const velmo::cli::Program kProgram;

} // namespace velmo::emu

#endif
