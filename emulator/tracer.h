// Runs a program under ptrace and serves its port access from the simulated
// board: the kernel never sees its ioperm/iopl calls, and each port
// instruction, which traps for want of access, is carried out on the board.
#ifndef VELMO_EMU_TRACER_H
#define VELMO_EMU_TRACER_H

#include "grants.h"
#include "ports.h"

#include <string>
#include <vector>

namespace velmo::emu {

// velmo-emu's own exit statuses, beside the program's.
constexpr int kExitCannotServe = 125; // unsupported port instruction, tracer failure
constexpr int kExitCannotStart = 127; // the program could not be started

class Tracer {
public:
    // show: print the board's show() on stderr after each write to a GPIO
    // register.
    Tracer(velmo::sim::Ports &ports, bool show);

    // Runs command (PROGRAM and its arguments) to the end and returns the
    // exit status velmo-emu ends with.
    int run(const std::vector<std::string> &command);

private:
    enum class Served { Yes, Fault, Unsupported, Lost };

    void serve_port_call(pid_t pid);
    Served serve_port_instruction(pid_t pid);
    bool check_exec(pid_t pid);
    void kill_all();

    velmo::sim::Ports &ports_;
    velmo::sim::Grants grants_; // the program's, for all its tasks
    bool show_;
    bool x32_ = false; // the kernel runs x32 calls
    std::string program_;
    std::vector<pid_t> tracees_;
};

} // namespace velmo::emu

#endif
