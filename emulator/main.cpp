// velmo-emu: runs an unmodified x86 Linux program on a virtual Velmo board.
#include "capabilities.h"
#include "launch.h"
#include "run_clock.h"
#include "options.h"
#include "trace_file.h"
#include "tracer.h"
#include "vcd.h"

#include "board_file.h"
#include "ports.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Descriptors 0-2 that are closed are opened on /dev/null before anything
// else is opened, so that nothing velmo-emu opens (the trace) takes their
// place and receives its messages or --show lines. They close on exec: the
// program finds them as velmo-emu did. False when one cannot be opened.
bool fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            if (open("/dev/null", O_RDWR | O_CLOEXEC) != fd) {
                return false;
            }
        }
    }
    return true;
}

bool is_port_device(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 4;
}

// An open /dev/port handed down to velmo-emu would be real port access for
// the program: the kernel asks for CAP_SYS_RAWIO only at the open. Returns
// such a descriptor, or -1.
int inherited_port_device()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        for (int fd = 0; fd < 1024; ++fd) {
            if (is_port_device(fd)) {
                return fd;
            }
        }
        return -1;
    }
    int found = -1;
    while (const dirent *entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir) && is_port_device(fd)) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    using namespace velmo::emu;

    // Before anything is opened or started: whatever the program does to
    // velmo-emu, it finds nothing here worth taking.
    if (const char *what = ""; const int error = give_up_privileges(what)) {
        std::fprintf(stderr, "velmo-emu: cannot %s: %s\n", what, std::strerror(error));
        return kExitCannotServe;
    }
    if (!fill_standard_descriptors()) {
        return kExitCannotServe;
    }
    Options options;
    std::string problem;
    if (!parse_options(argc, argv, options, problem)) {
        return velmo::cli::refuse(kProgram, velmo::cli::Usage{problem}, stderr);
    }
    if (options.help || options.version) {
        (options.help ? velmo::cli::print_help : velmo::cli::print_version)(kProgram, stdout);
        return 0;
    }
    if (const int fd = inherited_port_device(); fd >= 0) {
        std::fprintf(stderr,
                     "velmo-emu: descriptor %d is open on /dev/port, which would give %s real port access; "
                     "close it first\n",
                     fd, options.command[0].c_str());
        return kExitCannotServe;
    }

    velmo::sim::Ports ports;
    ports.set_refusal(options.deny ? EPERM : 0);

    // The board: a file shared live with other runs, or one in memory.
    std::string path = options.board_file;
    if (path.empty()) {
        const char *env = std::getenv("VELMO_BOARD");
        path = env != nullptr ? env : "";
    }
    const std::string program = program_file(options.command[0]);

    // The outputs' paths are checked first, so a path that will not do
    // changes nothing, the board file included; none may be another file
    // of the run.
    VcdWriter vcd;
    const bool waveform = !options.vcd_file.empty();
    std::string vcd_why;
    if (waveform &&
        !vcd.open(options.vcd_file, {{path, "board file"}, {options.trace_file, "trace file"}, {program, "program"}},
                  vcd_why)) {
        std::fprintf(stderr, "velmo-emu: VCD file %s\n", vcd_why.c_str());
        return kExitCannotServe;
    }
    TraceFile trace;
    if (!options.trace_file.empty()) {
        std::string why;
        if (!trace.open(options.trace_file,
                        {{path, "board file"}, {options.vcd_file, "VCD file"}, {program, "program"}}, why)) {
            std::fprintf(stderr, "velmo-emu: trace file %s\n", why.c_str());
            vcd.discard();
            return kExitCannotServe;
        }
    }

    // The board file is opened, checked and set up before the program
    // starts, so a refused file stops the run before anything has happened.
    velmo::sim::BoardFile board_file;
    auto set_up = [&options](velmo::sim::Board &board) {
        if (options.has_base) {
            board.set_base(options.base);
        }
        for (const LineLevel &line : options.lines) {
            board.set_outside(line.line, line.level);
        }
    };
    if (path.empty()) {
        set_up(ports.board());
    } else {
        std::string why;
        const bool changes = options.has_base || !options.lines.empty();
        if (!board_file.open(path, why) ||
            (changes ? !board_file.update(set_up, ports.board(), why) : !board_file.read(ports.board(), why))) {
            std::fprintf(stderr, "velmo-emu: board file %s\n", why.c_str());
            vcd.discard();
            trace.discard();
            return kExitCannotServe;
        }
        ports.set_file(&board_file);
    }

    if (std::string why; !trace.start(why)) {
        std::fprintf(stderr, "velmo-emu: %s\n", why.c_str());
        vcd.discard();
        return kExitCannotServe;
    }
    // The run's clock: the program's in a board or virtual run; in a real
    // run, only the VCD's and --trace-time's.
    RunClock clock(options.clock, options.port_time_ns, options.epoch_s);
    ports.set_keep_trace(false);
    if (options.trace_time) {
        ports.set_listener([&trace, &clock](const std::string &line) {
            trace.write(std::to_string(clock.now() / kNsPerUs) + " " + line);
        });
    } else {
        ports.set_listener([&trace](const std::string &line) { trace.write(line); });
    }

    // The lines over time, from the board as the program starts; a change
    // that cannot be written ends the run as a lost board file does.
    if (waveform) {
        if (options.clock != ClockMode::Real) {
            vcd.set_clock([&clock] { return static_cast<std::uint64_t>(clock.now() / kNsPerUs); });
        }
        if (!vcd.start(ports.board(), vcd_why)) {
            std::fprintf(stderr, "velmo-emu: %s\n", vcd_why.c_str());
            return kExitCannotServe;
        }
        ports.set_observer([&vcd](const velmo::sim::Board &board, std::string &why) { return vcd.update(board, why); });
    }

    Tracer tracer(ports, options.show);
    tracer.set_trace(&trace);
    if (options.clock != ClockMode::Real) {
        tracer.set_clock(&clock);
    }
    int status = tracer.run(options.command);
    if (waveform && !vcd.finish(vcd_why)) {
        if (!vcd_why.empty()) {
            std::fprintf(stderr, "velmo-emu: %s\n", vcd_why.c_str());
        }
        status = kExitCannotServe;
    }
    const bool said = trace.failed(); // the tracer ended the run for it
    if (!trace.close()) {
        if (!said) {
            std::fprintf(stderr, "velmo-emu: %s\n", trace.error().c_str());
        }
        return kExitCannotServe;
    }
    return status;
}
