// Runs a program under ptrace and serves its port access from the simulated
// board: the kernel never sees its ioperm/iopl calls, and each port
// instruction, which traps for want of access, is carried out on the board.
//
// The loop is one event at a time: next_event() waits for the next stop or
// end of a task and says what it is, dispatch() does what that event asks.
#ifndef VELMO_EMU_TRACER_H
#define VELMO_EMU_TRACER_H

#include "fd.h"
#include "ports.h"
#include "tasks.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velmo::emu {

class TraceFile;
class RunClock;
class ClockCalls;

// velmo-emu's own exit statuses, beside the program's.
constexpr int kExitCannotServe = 125;   // unsupported port instruction, tracer failure
constexpr int kExitNotExecutable = 126; // the program's file cannot run here
constexpr int kExitCannotStart = 127;   // the program could not be started

class Tracer {
public:
    // show: print the board's show() on stderr after each write to a GPIO
    // register.
    Tracer(velmo::sim::Ports &ports, bool show);
    ~Tracer();
    Tracer(const Tracer &) = delete;
    Tracer &operator=(const Tracer &) = delete;

    // The trace that ports writes to: once a line of it could not be
    // written, the run ends (125).
    void set_trace(const TraceFile *trace) { trace_ = trace; }
    // A board or virtual clock: the program's clocks, sleeps and port
    // accesses on it (clock_calls.h). None (real): the machine's.
    void set_clock(RunClock *clock) { clock_ = clock; }

    // Runs command (PROGRAM and its arguments) to the end and returns the
    // exit status velmo-emu ends with.
    int run(const std::vector<std::string> &command);
    // Ends the run from outside (velmo-test, at a scenario's end): every
    // task is killed, now and as it shows up; run() returns once they
    // have all ended.
    void end_now();

private:
    static constexpr int kGoOn = -1; // dispatch(): no status yet

    enum class EventKind {
        Exited,     // a task has ended
        PortCall,   // the filter stopped an ioperm or iopl
        CallEnd,    // a call resumed to its end has ended (a timed wait's try)
        Exec,       // a task has run execve
        NewTask,    // a task has created another (fork, vfork, clone)
        TaskStarts, // a new task's first stop
        PortFault,  // the kernel's SIGSEGV for a privileged instruction
        Signal,     // any other signal on its way to a task
        GroupStop,  // a task stopped by SIGSTOP, SIGTSTP, SIGTTIN or SIGTTOU
        Trap,       // a stop with nothing to serve (a group stop ended, ...)
        NoTasks,    // every task has ended
    };
    struct Event {
        EventKind kind = EventKind::NoTasks;
        pid_t pid = 0;
        int status = 0;          // the wait status
        int signal = 0;          // the stop's signal
        pid_t other = 0;         // NewTask: the new task; Exec: its thread ID before
        bool group_stop = false; // TaskStarts: it starts in a group stop
    };
    enum class Served { Yes, Fault, Unsupported, Lost };

    int start(const std::vector<std::string> &command);
    Event next_event();
    int dispatch(const Event &event);

    void on_exited(const Event &event);
    int on_port_call(pid_t pid);
    int on_exec(const Event &event);
    void on_new_task(pid_t creator, pid_t child);
    void on_task_starts(const Event &event);
    int on_port_fault(pid_t pid);
    void on_signal(pid_t pid, int signal);
    int finish();

    Served serve_port_instruction(pid_t pid, velmo::sim::Grants &grants);
    bool check_exec(pid_t pid);
    void release_orphans();
    bool creator_may_live(pid_t pid) const;
    void label(pid_t pid);
    bool trace_failed() const;
    int end_run();
    void kill_all();

    velmo::sim::Ports &ports_;
    bool show_;
    const TraceFile *trace_ = nullptr;
    std::string program_;
    bool x32_ = false;                  // the kernel runs x32 calls
    pid_t main_ = 0;                    // the program's first task
    bool started_ = false;              // the program has been exec'd
    int final_status_ = -1;             // the program's wait status
    velmo::toolkit::UniqueFd report_;   // the child's word on why it could not start
    std::shared_ptr<void> child_start_; // what the child reads until its exec
    Tasks tasks_;
    bool many_tasks_ = false; // more than one task has run: lines are labelled
    bool ending_ = false;     // end_now(): every task is killed
    pid_t labelled_ = 0;
    RunClock *clock_ = nullptr;
    std::unique_ptr<ClockCalls> clock_calls_;
};

} // namespace velmo::emu

#endif
