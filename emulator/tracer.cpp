#include "tracer.h"

#include "calls.h"
#include "run_clock.h"
#include "clock_calls.h"
#include "decode.h"
#include "launch.h"
#include "proc.h"
#include "regs.h"
#include "supervise.h"
#include "trace_file.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

void resume(pid_t pid, int signal)
{
    // ESRCH: the tracee was killed meanwhile; its exit comes from waitpid.
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
}

// A task's first stop ends as the stop was: a group stop stays stopped.
void release(pid_t pid, Release release)
{
    if (release == Release::Listen) {
        ptrace(PTRACE_LISTEN, pid, nullptr, nullptr);
    } else if (release == Release::Resume) {
        resume(pid, 0);
    }
}

bool is_stop_signal(int signal)
{
    return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

} // namespace

Tracer::Tracer(velmo::sim::Ports &ports, bool show) : ports_(ports), show_(show) {}

Tracer::~Tracer() = default;

int Tracer::run(const std::vector<std::string> &command)
{
    int status = start(command);
    bool killed = false;
    while (status == kGoOn) {
        if (clock_ == nullptr) {
            status = dispatch(next_event());
        } else {
            // The run's clock sees each task stop and go on (run_clock.h).
            const Event event = next_event();
            if (event.kind != EventKind::Exited && event.kind != EventKind::NoTasks) {
                clock_->task_stopped(event.pid);
            }
            status = dispatch(event);
            if (event.kind != EventKind::Exited && !clock_calls_->holds(event.pid)) {
                clock_->task_resumed(event.pid);
            }
        }
        if (ending_ || (!killed && supervision_kills())) {
            killed = true; // its tasks end as the program did: their exits follow
            for (const pid_t pid : tasks_.pids()) {
                kill(pid, SIGKILL);
            }
        }
    }
    return status;
}

void Tracer::end_now()
{
    ending_ = true;
    for (const pid_t pid : tasks_.pids()) {
        kill(pid, SIGKILL);
    }
}

int Tracer::start(const std::vector<std::string> &command)
{
    program_ = command.at(0);
    x32_ = kernel_runs_x32();
    if (clock_ != nullptr) {
        clock_calls_ = std::make_unique<ClockCalls>(*clock_, program_, [this] { return tasks_.pids(); });
    }
    Launched launched;
    if (const int status = launch(command, x32_, launched, clock_ != nullptr); status != 0) {
        return status;
    }
    main_ = launched.pid;
    supervise(main_);
    tasks_.add_first(main_);
    report_ = std::move(launched.report);
    child_start_ = std::move(launched.start);
    return kGoOn;
}

Tracer::Event Tracer::next_event()
{
    Event e;
    for (;;) {
        int status = 0;
        const pid_t pid = clock_calls_ ? clock_calls_->wait(&status) : waitpid(-1, &status, __WALL);
        if (pid < 0) {
            if (errno == EINTR) {
                continue;
            }
            e.kind = EventKind::NoTasks; // ECHILD: every task has ended
            return e;
        }
        e.pid = pid;
        e.status = status;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            e.kind = EventKind::Exited;
            return e;
        }
        if (!WIFSTOPPED(status)) {
            continue;
        }
        e.signal = WSTOPSIG(status);
        const unsigned event = static_cast<unsigned>(status) >> 16;
        if (!tasks_.started(pid)) {
            e.kind = EventKind::TaskStarts;
            e.group_stop = event == PTRACE_EVENT_STOP && is_stop_signal(e.signal);
            return e;
        }
        unsigned long message = 0;
        switch (event) {
        case PTRACE_EVENT_SECCOMP: e.kind = EventKind::PortCall; return e;
        case PTRACE_EVENT_EXEC:
            e.kind = EventKind::Exec;
            e.other = ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &message) == 0 ? static_cast<pid_t>(message) : pid;
            return e;
        case PTRACE_EVENT_FORK:
        case PTRACE_EVENT_VFORK:
        case PTRACE_EVENT_CLONE:
            if (ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &message) == 0) {
                e.kind = EventKind::NewTask;
                e.other = static_cast<pid_t>(message);
            } else {
                e.kind = EventKind::Trap;
            }
            return e;
        case PTRACE_EVENT_STOP: e.kind = is_stop_signal(e.signal) ? EventKind::GroupStop : EventKind::Trap; return e;
        case 0:
            if (e.signal == (SIGTRAP | 0x80)) { // PTRACE_O_TRACESYSGOOD's syscall stop
                e.kind = EventKind::CallEnd;
                return e;
            }
            e.kind = EventKind::Signal;
            if (e.signal == SIGSEGV) {
                siginfo_t info{};
                if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) == 0 && info.si_code == SI_KERNEL) {
                    e.kind = EventKind::PortFault;
                }
            }
            return e;
        default: e.kind = EventKind::Trap; return e;
        }
    }
}

int Tracer::dispatch(const Event &e)
{
    switch (e.kind) {
    case EventKind::Exited: on_exited(e); return kGoOn;
    case EventKind::PortCall: return on_port_call(e.pid);
    case EventKind::CallEnd:
        if (!clock_calls_ || clock_calls_->on_call_end(e.pid) != ClockCalls::Outcome::Held) {
            resume(e.pid, 0);
        }
        return kGoOn;
    case EventKind::Exec: return on_exec(e);
    case EventKind::NewTask: on_new_task(e.pid, e.other); return kGoOn;
    case EventKind::TaskStarts: on_task_starts(e); return kGoOn;
    case EventKind::PortFault: return on_port_fault(e.pid);
    case EventKind::Signal: on_signal(e.pid, e.signal); return kGoOn;
    case EventKind::GroupStop:
        // Stopped it stays, as without a tracer, until a SIGCONT; the
        // kernel then reports it again (a Trap).
        ptrace(PTRACE_LISTEN, e.pid, nullptr, nullptr);
        return kGoOn;
    case EventKind::Trap: resume(e.pid, 0); return kGoOn;
    case EventKind::NoTasks: return finish();
    }
    return kGoOn;
}

void Tracer::on_exited(const Event &e)
{
    tasks_.ended(e.pid);
    if (clock_ != nullptr) {
        clock_calls_->forget(e.pid);
        clock_->task_gone(e.pid);
    }
    if (e.pid == main_) {
        final_status_ = e.status;
    }
    release_orphans();
}

int Tracer::on_port_call(pid_t pid)
{
    velmo::sim::Grants &grants = tasks_.grants(pid);
    __ptrace_syscall_info info{};
    Regs regs;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void *>(sizeof info), &info) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_SECCOMP || !regs.fetch(pid)) {
        resume(pid, 0); // gone meanwhile
        return kGoOn;
    }
    if (clock_calls_) {
        switch (clock_calls_->on_call(pid, info, regs)) {
        case ClockCalls::Outcome::NotMine: break;
        case ClockCalls::Outcome::Held: return kGoOn;
        case ClockCalls::Outcome::Resume:
        case ClockCalls::Outcome::Pass: resume(pid, 0); return kGoOn;
        case ClockCalls::Outcome::Probe: ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr); return kGoOn;
        }
    }
    const PortCall call = decode_call(info.arch, info.seccomp.nr, info.seccomp.args, x32_);
    label(pid);
    long result = 0;
    switch (call.kind) {
    case PortCall::Kind::Ioperm: result = -ports_.request(grants, call.from, call.num, call.turn_on); break;
    case PortCall::Kind::Iopl:
        // iopl would open every port at once, past the board. A level above
        // 3 is invalid; level 0 asks for nothing; any other is refused as
        // for an unprivileged process.
        result = call.level > 3 ? -EINVAL : call.level == 0 ? 0 : -EPERM;
        ports_.note("iopl " + std::to_string(call.level) + (result == 0 ? " granted" : " denied"));
        break;
    case PortCall::Kind::Other:
        // A filter of the program's own handed this call to a tracer;
        // without one, the kernel answers ENOSYS.
        result = -ENOSYS;
        break;
    }
    regs.skip_syscall(result);
    regs.store(pid);
    if (trace_failed()) {
        return end_run();
    }
    resume(pid, 0);
    return kGoOn;
}

int Tracer::on_exec(const Event &e)
{
    tasks_.exec(e.pid, e.other);
    if (!check_exec(e.pid)) {
        kill_all();
        return kExitCannotServe;
    }
    started_ = true;
    if (clock_calls_) {
        clock_calls_->on_exec(e.pid);
    }
    resume(e.pid, 0);
    return kGoOn;
}

void Tracer::on_new_task(pid_t creator, pid_t child)
{
    Release child_release = Release::Keep;
    if (tasks_.created(creator, child, child_release)) {
        many_tasks_ = true;
        release(child, child_release);
    }
    resume(creator, 0);
}

void Tracer::on_task_starts(const Event &e)
{
    many_tasks_ = true;
    release(e.pid, tasks_.first_stop(e.pid, e.group_stop));
}

// A creator killed by SIGKILL in the middle of a fork never reports it:
// the new process, held, would wait for ever. Once its parent is no task
// of this program, it is released with no grants.
void Tracer::release_orphans()
{
    for (const auto &[pid, how] : tasks_.release_orphans([this](pid_t task) { return !creator_may_live(task); })) {
        release(pid, how);
    }
}

bool Tracer::creator_may_live(pid_t pid) const
{
    if (status_field(pid, "Tgid") != std::to_string(pid)) {
        return true; // a thread: its creator is in its own process, which lives
    }
    const std::string parent = status_field(pid, "PPid");
    if (parent.empty()) {
        return false;
    }
    const pid_t ppid = static_cast<pid_t>(std::strtol(parent.c_str(), nullptr, 10));
    if (ppid == getpid()) {
        return tasks_.known(main_); // made with CLONE_PARENT by the program
    }
    return tasks_.known(ppid) || status_field(ppid, "TracerPid") == std::to_string(getpid());
}

int Tracer::on_port_fault(pid_t pid)
{
    const Served served = serve_port_instruction(pid, tasks_.grants(pid));
    if (served == Served::Lost) {
        std::fprintf(stderr, "velmo-emu: cannot serve %s: %s\n", program_.c_str(), ports_.error().c_str());
    }
    if (served == Served::Unsupported || served == Served::Lost) {
        kill_all();
        return kExitCannotServe;
    }
    if (trace_failed()) {
        return end_run();
    }
    resume(pid, served == Served::Yes ? 0 : SIGSEGV);
    return kGoOn;
}

void Tracer::on_signal(pid_t pid, int signal)
{
    if (clock_calls_) {
        clock_calls_->on_signal(pid, signal);
    }
    resume(pid, is_stop_signal(signal) && sigcont_pending(pid) ? 0 : signal);
}

int Tracer::finish()
{
    if (!started_) {
        return report_start_failure(report_.get(), program_);
    }
    if (final_status_ == -1) {
        std::fprintf(stderr, "velmo-emu: lost track of %s\n", program_.c_str());
        return kExitCannotServe;
    }
    if (WIFSIGNALED(final_status_)) {
        const int n = WTERMSIG(final_status_);
        std::fprintf(stderr, "velmo-emu: %s killed by signal %d (%s)\n", program_.c_str(), n, strsignal(n));
        return 128 + n;
    }
    return WEXITSTATUS(final_status_);
}

Tracer::Served Tracer::serve_port_instruction(pid_t pid, velmo::sim::Grants &grants)
{
    Regs regs;
    if (!regs.fetch(pid)) {
        return Served::Fault;
    }
    std::uint8_t code[15];
    const std::size_t size = read_code(pid, regs.pc(), code, sizeof code);
    const Decoded d = decode(code, size, regs.arch() == Arch::X86_64);
    label(pid);
    switch (d.op) {
    case PortOp::None: return clock_calls_ && clock_calls_->on_tsc(pid, regs, code, size) ? Served::Yes : Served::Fault;
    case PortOp::Unsupported:
        std::fprintf(stderr,
                     "velmo-emu: %s: unsupported port instruction \"%s\" (%s) at 0x%llx; "
                     "only in al,dx / in al,imm8 / out dx,al / out imm8,al are served\n",
                     program_.c_str(), d.text.c_str(), hex_bytes(code, d.length).c_str(),
                     static_cast<unsigned long long>(regs.pc()));
        return Served::Unsupported;
    case PortOp::InAlDx:
    case PortOp::InAlImm: {
        const std::uint16_t port = d.op == PortOp::InAlDx ? regs.dx() : d.port;
        std::uint8_t value = 0;
        const velmo::sim::Access access = ports_.in(grants, port, value);
        if (access != velmo::sim::Access::Done) {
            return access == velmo::sim::Access::Fault ? Served::Fault : Served::Lost;
        }
        regs.set_al(value);
        break;
    }
    case PortOp::OutDxAl:
    case PortOp::OutImmAl: {
        const std::uint16_t port = d.op == PortOp::OutDxAl ? regs.dx() : d.port;
        const velmo::sim::Access access = ports_.out(grants, port, regs.al());
        if (access != velmo::sim::Access::Done) {
            return access == velmo::sim::Access::Fault ? Served::Fault : Served::Lost;
        }
        if (show_ && ports_.board().is_register(port)) {
            std::fprintf(stderr, "%s\n", ports_.board().show().c_str());
        }
        break;
    }
    }
    if (clock_ != nullptr) {
        clock_->port_access();
    }
    regs.set_pc(regs.pc() + d.length);
    regs.store(pid);
    return Served::Yes;
}

bool Tracer::check_exec(pid_t pid)
{
    Regs regs;
    if (!regs.fetch(pid)) {
        std::fprintf(stderr, "velmo-emu: %s: cannot read its registers: %s\n", program_.c_str(), std::strerror(errno));
        return false;
    }
    if (sizeof(long) < 8 && regs.arch() == Arch::X86_64) {
        std::fprintf(stderr,
                     "velmo-emu: %s is an x86_64 program; this velmo-emu is a 32-bit build and "
                     "serves i386 programs only (use the x86_64 build)\n",
                     program_.c_str());
        return false;
    }
    return true;
}

// Trace lines name their task once the program has had more than one:
// "[pid 1234] in 0x50f 0x00", the thread ID, which for a process's first
// thread is its process ID.
void Tracer::label(pid_t pid)
{
    if (many_tasks_ && pid != labelled_) {
        ports_.set_label("[pid " + std::to_string(pid) + "] ");
        labelled_ = pid;
    }
}

bool Tracer::trace_failed() const
{
    return trace_ != nullptr && trace_->failed();
}

int Tracer::end_run()
{
    std::fprintf(stderr, "velmo-emu: %s\n", trace_->error().c_str());
    kill_all();
    return kExitCannotServe;
}

void Tracer::kill_all()
{
    for (const pid_t pid : tasks_.pids()) {
        kill(pid, SIGKILL);
    }
    // Tasks not met yet are killed as they show up.
    int status = 0;
    for (;;) {
        const pid_t pid = waitpid(-1, &status, __WALL);
        if (pid < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (WIFSTOPPED(status)) {
            kill(pid, SIGKILL);
        }
    }
}

} // namespace velmo::emu
