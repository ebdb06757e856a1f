// velmo-emu: runs an unmodified x86 Linux program on a virtual Velmo board.
#include "options.h"
#include "tracer.h"
#include "vcd.h"

#include "board_file.h"
#include "ports.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    using namespace velmo::emu;

    Options options;
    std::string problem;
    if (!parse_options(argc, argv, options, problem)) {
        std::fprintf(stderr, "velmo-emu: %s\n%s", problem.c_str(), kUsage);
        return kExitCannotServe;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    velmo::sim::Ports ports;
    ports.set_refusal(options.deny ? EPERM : 0);

    // The waveform's path is checked first, so a path that will not do
    // changes nothing, the board file included.
    VcdWriter vcd;
    const bool waveform = !options.vcd_file.empty();
    std::string vcd_why;
    if (waveform && !vcd.open(options.vcd_file, vcd_why)) {
        std::fprintf(stderr, "velmo-emu: VCD file %s\n", vcd_why.c_str());
        return kExitCannotServe;
    }

    // The board: a file shared live with other runs, or one in memory. The
    // file is opened, checked and set up before the program starts, so a
    // refused file stops the run before anything has happened.
    velmo::sim::BoardFile board_file;
    std::string path = options.board_file;
    if (path.empty()) {
        const char *env = std::getenv("VELMO_BOARD");
        path = env != nullptr ? env : "";
    }
    if (waveform && (vcd.same_file(path) || vcd.same_file(options.trace_file))) {
        std::fprintf(stderr, "velmo-emu: VCD file %s: is the %s file\n", options.vcd_file.c_str(),
                     vcd.same_file(path) ? "board" : "trace");
        vcd.discard();
        return kExitCannotServe;
    }
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
            return kExitCannotServe;
        }
        ports.set_file(&board_file);
    }

    std::FILE *trace = nullptr;
    if (!options.trace_file.empty()) {
        trace = std::fopen(options.trace_file.c_str(), "we"); // not handed to the program
        if (trace == nullptr) {
            std::fprintf(stderr, "velmo-emu: cannot write the trace to %s: %s\n",
                         options.trace_file.c_str(), std::strerror(errno));
            vcd.discard();
            return kExitCannotServe;
        }
    }
    // Each event reaches the file as it happens, so a trace is complete up
    // to the moment a program hangs or dies.
    ports.set_keep_trace(false);
    ports.set_listener([trace](const std::string &line) {
        if (trace != nullptr) {
            std::fprintf(trace, "%s\n", line.c_str());
            std::fflush(trace);
        }
    });

    // The lines over time, from the board as the program starts; a change
    // that cannot be written ends the run as a lost board file does.
    if (waveform) {
        if (!vcd.start(ports.board(), vcd_why)) {
            std::fprintf(stderr, "velmo-emu: %s\n", vcd_why.c_str());
            return kExitCannotServe;
        }
        ports.set_observer([&vcd](const velmo::sim::Board &board, std::string &why) { return vcd.update(board, why); });
    }

    Tracer tracer(ports, options.show);
    int status = tracer.run(options.command);
    if (waveform && !vcd.finish(vcd_why)) {
        if (!vcd_why.empty()) {
            std::fprintf(stderr, "velmo-emu: %s\n", vcd_why.c_str());
        }
        status = kExitCannotServe;
    }
    if (trace != nullptr && std::fclose(trace) != 0) {
        std::fprintf(stderr, "velmo-emu: the trace %s is incomplete: %s\n", options.trace_file.c_str(),
                     std::strerror(errno));
        return status == 0 ? kExitCannotServe : status;
    }
    return status;
}
