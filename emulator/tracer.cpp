#include "tracer.h"

#include "calls.h"
#include "capabilities.h"
#include "clock.h"
#include "clock_calls.h"
#include "decode.h"
#include "filter.h"
#include "regs.h"
#include "trace_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

// How the child tells the tracer why it could not start the program.
enum class Stage { Capability, Filter, Exec };
struct StartFailure {
    Stage stage;
    int error;
};

[[noreturn]] void child_failed(int report_fd, Stage stage, int error)
{
    const StartFailure failure{stage, error};
    const ssize_t written = write(report_fd, &failure, sizeof failure);
    (void)written;
    _exit(kExitCannotStart);
}

// The child, between fork and exec: it waits until the tracer has seized
// it, then gives up CAP_SYS_RAWIO, installs the filter and starts the
// program. Nothing here allocates.
[[noreturn]] void start_child(char *const *argv, std::vector<sock_filter> &filter, int go_fd, int report_fd,
                              bool trap_tsc)
{
    char go = 0;
    ssize_t n = 0;
    do {
        n = read(go_fd, &go, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        _exit(kExitCannotServe); // the tracer gave up before it traced us
    }
    if (const int error = drop_raw_io(); error != 0) {
        child_failed(report_fd, Stage::Capability, error);
    }
    if (!install_filter(filter)) {
        child_failed(report_fd, Stage::Filter, errno);
    }
    if (trap_tsc) {
        // rdtsc and rdtscp fault, in this task and all it starts, across
        // exec: the run's clock answers them.
        prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
    }
    execvp(argv[0], argv);
    child_failed(report_fd, Stage::Exec, errno);
}

// Up to 15 bytes of code at address; fewer where memory ends. One call
// where the code is readable, word by word through ptrace where it is not
// (execute-only pages).
std::size_t read_code(pid_t pid, std::uint64_t address, std::uint8_t *out, std::size_t size)
{
    if (address <= UINTPTR_MAX) {
        iovec local{out, size};
        iovec remote{reinterpret_cast<void *>(static_cast<std::uintptr_t>(address)), size};
        const ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
    }
    std::size_t got = 0;
    while (got < size) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void *>(address + got), nullptr);
        if (errno != 0) {
            break;
        }
        const std::size_t n = std::min(sizeof word, size - got);
        std::memcpy(out + got, &word, n);
        got += n;
    }
    return got;
}

// Every port access stops the program twice and wakes the tracer twice.
// On one CPU each of those is a context switch; across two it is a
// cross-CPU wake-up, several times dearer (five times on a virtual
// machine). So the tracer and everything it runs share the CPU it started
// on. Where the affinity cannot be set, things are merely slower.
void share_one_cpu()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return;
    }
    constexpr std::size_t kCpus = CPU_SETSIZE;
    const int current = sched_getcpu();
    std::size_t cpu = current < 0 ? kCpus : static_cast<std::size_t>(current);
    if (cpu >= kCpus || !CPU_ISSET(cpu, &allowed)) {
        for (cpu = 0; cpu < kCpus && !CPU_ISSET(cpu, &allowed); ++cpu) {
        }
    }
    if (cpu >= kCpus) {
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

void resume(pid_t pid, int signal)
{
    // ESRCH: the tracee was killed meanwhile; its exit comes from waitpid.
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
}

// A task's first stop ends as the stop was: a group stop stays stopped.
void resume_first(pid_t pid, bool in_group_stop)
{
    if (in_group_stop) {
        ptrace(PTRACE_LISTEN, pid, nullptr, nullptr);
    } else {
        resume(pid, 0);
    }
}

bool is_stop_signal(int signal)
{
    return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// A field of /proc/PID/status, as text ("" when there is none).
std::string status_field(pid_t pid, const char *name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(name) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            const std::size_t start = line.find_first_not_of(" \t", prefix.size());
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

// Is a SIGCONT waiting for the task? Then it came after the stop signal
// the tracer holds, and, as the kernel discards a stop signal still
// pending when SIGCONT comes, that stop signal is not delivered: the task
// does not stay stopped after the SIGCONT meant to end its stop.
bool sigcont_pending(pid_t pid)
{
    const unsigned long long bit = 1ull << (SIGCONT - 1);
    for (const char *field : {"SigPnd", "ShdPnd"}) {
        const std::string mask = status_field(pid, field);
        if (!mask.empty() && (std::strtoull(mask.c_str(), nullptr, 16) & bit) != 0) {
            return true;
        }
    }
    return false;
}

} // namespace

Tracer::Tracer(velmo::sim::Ports &ports, bool show) : ports_(ports), show_(show) {}

Tracer::~Tracer() = default;

int Tracer::run(const std::vector<std::string> &command)
{
    int status = start(command);
    while (status == kGoOn) {
        if (clock_ == nullptr) {
            status = dispatch(next_event());
            continue;
        }
        // The run's clock sees each task stop and go on (clock.h).
        const Event event = next_event();
        if (event.kind != EventKind::Exited && event.kind != EventKind::NoTasks) {
            clock_->task_stopped(event.pid);
        }
        status = dispatch(event);
        if (event.kind != EventKind::Exited && !clock_calls_->holds(event.pid)) {
            clock_->task_resumed(event.pid);
        }
    }
    return status;
}

// Starting the program: a child that waits on a pipe until the tracer has
// seized it with its options (so nothing of the program runs untraced),
// and a second pipe, closed by its exec, on which it says why it could not
// get that far.
int Tracer::start(const std::vector<std::string> &command)
{
    program_ = command.at(0);
    x32_ = kernel_runs_x32();
    std::vector<sock_filter> filter = port_filter(x32_, clock_ != nullptr);
    if (clock_ != nullptr) {
        clock_calls_ = std::make_unique<ClockCalls>(*clock_, program_, [this] {
            std::vector<pid_t> pids;
            for (const auto &entry : tasks_) {
                pids.push_back(entry.first);
            }
            return pids;
        });
    }
    std::vector<char *> argv;
    for (const std::string &arg : command) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);

    UniqueFd report_read;
    UniqueFd report_write;
    UniqueFd go_read;
    UniqueFd go_write;
    if (!make_pipe(report_read, report_write) || !make_pipe(go_read, go_write)) {
        std::fprintf(stderr, "velmo-emu: pipe: %s\n", std::strerror(errno));
        return kExitCannotServe;
    }
    share_one_cpu();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "velmo-emu: fork: %s\n", std::strerror(errno));
        return kExitCannotServe;
    }
    if (child == 0) {
        start_child(argv.data(), filter, go_read.get(), report_write.get(), clock_ != nullptr);
    }
    report_write.reset();
    go_read.reset();

    const long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                         PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SEIZE, child, nullptr, reinterpret_cast<void *>(options)) != 0) {
        std::fprintf(stderr, "velmo-emu: cannot trace %s: %s\n", program_.c_str(), std::strerror(errno));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return kExitCannotServe;
    }
    // Ctrl-C and Ctrl-\ reach the program itself, which shares the
    // terminal; velmo-emu stays to report how it ended. A trace on a pipe
    // that closes is a write that fails, said as such.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    main_ = child;
    Task &first = tasks_[child];
    first.seen = true;
    first.named = true;
    report_ = std::move(report_read);
    // Should this fail, the child reads end of file and ends: finish() says so.
    const char go = 1;
    const ssize_t sent = write(go_write.get(), &go, 1);
    (void)sent;
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
        const auto known = tasks_.find(pid);
        if (known == tasks_.end() || !known->second.seen) {
            e.kind = EventKind::TaskStarts;
            e.group_stop = event == PTRACE_EVENT_STOP && is_stop_signal(e.signal);
            return e;
        }
        unsigned long message = 0;
        switch (event) {
        case PTRACE_EVENT_SECCOMP:
            e.kind = EventKind::PortCall;
            return e;
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
        case PTRACE_EVENT_STOP:
            e.kind = is_stop_signal(e.signal) ? EventKind::GroupStop : EventKind::Trap;
            return e;
        case 0:
            e.kind = EventKind::Signal;
            if (e.signal == SIGSEGV) {
                siginfo_t info{};
                if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) == 0 && info.si_code == SI_KERNEL) {
                    e.kind = EventKind::PortFault;
                }
            }
            return e;
        default:
            e.kind = EventKind::Trap;
            return e;
        }
    }
}

int Tracer::dispatch(const Event &e)
{
    switch (e.kind) {
    case EventKind::Exited:
        on_exited(e);
        return kGoOn;
    case EventKind::PortCall:
        return on_port_call(e.pid);
    case EventKind::Exec:
        return on_exec(e);
    case EventKind::NewTask:
        on_new_task(e.pid, e.other);
        return kGoOn;
    case EventKind::TaskStarts:
        on_task_starts(e);
        return kGoOn;
    case EventKind::PortFault:
        return on_port_fault(e.pid);
    case EventKind::Signal:
        on_signal(e.pid, e.signal);
        return kGoOn;
    case EventKind::GroupStop:
        // Stopped it stays, as without a tracer, until a SIGCONT; the
        // kernel then reports it again (a Trap).
        ptrace(PTRACE_LISTEN, e.pid, nullptr, nullptr);
        return kGoOn;
    case EventKind::Trap:
        resume(e.pid, 0);
        return kGoOn;
    case EventKind::NoTasks:
        return finish();
    }
    return kGoOn;
}

void Tracer::on_exited(const Event &e)
{
    if (tasks_.erase(e.pid) == 0) {
        reaped_.insert(e.pid);
    }
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
    Task &task = tasks_[pid];
    __ptrace_syscall_info info{};
    Regs regs;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void *>(sizeof info), &info) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_SECCOMP || !regs.fetch(pid)) {
        resume(pid, 0); // gone meanwhile
        return kGoOn;
    }
    if (clock_calls_) {
        switch (clock_calls_->on_call(pid, info, regs)) {
        case ClockCalls::Outcome::NotMine:
            break;
        case ClockCalls::Outcome::Held:
            return kGoOn;
        case ClockCalls::Outcome::Resume:
        case ClockCalls::Outcome::Pass:
            resume(pid, 0);
            return kGoOn;
        }
    }
    const PortCall call = decode_call(info.arch, info.seccomp.nr, info.seccomp.args, x32_);
    label(pid);
    long result = 0;
    switch (call.kind) {
    case PortCall::Kind::Ioperm:
        result = -ports_.request(task.grants, call.from, call.num, call.turn_on);
        break;
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
    // A thread other than the first that runs execve takes over the first
    // one's thread ID; its grants go with it.
    if (e.other != e.pid) {
        const auto former = tasks_.find(e.other);
        if (former != tasks_.end()) {
            tasks_[e.pid] = former->second;
            tasks_.erase(e.other);
        }
    }
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
    if (reaped_.erase(child) == 0) {
        many_tasks_ = true;
        Task &created = tasks_[child];
        if (!created.named) {
            created.grants = tasks_[creator].grants;
            created.named = true;
        }
        if (created.held) {
            release(child, created);
        }
    }
    resume(creator, 0);
}

void Tracer::on_task_starts(const Event &e)
{
    many_tasks_ = true;
    Task &task = tasks_[e.pid];
    task.seen = true;
    task.held_in_group_stop = e.group_stop;
    if (!task.named) {
        // Its creator is stopped at the clone until its event names the new
        // task; meanwhile its grants are what they were at the clone. When
        // no task holds any, that is what the new one gets.
        const bool any = std::any_of(tasks_.begin(), tasks_.end(),
                                     [](const auto &entry) { return entry.second.grants.any(); });
        if (any) {
            task.held = true;
            return;
        }
        task.named = true;
    }
    release(e.pid, task);
}

void Tracer::release(pid_t pid, Task &task)
{
    task.held = false;
    task.named = true;
    resume_first(pid, task.held_in_group_stop);
}

// A creator killed by SIGKILL in the middle of a fork never reports it:
// the new process, held, would wait for ever. Once its parent is no task
// of this program, it is released with no grants.
void Tracer::release_orphans()
{
    for (auto &[pid, task] : tasks_) {
        if (task.held && !creator_may_live(pid)) {
            release(pid, task);
        }
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
        return tasks_.count(main_) != 0; // made with CLONE_PARENT by the program
    }
    return tasks_.count(ppid) != 0 || status_field(ppid, "TracerPid") == std::to_string(getpid());
}

int Tracer::on_port_fault(pid_t pid)
{
    const Served served = serve_port_instruction(pid, tasks_[pid]);
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
    resume(pid, is_stop_signal(signal) && sigcont_pending(pid) ? 0 : signal);
}

int Tracer::finish()
{
    if (!started_) {
        StartFailure failure{};
        if (read(report_.get(), &failure, sizeof failure) != static_cast<ssize_t>(sizeof failure)) {
            std::fprintf(stderr, "velmo-emu: cannot start %s: its process ended before it could\n",
                         program_.c_str());
            return kExitCannotServe;
        }
        const char *what = failure.stage == Stage::Capability ? "drop CAP_SYS_RAWIO for"
                           : failure.stage == Stage::Filter   ? "filter the port calls of"
                                                              : "start";
        std::fprintf(stderr, "velmo-emu: cannot %s %s: %s\n", what, program_.c_str(), std::strerror(failure.error));
        return failure.stage == Stage::Exec ? kExitCannotStart : kExitCannotServe;
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

Tracer::Served Tracer::serve_port_instruction(pid_t pid, Task &task)
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
    case PortOp::None:
        return clock_calls_ && clock_calls_->on_tsc(pid, regs, code, size) ? Served::Yes : Served::Fault;
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
        const velmo::sim::Access access = ports_.in(task.grants, port, value);
        if (access != velmo::sim::Access::Done) {
            return access == velmo::sim::Access::Fault ? Served::Fault : Served::Lost;
        }
        regs.set_al(value);
        break;
    }
    case PortOp::OutDxAl:
    case PortOp::OutImmAl: {
        const std::uint16_t port = d.op == PortOp::OutDxAl ? regs.dx() : d.port;
        const velmo::sim::Access access = ports_.out(task.grants, port, regs.al());
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
        std::fprintf(stderr, "velmo-emu: %s: cannot read its registers: %s\n", program_.c_str(),
                     std::strerror(errno));
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
    for (const auto &entry : tasks_) {
        kill(entry.first, SIGKILL);
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
