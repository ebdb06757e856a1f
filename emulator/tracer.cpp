#include "tracer.h"

#include "calls.h"
#include "capabilities.h"
#include "decode.h"
#include "filter.h"
#include "regs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

// How the child tells the tracer why it could not start the program.
struct StartFailure {
    int stage; // 0: the filter, 1: exec, 2: the capability
    int error;
};

[[noreturn]] void child_failed(int report_fd, int stage)
{
    const StartFailure failure{stage, errno};
    const ssize_t written = write(report_fd, &failure, sizeof failure);
    (void)written;
    _exit(kExitCannotStart);
}

[[noreturn]] void start_child(const std::vector<std::string> &command, std::vector<sock_filter> &filter, int report_fd)
{
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
        child_failed(report_fd, 0);
    }
    raise(SIGSTOP); // the tracer sets its options here
    if (const int error = drop_raw_io(); error != 0) {
        errno = error;
        child_failed(report_fd, 2);
    }
    if (!install_filter(filter)) {
        child_failed(report_fd, 0);
    }
    std::vector<char *> argv;
    for (const std::string &arg : command) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    child_failed(report_fd, 1);
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

} // namespace

Tracer::Tracer(velmo::sim::Ports &ports, bool show) : ports_(ports), show_(show) {}

void Tracer::serve_port_call(pid_t pid)
{
    __ptrace_syscall_info info{};
    Regs regs;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void *>(sizeof info), &info) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_SECCOMP || !regs.fetch(pid)) {
        return; // gone meanwhile
    }
    const PortCall call = decode_call(info.arch, info.seccomp.nr, info.seccomp.args, x32_);
    long result = 0;
    switch (call.kind) {
    case PortCall::Kind::Ioperm:
        result = -ports_.request(grants_, call.from, call.num, call.turn_on);
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
}

Tracer::Served Tracer::serve_port_instruction(pid_t pid)
{
    Regs regs;
    if (!regs.fetch(pid)) {
        return Served::Fault;
    }
    std::uint8_t code[15];
    const std::size_t size = read_code(pid, regs.pc(), code, sizeof code);
    const Decoded d = decode(code, size, regs.arch() == Arch::X86_64);
    switch (d.op) {
    case PortOp::None:
        return Served::Fault;
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
        const velmo::sim::Access access = ports_.in(grants_, port, value);
        if (access != velmo::sim::Access::Done) {
            return access == velmo::sim::Access::Fault ? Served::Fault : Served::Lost;
        }
        regs.set_al(value);
        break;
    }
    case PortOp::OutDxAl:
    case PortOp::OutImmAl: {
        const std::uint16_t port = d.op == PortOp::OutDxAl ? regs.dx() : d.port;
        const velmo::sim::Access access = ports_.out(grants_, port, regs.al());
        if (access != velmo::sim::Access::Done) {
            return access == velmo::sim::Access::Fault ? Served::Fault : Served::Lost;
        }
        if (show_ && ports_.board().is_register(port)) {
            std::fprintf(stderr, "%s\n", ports_.board().show().c_str());
        }
        break;
    }
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

void Tracer::kill_all()
{
    for (pid_t pid : tracees_) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(-1, &status, __WALL) > 0 || errno == EINTR) {
    }
}

int Tracer::run(const std::vector<std::string> &command)
{
    program_ = command.at(0);
    x32_ = kernel_runs_x32();
    std::vector<sock_filter> filter = port_filter(x32_);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
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
        close(report[0]);
        start_child(command, filter, report[1]);
    }
    close(report[1]);

    // Ctrl-C and Ctrl-\ reach the program itself, which shares the
    // terminal; velmo-emu stays to report how it ended.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFSTOPPED(status) || WSTOPSIG(status) != SIGSTOP) {
        StartFailure failure{};
        const bool told = read(report[0], &failure, sizeof failure) == static_cast<ssize_t>(sizeof failure);
        std::fprintf(stderr, "velmo-emu: cannot trace %s: %s\n", program_.c_str(),
                     told ? std::strerror(failure.error) : "the child ended early");
        close(report[0]);
        return kExitCannotServe;
    }
    const long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK |
                         PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void *>(options)) != 0) {
        std::fprintf(stderr, "velmo-emu: cannot trace %s: %s\n", program_.c_str(), std::strerror(errno));
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        close(report[0]);
        return kExitCannotServe;
    }
    tracees_.push_back(child);
    resume(child, 0);

    bool started = false;   // the program has been exec'd
    int final_status = -1;  // the program's wait status
    for (;;) {
        const pid_t pid = waitpid(-1, &status, __WALL);
        if (pid < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // ECHILD: every tracee is gone
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            tracees_.erase(std::remove(tracees_.begin(), tracees_.end(), pid), tracees_.end());
            if (pid == child) {
                final_status = status;
            }
            continue;
        }
        if (!WIFSTOPPED(status)) {
            continue;
        }
        const int sig = WSTOPSIG(status);
        const int event = status >> 16;
        if (std::find(tracees_.begin(), tracees_.end(), pid) == tracees_.end()) {
            // A new thread or child, attached by the kernel: it starts with
            // a SIGSTOP of the tracer's own.
            tracees_.push_back(pid);
            if (sig == SIGSTOP) {
                resume(pid, 0);
                continue;
            }
        }
        if (event == PTRACE_EVENT_SECCOMP) {
            serve_port_call(pid);
            resume(pid, 0);
            continue;
        }
        if (event == PTRACE_EVENT_EXEC) {
            if (!check_exec(pid)) {
                kill_all();
                close(report[0]);
                return kExitCannotServe;
            }
            started = true;
            resume(pid, 0);
            continue;
        }
        if (event != 0) {
            resume(pid, 0); // fork, vfork, clone
            continue;
        }
        siginfo_t info{};
        if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) != 0) {
            resume(pid, 0); // a group stop, not a signal to deliver
            continue;
        }
        if (sig == SIGSEGV && info.si_code == SI_KERNEL) {
            const Served served = serve_port_instruction(pid);
            if (served == Served::Lost) {
                std::fprintf(stderr, "velmo-emu: cannot serve %s: board file %s\n", program_.c_str(),
                             ports_.error().c_str());
            }
            if (served == Served::Unsupported || served == Served::Lost) {
                kill_all();
                close(report[0]);
                return kExitCannotServe;
            }
            resume(pid, served == Served::Yes ? 0 : SIGSEGV);
            continue;
        }
        resume(pid, sig);
    }

    if (!started) {
        StartFailure failure{};
        const bool told = read(report[0], &failure, sizeof failure) == static_cast<ssize_t>(sizeof failure);
        close(report[0]);
        if (told) {
            std::fprintf(stderr, "velmo-emu: cannot %s %s: %s\n",
                         failure.stage == 0   ? "filter the port calls of"
                         : failure.stage == 2 ? "drop CAP_SYS_RAWIO for"
                                              : "start",
                         program_.c_str(), std::strerror(failure.error));
            return failure.stage == 1 ? kExitCannotStart : kExitCannotServe;
        }
    }
    close(report[0]);
    if (final_status == -1) {
        std::fprintf(stderr, "velmo-emu: lost track of %s\n", program_.c_str());
        return kExitCannotServe;
    }
    if (WIFSIGNALED(final_status)) {
        const int n = WTERMSIG(final_status);
        std::fprintf(stderr, "velmo-emu: %s killed by signal %d (%s)\n", program_.c_str(), n, strsignal(n));
        return 128 + n;
    }
    return WEXITSTATUS(final_status);
}

} // namespace velmo::emu
