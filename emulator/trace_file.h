// velmo-emu's --trace: one line per event, each in the file before the
// program goes on, so a trace is complete up to the moment a program hangs
// or dies. A line that cannot be written in full is remembered: the run
// then ends, since a trace with a hole in it would mislead.
#ifndef VELMO_EMU_TRACE_FILE_H
#define VELMO_EMU_TRACE_FILE_H

#include "fd.h"
#include "io.h"

#include <string>

namespace velmo::emu {

using velmo::toolkit::UniqueFd;

class TraceFile {
public:
    // Creates or truncates path; not handed to the program. false with the
    // reason in why.
    bool open(const std::string &path, std::string &why);
    bool is_open() const { return static_cast<bool>(fd_); }

    // Appends line and a newline, in full; after a failure, nothing more.
    void write(const std::string &line);
    bool failed() const { return !error_.empty(); }
    // "cannot write the trace to FILE: REASON", once failed.
    const std::string &error() const { return error_; }

    // Closes the file: false when it failed, then or before.
    bool close();

private:
    void fail(int error);

    UniqueFd fd_;
    std::string path_;
    std::string error_;
};

} // namespace velmo::emu

#endif
