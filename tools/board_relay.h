// Following a board file as programs write it: inotify on the file, no
// polling, with a small relay child that holds the inotify instance.
#ifndef VELMO_TOOLS_BOARD_RELAY_H
#define VELMO_TOOLS_BOARD_RELAY_H

#include <string>

// Wakes up when a board file may have changed. The inotify instance is
// held by a small relay child, which ends once this object is gone.
class BoardEvents {
public:
    BoardEvents() = default;
    ~BoardEvents();
    BoardEvents(const BoardEvents &) = delete;
    BoardEvents &operator=(const BoardEvents &) = delete;

    // Starts watching the file at path.
    bool watch(const std::string &path, std::string &why);
    int fd() const { return fd_; }

    // Waits up to timeout_ms (-1: for ever) for a change. false when the
    // time ran out (why left empty), a signal came (likewise), or
    // watching failed (the reason in why).
    bool next(int timeout_ms, std::string &why);

    // Takes the events that have arrived, without waiting. (The relay
    // follows the path when the file is replaced or removed.)
    bool drain(std::string &why);

private:
    int fd_ = -1; // the relay's pipe

};

#endif
