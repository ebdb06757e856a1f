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
// when the demo ends (it must be open for writing when the demo starts), e.g.
//   printf '3\n6\n1\n-1\n-1\n' | velmo_demo_sim --state-fd 3 3>&2
#include "cli.h"
#include "console.h"
#include "sim_board.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>

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
    return parse_byte(text, &end, &bank.direction) && *end == ':' && parse_byte(end + 1, &end, &bank.latch) &&
           *end == ':' && parse_byte(end + 1, &end, &bank.outside) && *end == '\0';
}

const char kUsage[] =
    "usage: velmo_demo_sim [--bank1 DIR:LATCH:OUTSIDE] [--bank2 DIR:LATCH:OUTSIDE] [--refuse] [--state-fd N]\n"
    "The console demo on a simulated board.\n"
    "  --bank1, --bank2 DIR:LATCH:OUTSIDE   a bank's registers and the levels driven\n"
    "                                       onto its pins from outside (0x1d:0:0x8)\n"
    "  --refuse                             the kernel refuses port access\n"
    "  --state-fd N                         write the registers and the trace to\n"
    "                                       descriptor N at the end\n";

void bank(const std::string &text, velmo::sim::Bank &bank)
{
    if (!parse_bank(text.c_str(), bank)) {
        throw velmo::cli::Usage{"a bank is DIR:LATCH:OUTSIDE, three bytes, not '" + text + "'"};
    }
}

const velmo::cli::Program kProgram{"velmo_demo_sim", kUsage, velmo::cli::kExitUsage};

// The descriptor the state is written to at the end: open for writing now,
// or the state would be lost without a word.
int state_descriptor(const std::string &text)
{
    const int fd = static_cast<int>(velmo::cli::parse_number(text, 0, 1000, "--state-fd wants a descriptor number"));
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        throw velmo::cli::Usage{"--state-fd " + text + ": descriptor " + text + " is not open"};
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
        throw velmo::cli::Usage{"--state-fd " + text + ": descriptor " + text + " is open for reading only"};
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    velmo::demo_sim::BoardSetup setup;
    int state_fd = -1;
    velmo::cli::Words words(argc, argv);
    try {
        while (!words.empty()) {
            std::string value;
            if (velmo::cli::help_or_version(kProgram, words, stdout)) {
                return velmo::cli::kExitOk;
            }
            if (words.flag("--refuse")) {
                setup.refuse = true;
            } else if (words.value("--bank1", value)) {
                bank(value, setup.board.bank(1));
            } else if (words.value("--bank2", value)) {
                bank(value, setup.board.bank(2));
            } else if (words.value("--state-fd", value)) {
                state_fd = state_descriptor(value);
            } else if (words.is_option()) {
                words.unknown_option();
            } else {
                throw velmo::cli::Usage{"takes no arguments, not '" + words.peek() + "'"};
            }
        }
    } catch (const velmo::cli::Usage &usage) {
        return velmo::cli::refuse(kProgram, usage, stderr);
    }
    velmo::demo_sim::prepare_board(setup, state_fd);
    return demo_menu();
}
