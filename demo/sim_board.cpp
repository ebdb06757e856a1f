#include "sim_board.h"

#include "io.h"
#include "port_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace velmo::demo_sim {

namespace {

int g_state_fd = -1;

void report_at_exit()
{
    sim::Ports &p = sim::ports();
    const sim::Board &b = p.board();
    if (p.faults() != 0) {
        std::fprintf(stderr, "simulated board: %d port instructions without access\n", p.faults());
    }
    if (g_state_fd < 0) {
        return;
    }
    std::size_t done = 0;
    velmo::toolkit::write_all(g_state_fd, b.text() + "faults " + std::to_string(p.faults()) + "\n" + p.trace_text(),
                              done);
}

} // namespace

void prepare_board(const BoardSetup &setup, int state_fd)
{
    sim::reset();
    sim::ports().board() = setup.board;
    sim::ports().set_refusal(setup.refuse ? EPERM : 0);
    g_state_fd = state_fd;
    std::atexit(report_at_exit);
}

} // namespace velmo::demo_sim
