#include "launch.h"

#include "capabilities.h"
#include "filter.h"
#include "io.h"
#include "tracer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
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
    std::size_t done = 0;
    velmo::toolkit::write_all(report_fd, &failure, sizeof failure, done);
    _exit(kExitCannotStart);
}

// What the child reads between its start and its exec. When it shares
// velmo-emu's memory, this stays where it is until the run ends.
struct ChildStart {
    std::vector<sock_filter> filter;
    std::vector<char *> argv;
    int go_fd = -1;
    int report_fd = -1;
    bool trap_tsc = false;
    bool own_memory = true; // forked: its memory is a copy of velmo-emu's
    void *stack = nullptr;  // its stack, where it shares velmo-emu's memory
    std::size_t stack_size = 0;
    ChildStart() = default;
    ChildStart(const ChildStart &) = delete;
    ChildStart &operator=(const ChildStart &) = delete;
    ~ChildStart()
    {
        if (stack != nullptr) {
            munmap(stack, stack_size);
        }
    }
};

// The child, between its start and exec: it waits until the tracer has
// seized it, then gives up what the program must not hold, installs the
// filter and starts the program. Forked, it first makes itself dumpable
// (velmo-emu is not, a child starts as its parent is, and without
// CAP_SYS_PTRACE velmo-emu could not trace it) and says so. Sharing
// velmo-emu's memory it must not (dumpable belongs to the memory:
// velmo-emu's would be open too), and need not: that way is taken only
// where velmo-emu holds CAP_SYS_PTRACE. The program's exec makes it
// dumpable or not as its file says. Nothing here allocates.
[[noreturn]] void start_child(const ChildStart &start)
{
    char go = 0;
    const char ready = 1;
    std::size_t said = 0;
    if ((start.own_memory && (prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0 ||
                              velmo::toolkit::write_all(start.report_fd, &ready, 1, said) != 0)) ||
        velmo::toolkit::read_some(start.go_fd, &go, 1) != 1) {
        _exit(kExitCannotServe); // the tracer gave up before it traced us
    }
    if (const int error = drop_program_capabilities(); error != 0) {
        child_failed(start.report_fd, Stage::Capability, error);
    }
    // The filter is read, not changed: prctl takes a pointer to non-const.
    if (!install_filter(const_cast<std::vector<sock_filter> &>(start.filter))) {
        child_failed(start.report_fd, Stage::Filter, errno);
    }
    if (start.trap_tsc) {
        // rdtsc and rdtscp fault, in this task and all it starts, across
        // exec: the run's clock answers them.
        prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
    }
    execvp(start.argv[0], start.argv.data());
    child_failed(start.report_fd, Stage::Exec, errno);
}

#if !defined(__SANITIZE_ADDRESS__)
int run_child(void *start)
{
    start_child(*static_cast<const ChildStart *>(start));
}

// Does velmo-emu hold CAP_SYS_PTRACE, so that it may trace a child that is
// not dumpable?
bool may_trace_undumpable()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, sets) == 0 &&
           (sets[CAP_SYS_PTRACE / 32].effective & (1u << (CAP_SYS_PTRACE % 32))) != 0;
}
#endif

// Starts the child. A fork copies velmo-emu's page tables and marks every
// page copy-on-write, and each page velmo-emu writes afterwards costs a
// fault: on a virtual machine that is most of a run's start-up (about 2 ms
// of the 3 a fork and exec take). So where velmo-emu may trace an
// undumpable child, the child shares its memory until its exec, on a stack
// of its own. Not under AddressSanitizer, which takes a stack it did not
// make for a corrupted one.
pid_t start_child_process(ChildStart &start)
{
#if !defined(__SANITIZE_ADDRESS__)
    if (may_trace_undumpable()) {
        constexpr std::size_t kStackSize = 256 * 1024;
        void *stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack != MAP_FAILED) {
            start.stack = stack;
            start.stack_size = kStackSize;
            start.own_memory = false;
            return clone(run_child, static_cast<char *>(stack) + kStackSize, CLONE_VM | SIGCHLD, &start);
        }
    }
#endif
    const pid_t child = fork();
    if (child == 0) {
        start_child(start);
    }
    return child;
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

// Does the file hold capabilities of its own (setcap)?
bool has_file_capabilities(const std::string &file)
{
    return !file.empty() && getxattr(file.c_str(), "security.capability", nullptr, 0) >= 0;
}

} // namespace

std::string program_file(const std::string &name)
{
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char *env = std::getenv("PATH");
    const std::string dirs = env != nullptr ? env : "/bin:/usr/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            return "";
        }
        start = end + 1;
    }
}

int launch(const std::vector<std::string> &command, bool x32, Launched &launched, bool time_calls)
{
    const std::string &program = command.at(0);
    auto start = std::make_shared<ChildStart>();
    start->filter = port_filter(x32, time_calls);
    for (const std::string &arg : command) {
        start->argv.push_back(const_cast<char *>(arg.c_str()));
    }
    start->argv.push_back(nullptr);
    start->trap_tsc = time_calls;

    velmo::toolkit::UniqueFd report_read;
    velmo::toolkit::UniqueFd report_write;
    velmo::toolkit::UniqueFd go_read;
    velmo::toolkit::UniqueFd go_write;
    if (!velmo::toolkit::make_pipe(report_read, report_write) || !velmo::toolkit::make_pipe(go_read, go_write)) {
        std::fprintf(stderr, "velmo-emu: pipe: %s\n", std::strerror(errno));
        return kExitCannotServe;
    }
    start->go_fd = go_read.get();
    start->report_fd = report_write.get();
    share_one_cpu();
    std::fflush(nullptr);
    const pid_t child = start_child_process(*start);
    if (child < 0) {
        std::fprintf(stderr, "velmo-emu: fork: %s\n", std::strerror(errno));
        return kExitCannotServe;
    }
    launched.start = start;
    report_write.reset();
    go_read.reset();
    // A forked child says when it may be traced; one that shares
    // velmo-emu's memory may be at once.
    char ready = 0;
    if (start->own_memory && velmo::toolkit::read_some(report_read.get(), &ready, 1) != 1) {
        std::fprintf(stderr, "velmo-emu: cannot start %s: its process ended before it could\n", program.c_str());
        waitpid(child, nullptr, 0);
        return kExitCannotServe;
    }

    // TRACESYSGOOD: the end of a call the tracer resumes to its end (a
    // timed wait's try, clock_calls.h) is told from a SIGTRAP.
    const long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                         PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD;
    if (ptrace(PTRACE_SEIZE, child, nullptr, reinterpret_cast<void *>(options)) != 0) {
        std::fprintf(stderr, "velmo-emu: cannot trace %s: %s\n", program.c_str(), std::strerror(errno));
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

    launched.pid = child;
    launched.report = std::move(report_read);
    // Should this fail, the child reads end of file and ends: the tracer
    // says so when it finds no program.
    const char go = 1;
    std::size_t sent = 0;
    velmo::toolkit::write_all(go_write.get(), &go, 1, sent);
    return 0;
}

int report_start_failure(int report_fd, const std::string &program)
{
    StartFailure failure{};
    if (velmo::toolkit::read_some(report_fd, &failure, sizeof failure) != static_cast<ssize_t>(sizeof failure)) {
        std::fprintf(stderr, "velmo-emu: cannot start %s: its process ended before it could\n", program.c_str());
        return kExitCannotServe;
    }
    // The kernel grants a file's capabilities at exec only where the caller
    // could hold them; under velmo-emu CAP_SYS_RAWIO is gone for good, so a
    // file that asks for it in its effective set is refused outright.
    if (failure.stage == Stage::Exec && failure.error == EPERM && has_file_capabilities(program_file(program))) {
        std::fprintf(stderr,
                     "velmo-emu: cannot start %s: its file capabilities cannot be granted under velmo-emu; "
                     "run a copy without them\n",
                     program.c_str());
        return kExitNotExecutable;
    }
    const char *what = failure.stage == Stage::Capability ? "take CAP_SYS_RAWIO, CAP_SYS_PTRACE and CAP_SYS_MODULE from"
                       : failure.stage == Stage::Filter   ? "filter the port calls of"
                                                          : "start";
    std::fprintf(stderr, "velmo-emu: cannot %s %s: %s\n", what, program.c_str(), std::strerror(failure.error));
    return failure.stage == Stage::Exec ? kExitCannotStart : kExitCannotServe;
}

} // namespace velmo::emu
