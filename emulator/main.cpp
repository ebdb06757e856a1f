// velmo-emu: runs an unmodified x86 Linux program on a virtual Velmo board.
#include "options.h"
#include "tracer.h"

#include "board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Loads a saved board. A missing file is a fresh board; a damaged one is
// refused and left as it is, so nothing of it is lost.
bool load_state(const std::string &path, velmo::sim::Board &board)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        std::fprintf(stderr, "velmo-emu: cannot read the board state %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    if (in.bad() || !board.load_state(text.str(), why)) {
        if (why.empty()) {
            why = "read error";
        }
        std::fprintf(stderr, "velmo-emu: the board state %s is damaged (%s); it was left as it is\n",
                     path.c_str(), why.c_str());
        return false;
    }
    return true;
}

// Saves the board beside the file, then renames it into place, so a
// failed save never leaves half a state behind.
bool save_state(const std::string &path, const velmo::sim::Board &board)
{
    const std::string partial = path + ".partial";
    std::FILE *out = std::fopen(partial.c_str(), "we");
    bool ok = out != nullptr;
    if (ok) {
        const std::string text = board.save_state();
        ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
        ok = std::fclose(out) == 0 && ok;
        ok = ok && std::rename(partial.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        std::fprintf(stderr, "velmo-emu: cannot save the board state to %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(partial.c_str());
    }
    return ok;
}

} // namespace

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

    velmo::sim::Board board;
    if (!options.state_file.empty() && !load_state(options.state_file, board)) {
        return kExitCannotServe;
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
    int status = tracer.run(options.command);
    if (!options.state_file.empty() && !save_state(options.state_file, board) && status == 0) {
        status = kExitCannotServe;
    }
    if (trace != nullptr && std::fclose(trace) != 0) {
        std::fprintf(stderr, "velmo-emu: the trace %s is incomplete: %s\n", options.trace_file.c_str(),
                     std::strerror(errno));
        return status == 0 ? kExitCannotServe : status;
    }
    return status;
}
