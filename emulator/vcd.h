// velmo-emu --vcd: the eight lines over time, as a Value Change Dump
// (IEEE 1364) that GTKWave, PulseView and sigrok read.
//
// One scope, sixteen 1-bit wires: line1..line8, the level each pin shows
// (the latch on an output, the level outside on an input), and
// dir1..dir8, 1 input and 0 output. Time is in microseconds of the
// monotonic clock since start(). #0 holds every wire's value then; after
// that only changes are written, each as it is seen, straight to the file,
// so a run that is killed leaves a file that readers take up to its last
// change. finish() writes a last timestamp for the end of the run.
#ifndef VELMO_EMU_VCD_H
#define VELMO_EMU_VCD_H

#include "board.h"
#include "output.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmo::emu {

class VcdWriter {
public:
    // Opens path for the dump (open_output), before anything is written,
    // so a path that will not do is refused before the program starts:
    // false, with the reason in why, and whatever is at path left as it
    // was. A file already holding a VCD is taken; others are the files of
    // the run it must not be.
    bool open(const std::string &path, const std::vector<velmo::toolkit::OtherFile> &others, std::string &why);
    // Removes the file open() created, when the run ends before start().
    void discard();

    // Empties the file and writes the header and #0 with board's lines;
    // time 0 is now.
    bool start(const velmo::sim::Board &board, std::string &why);
    // Writes what changed on board since the last call, at the time now.
    bool update(const velmo::sim::Board &board, std::string &why);
    // The end of the run: a last timestamp, and the file closed. After a
    // write that failed (and was reported) only closes: false, why empty.
    bool finish(std::string &why);

    // The time of each change, in microseconds since start(), from the
    // run's clock instead of the machine's monotonic one.
    void set_clock(std::function<std::uint64_t()> now_us) { clock_us_ = std::move(now_us); }

private:
    bool append(const std::string &text, std::string &why);
    std::uint64_t now_us() const;

    velmo::toolkit::OutputFile file_;
    bool failed_ = false;
    std::int64_t start_ns_ = 0;
    std::function<std::uint64_t()> clock_us_;
    std::uint64_t clock_start_us_ = 0;
    std::uint64_t last_time_ = 0;
    bool level_[8] = {};
    bool input_[8] = {};
};

} // namespace velmo::emu

#endif
