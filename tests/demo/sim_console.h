// The console demo linked with the simulated board instead of the real port
// primitives: its main is compiled as velmo_demo_main, and the board's
// registers, fault count and trace are written out when the demo ends.
#ifndef VELMO_TESTS_DEMO_SIM_CONSOLE_H
#define VELMO_TESTS_DEMO_SIM_CONSOLE_H

#include <cstdint>
#include <cstdio>
#include <string>

int velmo_demo_main();

namespace velmo::demo_test {

// The board before the demo starts, bank 1 and bank 2.
struct BoardSetup {
    std::uint8_t direction[2] = {0xFF, 0xFF};
    std::uint8_t latch[2] = {0x00, 0x00};
    std::uint8_t outside[2] = {0x00, 0x00};
    bool refuse = false; // the kernel refuses every ioperm request
};

// Sets the simulated board up and, when state_fd >= 0, arranges that the
// board's state is written to that descriptor at exit (the demo ends with
// exit(0) at end of input):
//   bank1 direction=0xff latch=0x00 outside=0x00
//   bank2 direction=0xff latch=0x00 outside=0x00
//   faults 0
//   <the trace, one event a line>
// A port instruction without access is also said on standard error.
void prepare_board(const BoardSetup &setup, int state_fd);

// The two register lines of that state.
inline std::string registers_text(const BoardSetup &banks)
{
    std::string text;
    for (int n = 0; n < 2; ++n) {
        char line[64];
        std::snprintf(line, sizeof line, "bank%d direction=0x%02x latch=0x%02x outside=0x%02x\n", n + 1,
                      banks.direction[n], banks.latch[n], banks.outside[n]);
        text += line;
    }
    return text;
}

} // namespace velmo::demo_test

#endif
