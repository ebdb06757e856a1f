#include "sim_console.h"

#include "board.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace velmo::demo_test {

namespace {

int g_state_fd = -1;

void write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void report_at_exit()
{
    sim::Board &b = sim::board();
    if (b.faults() != 0) {
        std::fprintf(stderr, "simulated board: %d port instructions without access\n", b.faults());
    }
    if (g_state_fd < 0) {
        return;
    }
    BoardSetup now;
    for (int n = 0; n < 2; ++n) {
        now.direction[n] = b.bank(n + 1).direction;
        now.latch[n] = b.bank(n + 1).latch;
        now.outside[n] = b.bank(n + 1).outside;
    }
    write_all(g_state_fd, registers_text(now) + "faults " + std::to_string(b.faults()) + "\n" + b.trace_text());
}

} // namespace

void prepare_board(const BoardSetup &setup, int state_fd)
{
    sim::Board &b = sim::board();
    b.reset();
    for (int n = 0; n < 2; ++n) {
        b.bank(n + 1).direction = setup.direction[n];
        b.bank(n + 1).latch = setup.latch[n];
        b.bank(n + 1).outside = setup.outside[n];
    }
    b.set_refuse_all(setup.refuse);
    g_state_fd = state_fd;
    std::atexit(report_at_exit);
}

} // namespace velmo::demo_test
