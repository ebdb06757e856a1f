// velmo-emu: runs an unmodified x86 Linux program on a virtual Velmo board.
#include "options.h"
#include "tracer.h"

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

    // The board: a file shared live with other runs, or one in memory. The
    // file is opened, checked and set up before the program starts, so a
    // refused file stops the run before anything has happened.
    velmo::sim::BoardFile board_file;
    std::string path = options.board_file;
    if (path.empty()) {
        const char *env = std::getenv("VELMO_BOARD");
        path = env != nullptr ? env : "";
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

    Tracer tracer(ports, options.show);
    const int status = tracer.run(options.command);
    if (trace != nullptr && std::fclose(trace) != 0) {
        std::fprintf(stderr, "velmo-emu: the trace %s is incomplete: %s\n", options.trace_file.c_str(),
                     std::strerror(errno));
        return status == 0 ? kExitCannotServe : status;
    }
    return status;
}
