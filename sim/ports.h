// The I/O port space as programs on the board see it: the board's
// registers behind it (in memory, or in a board file shared with other
// programs), the kernel's answer to access requests, faults, and a trace of
// every event.
//
// Each access names the Grants of the task that makes it, so one Ports can
// serve a single process (the tests) or every thread of a traced program
// (the emulator).
#ifndef VELMO_SIM_PORTS_H
#define VELMO_SIM_PORTS_H

#include "board.h"
#include "grants.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmo::sim {

class BoardFile;

// What became of one port instruction.
enum class Access {
    Done,  // carried out
    Fault, // no access to the port: the kernel would have sent SIGSEGV
    Lost,  // the board file could not be read or written, or the observer
           // failed (error() says why)
};

class Ports {
public:
    using Listener = std::function<void(const std::string &)>;
    // Called with the board after each in or out that was carried out, as
    // the access left it (with a board file, as the file held it then).
    // Returning false, with the reason in why, loses the access.
    using Observer = std::function<bool(const Board &, std::string &why)>;

    // The board's registers. With a board file, as last read from it or
    // written to it.
    Board &board() { return board_; }
    const Board &board() const { return board_; }

    // Serves the registers from file (nullptr: from board(), in memory).
    // The file outlives this Ports.
    void set_file(BoardFile *file) { file_ = file; }

    // What the kernel answers a request to turn ports on (see
    // Grants::request): 0 grants, EPERM refuses as for an unprivileged
    // process, ENOSYS as a kernel without ioperm.
    void set_refusal(int error) { refusal_ = error; }
    int refusal() const { return refusal_; }

    // ioperm(from, num, turn_on) by the task whose grants these are: 0, or
    // the errno the kernel would give.
    int request(Grants &grants, unsigned long long from, unsigned long long num, int turn_on);

    // in/out by a task. Without access to the port these record a fault
    // and move nothing.
    Access in(const Grants &grants, std::uint16_t port, std::uint8_t &value);
    Access out(const Grants &grants, std::uint16_t port, std::uint8_t value);
    int faults() const { return faults_; }
    // Why the last access was Lost.
    const std::string &error() const { return error_; }

    // --- Trace ----------------------------------------------------------------
    const std::vector<std::string> &trace() const { return trace_; }
    std::string trace_text() const; // one event a line
    void clear_trace() { trace_.clear(); }
    // A long run under the emulator only streams its events to the
    // listener; keeping them all would grow without bound.
    void set_keep_trace(bool keep) { keep_trace_ = keep; }
    // Called with each event's line as it happens (the emulator's --trace).
    void set_listener(Listener listener) { listener_ = std::move(listener); }
    // Sees the board after each access (the emulator's --vcd).
    void set_observer(Observer observer) { observer_ = std::move(observer); }
    // An event the port space does not model itself (iopl), in the trace.
    void note(std::string line) { record(std::move(line)); }
    // Put before every line from now on, to name the task whose events
    // follow (the emulator's "[pid 1234] "); empty, the default: nothing.
    void set_label(std::string label) { label_ = std::move(label); }

private:
    void record(std::string line);
    Access observed();

    Board board_;
    BoardFile *file_ = nullptr;
    int refusal_ = 0;
    int faults_ = 0;
    std::string error_;
    std::vector<std::string> trace_;
    std::string label_;
    bool keep_trace_ = true;
    Listener listener_;
    Observer observer_;
};

} // namespace velmo::sim

#endif
