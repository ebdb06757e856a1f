// A board kept in a file, so that several programs share one board as they
// would share the real one, and a person or a test script can drive the
// world outside it while they run.
//
// The file holds the board's text (Board::text(): the base port, the
// registers, the latches and the levels driven from outside), then its
// change log: the number of changes of what the pins show so far, and the
// last kChangesKept of them (number, time, pins), one a line in a ring. It
// is always the same length, rewritten in place: no temporary name beside
// it and no rename, so a symlink to it, its mode and its owner stay as they
// were. A file of the board's text alone (as earlier programs wrote it) is
// read as a board with no change recorded, and gets its log at its first
// write.
// Reads take a shared flock(2) and every read-modify-write an exclusive one,
// so a shell script can cooperate through flock(1). Each access works on
// the file the path names at that moment: one renamed over it is followed,
// and one renamed away (a backup) is left behind.
#ifndef VELMO_SIM_BOARD_FILE_H
#define VELMO_SIM_BOARD_FILE_H

#include "board.h"
#include "fd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velmo::sim {

// One change of what the pins show, as a board file records it.
struct Change {
    std::uint64_t number = 0; // the file's first change is 1, each next one more
    std::int64_t time_us = 0; // when it was made: its writer's wall clock, us since 1970 UTC
    Pins pins;                // what the pins showed after it
};

// What a board file recorded after some change number.
struct Changes {
    std::uint64_t last = 0;   // the number of its latest change; 0 when none is recorded
    std::uint64_t missed = 0; // changes since the one asked for that it no longer keeps
    std::vector<Change> kept; // the rest of them, oldest first
};

class BoardFile {
public:
    // How much of a file is read to tell a board file from anything else.
    static constexpr std::size_t kReadLimit = 16384;
    // How many of the latest changes the file keeps: a reader that falls
    // this far behind misses the oldest.
    static constexpr std::uint64_t kChangesKept = 256;
    // How long, in seconds, a lock held by someone else is waited for
    // before the access fails.
    static constexpr int kLockPatience = 5;
    // How often a write is made again when the file keeps being renamed
    // away under it.
    static constexpr int kRewrites = 10;

    BoardFile() = default;

    // Opens the board file at path, creating a power-on board where there
    // is none (or where a read of the file shows nothing). Anything else
    // that is not a board file (damaged, foreign, too long, a directory, a
    // FIFO, a file that cannot be written, a file of procfs or sysfs) is
    // refused: false, the reason in why, and the file left as it was; one
    // this call created and could not fill is removed again.
    bool open(const std::string &path, std::string &why);

    const std::string &path() const { return path_; }

    // The board as the file holds it now.
    bool read(Board &board, std::string &why);

    // The board as the file holds it now, and the changes recorded after
    // change number after, read together.
    bool read_changes(std::uint64_t after, Board &board, Changes &changes, std::string &why);

    // Reads the board, lets change alter it and writes it back, all under
    // one exclusive lock: nobody's write comes between. board is the board
    // as written. A change of what the pins show is recorded in the log.
    bool update(const std::function<void(Board &)> &change, Board &board, std::string &why);

private:
    bool lock(int how, std::string &why);
    void unlock();
    bool load_locked(Board &board, std::string &why);
    bool load_all_locked(std::string &why);
    bool store_locked(const Board &board, bool changed, std::string &why);
    bool load_or_empty_locked(bool &empty, std::string &why);
    // Does the path still name the open file? follows_path looks;
    // path_unchanged looks only when the watch saw something move.
    bool follows_path() const;
    bool path_unchanged();
    void watch_path();
    bool follow_path(bool &moved, std::string &why);
    // Locks the file now at the path (see follow_path).
    bool lock_current(int how, std::string &why);

    velmo::toolkit::UniqueFd fd_;
    std::string path_;
    // The text last read and the board it parses to: most reads find the
    // file as it was and need no parsing.
    std::string last_text_;
    Board last_board_;
    std::uint64_t last_number_ = 0; // its latest change
    bool has_log_ = false;          // false: the board's text alone, or a log in no place of ours
    bool checked_ = false;          // the whole file was read since it was opened
    dev_t dev_ = 0;                 // the open file, to tell it from the one at the path
    ino_t ino_ = 0;
    velmo::toolkit::UniqueFd watch_; // inotify on the path, or none
    int seen_events_ = -1;           // the SIGIO count at the last look
};

} // namespace velmo::sim

#endif
