// open_output: the one way a file the project writes its output to (a
// trace, a waveform) is opened. The path is checked before anything is
// written, so one that will not do is refused before a program starts,
// with a clear reason and whatever is at it left byte for byte.
//
// Taken: a missing file (created, never through a symbolic link), a
// regular file that holds nothing or what this output writes (rules.ours),
// a character device (/dev/null, a terminal).
// Refused: a file holding anything else; a directory, a FIFO, a socket, a
// block device; a dangling symbolic link; a file that cannot be written;
// /dev/port, /dev/mem and /dev/kmem, by name and by device number under
// any name; and any of rules.others (the board file of the run, the
// program, another output), under whatever name. A file created for a
// refused output is removed again.
#ifndef VELMO_TOOLKIT_OUTPUT_H
#define VELMO_TOOLKIT_OUTPUT_H

#include "fd.h"

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velmo::toolkit {

// A file that must not be the output, and what it is, for the message
// "PATH: is the WHAT". An empty path names nothing.
struct OtherFile {
    std::string path;
    std::string what;
};

struct OutputRules {
    // What the output is, for "holds something other than WHAT".
    std::string holds;
    // Does a file beginning with head (its first bytes, up to 64) hold
    // what this output writes?
    bool (*ours)(const char *head, std::size_t size) = nullptr;
    std::vector<OtherFile> others;
};

// An output file opened by open_output. Writes are whole or taken back:
// on a regular file, a record that is written only in part (a full disk, a
// file size limit) is cut off again, so the file ends after its last whole
// record.
class OutputFile {
public:
    int fd() const { return fd_.get(); }
    bool is_open() const { return static_cast<bool>(fd_); }
    const std::string &path() const { return path_; }

    // Empties a regular file (a device has nothing to empty): 0 or errno.
    int empty();
    // Appends text whole (write_all): 0, or the errno of the failure, the
    // part written taken back.
    int append(const std::string &text);
    // Closes the file: 0, or the errno of the close.
    int close();
    // Closes it, and removes the file open_output created, if the path
    // still names it: nothing of a run that did not start stays behind.
    void discard();

    // Is path the regular file this output writes?
    bool same_file(const std::string &path) const;

private:
    friend bool open_output(const std::string &path, const OutputRules &rules, OutputFile &file, std::string &why);

    UniqueFd fd_;
    std::string path_;
    bool created_ = false;
    bool regular_ = false;
    off_t size_ = 0; // what the file holds of whole records
};

// Opens path for output under rules, in file: false with the reason in why
// ("PATH: REASON"), path left as it was and file closed.
bool open_output(const std::string &path, const OutputRules &rules, OutputFile &file, std::string &why);

} // namespace velmo::toolkit

#endif
