// velmo_demo_sim: the console demo on the simulated board, for trying a
// dialogue by hand and for the transcript tests.
//
//   velmo_demo_sim [--bank1 DIR:LATCH:OUTSIDE] [--bank2 DIR:LATCH:OUTSIDE]
//                  [--refuse] [--state-fd N]
//
// DIR, LATCH and OUTSIDE are a bank's direction register, output latch and
// the levels outside drives onto its pins (numbers as strtoul reads them,
// e.g. 0x1d). --refuse makes the kernel refuse port access. With
// --state-fd the board's registers and trace are written to descriptor N
// when the demo ends, e.g.
//   printf '3\n6\n1\n-1\n-1\n' | velmo_demo_sim --state-fd 3 3>&2
#include "console.h"
#include "sim_board.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool parse_byte(const char *text, char **end, std::uint8_t *value)
{
    errno = 0;
    const unsigned long v = std::strtoul(text, end, 0);
    if (*end == text || errno != 0 || v > 0xFF) {
        return false;
    }
    *value = static_cast<std::uint8_t>(v);
    return true;
}

bool parse_bank(const char *text, velmo::sim::Bank &bank)
{
    char *end = nullptr;
    return parse_byte(text, &end, &bank.direction) && *end == ':' &&
           parse_byte(end + 1, &end, &bank.latch) && *end == ':' &&
           parse_byte(end + 1, &end, &bank.outside) && *end == '\0';
}

int usage(const char *why)
{
    std::fprintf(stderr, "velmo_demo_sim: %s\n"
                         "usage: velmo_demo_sim [--bank1 DIR:LATCH:OUTSIDE] [--bank2 DIR:LATCH:OUTSIDE]"
                         " [--refuse] [--state-fd N]\n", why);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    velmo::demo_sim::BoardSetup setup;
    int state_fd = -1;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--refuse") == 0) {
            setup.refuse = true;
        } else if ((std::strcmp(arg, "--bank1") == 0 || std::strcmp(arg, "--bank2") == 0) && value != nullptr) {
            if (!parse_bank(value, setup.board.bank(arg[6] - '0'))) {
                return usage("a bank is DIR:LATCH:OUTSIDE, three bytes");
            }
            ++i;
        } else if (std::strcmp(arg, "--state-fd") == 0 && value != nullptr) {
            char *end = nullptr;
            const long fd = std::strtol(value, &end, 10);
            if (*end != '\0' || fd < 0 || fd > 1000) {
                return usage("--state-fd takes a descriptor number");
            }
            state_fd = static_cast<int>(fd);
            ++i;
        } else {
            return usage("unknown or incomplete option");
        }
    }
    velmo::demo_sim::prepare_board(setup, state_fd);
    return demo_menu();
}
