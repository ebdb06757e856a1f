// velmo-emu's --trace: one line per event, each in the file before the
// program goes on, so a trace is complete up to the moment a program hangs
// or dies. A line that cannot be written in full is taken back and
// remembered: the run then ends, since a trace with a hole in it would
// mislead.
#ifndef VELMO_EMU_TRACE_FILE_H
#define VELMO_EMU_TRACE_FILE_H

#include "output.h"

#include <string>
#include <vector>

namespace velmo::emu {

class TraceFile {
public:
    // Opens path for the trace (open_output) without changing it: a file
    // already holding a trace, or nothing, is taken; others are the files
    // of the run it must not be. false with the reason in why.
    bool open(const std::string &path, const std::vector<velmo::toolkit::OtherFile> &others, std::string &why);
    // Empties the file, as the program is about to start.
    bool start(std::string &why);
    // Removes the file open() created, when the run ends before start().
    void discard() { file_.discard(); }

    // Appends line and a newline, in full; after a failure, nothing more.
    void write(const std::string &line);
    bool failed() const { return !error_.empty(); }
    // "cannot write the trace to FILE: REASON", once failed.
    const std::string &error() const { return error_; }

    // Closes the file: false when it failed, then or before.
    bool close();

private:
    void fail(int error);

    velmo::toolkit::OutputFile file_;
    std::string error_;
};

// Does text begin as a trace does: a line of an access, a grant or a
// refusal, maybe labelled with its task?
bool looks_like_trace(const char *text, std::size_t size);

} // namespace velmo::emu

#endif
