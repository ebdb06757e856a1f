// velmo-emu: runs an unmodified x86 Linux program on a virtual Velmo board.
#include "options.h"
#include "tracer.h"

#include "board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    auto write_trace = [trace](const std::string &line) {
        if (trace != nullptr) {
            std::fprintf(trace, "%s\n", line.c_str());
            std::fflush(trace);
        }
    };

    velmo::sim::Board board;
    board.set_keep_trace(false);
    board.set_listener(write_trace);
    board.set_refuse_all(options.deny);
    if (options.has_base) {
        board.set_base(options.base);
    }
    for (const LineLevel &line : options.lines) {
        board.set_outside(line.line, line.level);
    }

    Tracer tracer(board, options.show, write_trace);
    const int status = tracer.run(options.command);
    if (trace != nullptr && std::fclose(trace) != 0) {
        std::fprintf(stderr, "velmo-emu: the trace %s is incomplete: %s\n", options.trace_file.c_str(),
                     std::strerror(errno));
        return status == 0 ? kExitCannotServe : status;
    }
    return status;
}
