// The console demo on the simulated board (velmo_demo_sim, and the demo's
// in-process tests): the board set up before the demo starts, and its
// state written out when the demo ends.
#ifndef VELMO_DEMO_SIM_BOARD_H
#define VELMO_DEMO_SIM_BOARD_H

#include "board.h"

#include <cstdint>

namespace velmo::demo_sim {

// The board before the demo starts: at power-on unless changed, through
// setters that name what they change, e.g.
//   BoardSetup().direction(2, 0x00).latch(2, 0xa9)
struct BoardSetup {
    velmo::sim::Board board;
    bool refuse = false; // the kernel refuses every ioperm request (EPERM)

    BoardSetup &direction(int bank, std::uint8_t value)
    {
        board.bank(bank).direction = value;
        return *this;
    }
    BoardSetup &latch(int bank, std::uint8_t value)
    {
        board.bank(bank).latch = value;
        return *this;
    }
    BoardSetup &outside(int bank, std::uint8_t value)
    {
        board.bank(bank).outside = value;
        return *this;
    }
    BoardSetup &refused()
    {
        refuse = true;
        return *this;
    }
};

// Sets the simulated board up and, when state_fd >= 0, arranges that the
// board's state is written to that descriptor at exit (the demo ends with
// exit(0) at end of input):
//   <the board's text, as a board file holds it>
//   faults 0
//   <the trace, one event a line>
// A port instruction without access is also said on standard error.
void prepare_board(const BoardSetup &setup, int state_fd);

} // namespace velmo::demo_sim

#endif
