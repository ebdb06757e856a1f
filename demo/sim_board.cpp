#include "sim_board.h"

#include "port_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace velmo::demo_sim {

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
    sim::Ports &p = sim::ports();
    const sim::Board &b = p.board();
    if (p.faults() != 0) {
        std::fprintf(stderr, "simulated board: %d port instructions without access\n", p.faults());
    }
    if (g_state_fd < 0) {
        return;
    }
    write_all(g_state_fd, b.text() + "faults " + std::to_string(p.faults()) + "\n" + p.trace_text());
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
