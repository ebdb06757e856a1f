// Following a board file as programs write it: inotify on the file, no
// polling.
//
// This process reads the inotify instance itself, so a change wakes it
// with no one in between. A small relay child holds the instance too, and
// closes it last once this process has gone: the last close of an inotify
// instance waits for the kernel's RCU grace period (up to 20 ms here), and
// the command ends as soon as it knows.
#ifndef VELMO_TOOLS_BOARD_RELAY_H
#define VELMO_TOOLS_BOARD_RELAY_H

#include "fd.h"

#include <string>

class BoardEvents {
public:
    // Starts watching the file at path (nothing there yet is fine: it is
    // looked for again every look_ms()).
    bool watch(const std::string &path, std::string &why);

    // Readable when the file may have changed.
    int fd() const { return inotify_.get(); }
    // The longest a wait on fd() should last, in ms: -1 (for ever) while
    // a file is watched, 100 while none is at the path.
    int look_ms() const { return wd_ < 0 ? 100 : -1; }

    // Waits up to timeout_ms (-1: for ever) for a change. false when the
    // time ran out (why left empty), a signal came (likewise), or
    // watching failed (the reason in why).
    bool next(int timeout_ms, std::string &why);

    // Takes the events that have arrived, without waiting, and follows the
    // path when the file was replaced or removed (or appears again): true
    // when the file may have changed. false with the reason in why when
    // watching failed.
    bool drain(bool &changed, std::string &why);

private:
    bool arm(std::string &why);

    std::string path_;
    velmo::toolkit::UniqueFd inotify_;
    int wd_ = -1;                       // the watch on the file; -1 while none is at the path
    velmo::toolkit::UniqueFd lifeline_; // the relay ends when this is closed
};

#endif
