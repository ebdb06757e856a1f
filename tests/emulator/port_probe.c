/* Port instructions and port calls in their raw forms, one scenario per
 * run, for velmo-emu's end-to-end tests:
 *
 *   port_probe true                 exit 0 (does this program run here?)
 *   port_probe read PORT...         ioperm(PORT,1,1) + in al,dx; prints values
 *   port_probe write PORT VALUE     ioperm(PORT,1,1) + out dx,al
 *   port_probe imm                  ioperm(0,0x40,1); in al,0x0f; out 0x38,al
 *   port_probe thread               a second thread asks for 0x538 and reads it
 *   port_probe no-ioperm            in al,dx on 0x50f without asking first
 *   port_probe revoke               ioperm 0x507 on, then off, then in
 *   port_probe handler              as no-ioperm, with a SIGSEGV handler
 *   port_probe ioperm FROM NUM ON   prints ioperm's result and errno
 *   port_probe iopl LEVEL           prints iopl's result and errno
 *   port_probe FORM                 inw, inl, outw, insb, outsb, rep-insb,
 *                                   seg-inb: an unsupported form on 0x50f
 *   port_probe readonly             a real fault: writes to a read-only page
 *   port_probe hlt                  a privileged instruction other than in/out
 *   port_probe kill SIG             raises signal SIG
 *   port_probe exit N               exit status N
 *   port_probe echo                 copies stdin to stdout and stderr
 *
 * The ways out that velmo-emu closes, each tried as a program would:
 *   port_probe untraced             a child cloned with CLONE_UNTRACED asks its
 *                                   parent to trace it and lets its ioperm
 *                                   through; clone3; PTRACE_TRACEME in a child
 *   port_probe notify               a seccomp filter of its own hands ioperm to
 *                                   a listener thread, which lets it through
 *                                   to the kernel; then in 0x50f
 *   port_probe devport PATH         opens PATH (a /dev/port node) and closes it
 *                                   again, never reading or writing
 *   port_probe caps                 which capability sets hold CAP_SYS_RAWIO,
 *                                   and no_new_privs (/proc/self/status)
 *   port_probe attach-parent        PTRACE_ATTACH to its parent
 *   port_probe escape               reaches into its parent as a hostile program
 *                                   would (/proc/PPID/mem and syscall,
 *                                   pidfd_getfd, process_vm_writev), shows the
 *                                   parent's CAP_SYS_RAWIO and no_new_privs,
 *                                   and asks the kernel for CAP_SYS_RAWIO itself
 *                                   (FIBMAP, which needs it and changes nothing)
 *   port_probe spawn SCENARIO       a child (fork) execs port_probe SCENARIO
 * Calls as the kernel decodes them (ioperm 0x50f, then in 0x50f):
 *   port_probe int80                ioperm as an i386 call (int $0x80), with
 *                                   junk in the registers' high halves
 *   port_probe int80-on             exit 0 if the kernel takes int $0x80 calls
 *                                   (a kernel without 32-bit emulation kills
 *                                   the caller with SIGSEGV)
 *   port_probe high-nr              (x86_64) getpid and ioperm with bit 32 set
 *                                   in rax
 *   port_probe x32                  (x86_64) getpid and ioperm by x32 number
 *   port_probe x32-off              (x86_64) exit 0 if the kernel runs no x32
 * Grants per thread, on 0x50f:
 *   port_probe threads              a thread made before main's ioperm, one
 *                                   after: each reads
 *   port_probe fork-asks            a child asks and reads, then its parent
 *                                   reads without asking
 *   port_probe child-revokes        main asks; its child reads, turns the port
 *                                   off and reads; then main reads
 *   port_probe vfork-exec           main asks; a vfork child execs no-ioperm
 * Signals and descriptors:
 *   port_probe stop SIG             says "pid N stopping", raises SIG, then
 *                                   says "resumed"
 *   port_probe line                 says "pid N ready", reads a line, says
 *                                   "got LINE"
 *   port_probe fds                  which of descriptors 0-2 are open
 *   port_probe term                 drives 0x50f high, says "pid N ready" and
 *                                   waits; SIGTERM or SIGHUP drives it low,
 *                                   says "got SIGTERM" or "got SIGHUP" and ends
 *                                   (status 0)
 *   port_probe deaf                 as term, with SIGTERM and SIGHUP ignored
 */
#define _GNU_SOURCE
#include "probe_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <linux/fs.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __x86_64__
#define PROBE_ARCH AUDIT_ARCH_X86_64
#else
#define PROBE_ARCH AUDIT_ARCH_I386
#endif

static unsigned char in_dx(unsigned short port)
{
    unsigned char value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
}

static void out_dx(unsigned short port, unsigned char value)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}

static void on_segv(int sig)
{
    static const char text[] = "port_probe: SIGSEGV caught\n";
    (void)sig;
    if (write(1, text, sizeof text - 1) < 0) {
        _exit(2);
    }
    _exit(3);
}

static void *reader(void *unused)
{
    (void)unused;
    ioperm(0x538, 1, 1);
    printf("thread 0x%02x\n", in_dx(0x538));
    return NULL;
}

static unsigned long number(const char *text)
{
    return strtoul(text, NULL, 0);
}

/* The threads scenario: one thread waits on the pipe, made before main's
 * ioperm; the other is made after it. */
static int go_pipe[2];

static void *early_reader(void *unused)
{
    char go;
    (void)unused;
    if (read(go_pipe[0], &go, 1) == 1) {
        printf("thread made before 0x%02x\n", in_dx(0x50f));
    }
    return NULL;
}

static void *late_reader(void *unused)
{
    (void)unused;
    printf("thread made after 0x%02x\n", in_dx(0x50f));
    return NULL;
}

/* The notify scenario's listener: the first call that reaches it, it lets
 * through to the kernel. */
static void *let_through(void *unused)
{
    int fd;
    struct seccomp_notif request;
    struct seccomp_notif_resp response;
    (void)unused;
    if (read(go_pipe[0], &fd, sizeof fd) != (ssize_t)sizeof fd) {
        return NULL;
    }
    memset(&request, 0, sizeof request);
    if (ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
        return NULL;
    }
    memset(&response, 0, sizeof response);
    response.id = request.id;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &response);
    return NULL;
}

static int untraced(void)
{
    const unsigned short port = 0x50f;
    unsigned long long clone3_args[8] = {CLONE_UNTRACED, 0, 0, 0, SIGCHLD, 0, 0, 0};
    int status = 0;
    pid_t kid;
    long child = syscall(SYS_clone, (unsigned long)(CLONE_UNTRACED | SIGCHLD), 0, 0, 0, 0);
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) {
            _exit(100);
        }
        raise(SIGSTOP);
        _exit(ioperm(port, 1, 1) == 0 ? 0 : errno);
    }
    if (child < 0) {
        printf("clone CLONE_UNTRACED: %s\n", strerror(errno));
    } else {
        /* The escape: trace the child and let its ioperm through. */
        waitpid((pid_t)child, &status, 0);
        ptrace(PTRACE_SETOPTIONS, (pid_t)child, NULL, (void *)(long)PTRACE_O_TRACESECCOMP);
        ptrace(PTRACE_CONT, (pid_t)child, NULL, NULL);
        while (waitpid((pid_t)child, &status, 0) == (pid_t)child && WIFSTOPPED(status)) {
            ptrace(PTRACE_CONT, (pid_t)child, NULL, NULL);
        }
        printf("clone CLONE_UNTRACED: a child no tracer follows; its ioperm, let through: %s\n",
               !WIFEXITED(status)         ? "killed"
               : WEXITSTATUS(status) == 0 ? "REAL PORT ACCESS"
                                          : strerror(WEXITSTATUS(status)));
    }
    child = syscall(SYS_clone3, clone3_args, sizeof clone3_args);
    if (child == 0) {
        _exit(0);
    }
    if (child > 0) {
        waitpid((pid_t)child, NULL, 0);
        printf("clone3 CLONE_UNTRACED: a child no tracer follows\n");
    } else {
        printf("clone3 CLONE_UNTRACED: %s\n", strerror(errno));
    }
    kid = fork();
    if (kid == 0) {
        _exit(ptrace(PTRACE_TRACEME, 0, NULL, NULL) == 0 ? 0 : errno);
    }
    if (kid < 0 || waitpid(kid, &status, 0) != kid || !WIFEXITED(status)) {
        return 2;
    }
    printf("ptrace PTRACE_TRACEME in a child: %s\n",
           WEXITSTATUS(status) == 0 ? "traced by its parent" : strerror(WEXITSTATUS(status)));
    return 0;
}

static int notify(void)
{
    const unsigned short port = 0x50f;
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PROBE_ARCH, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioperm, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof code / sizeof code[0], code};
    pthread_t listener;
    int fd;
    int rc;
    if (pipe(go_pipe) != 0 || pthread_create(&listener, NULL, let_through, NULL) != 0) {
        return 2;
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
    if (fd < 0) {
        printf("seccomp with a listener: %s\n", strerror(errno));
        return 2;
    }
    if (write(go_pipe[1], &fd, sizeof fd) != (ssize_t)sizeof fd) {
        return 2;
    }
    rc = ioperm(port, 1, 1);
    if (rc == 0) {
        printf("ioperm let through by the listener: 0, REAL PORT ACCESS\n");
        return 1; /* and no port instruction */
    }
    printf("ioperm let through by the listener: %s\n",
           errno == EPERM || errno == ENOSYS ? "refused by the kernel" : strerror(errno));
    pthread_join(listener, NULL);
    signal(SIGSEGV, on_segv);
    printf("0x%02x\n", in_dx(port));
    return 0;
}

static int show_caps_of(const char *path, const char *who)
{
    /* CAP_SYS_RAWIO is capability 17. */
    char line[256];
    FILE *status = fopen(path, "r");
    if (status == NULL) {
        return 2;
    }
    while (fgets(line, sizeof line, status) != NULL) {
        char set[4];
        unsigned long long mask;
        int flag;
        if (sscanf(line, "Cap%3[a-zA-Z]:%llx", set, &mask) == 2) {
            printf("%sCap%s %d\n", who, set, (int)((mask >> 17) & 1u));
        } else if (sscanf(line, "NoNewPrivs:%d", &flag) == 1) {
            printf("%sNoNewPrivs %d\n", who, flag);
        }
    }
    fclose(status);
    return 0;
}

static void drive_low(int sig)
{
    static const char term[] = "got SIGTERM\n", hup[] = "got SIGHUP\n";
    out_dx(0x50f, 0x00);
    if (sig == SIGTERM ? write(1, term, sizeof term - 1) < 0 : write(1, hup, sizeof hup - 1) < 0) {
        _exit(2);
    }
    _exit(0);
}

static int wait_for_signals(int deaf)
{
    ioperm(0x50f, 1, 1);
    out_dx(0x50f, 0xff);
    signal(SIGTERM, deaf ? SIG_IGN : drive_low);
    signal(SIGHUP, deaf ? SIG_IGN : drive_low);
    printf("pid %d ready\n", (int)getpid());
    for (;;) {
        pause();
    }
    return 0;
}

static int show_caps(void)
{
    return show_caps_of("/proc/self/status", "");
}

static const char *outcome(long rc, const char *done)
{
    return rc >= 0 ? done : strerror(errno);
}

/* Each way into the parent's memory or descriptors, tried; nothing is
 * written: the mem file is only opened, the write goes to address 0 (EFAULT
 * were it let through) and a descriptor taken is closed again. */
static int escape(void)
{
    const pid_t parent = getppid();
    char path[64], text[256];
    struct iovec local = {text, 1}, remote = {NULL, 1};
    long rc;
    int fd, block = 0;

    snprintf(path, sizeof path, "/proc/%d/mem", (int)parent);
    fd = open(path, O_RDWR);
    printf("open /proc/PPID/mem: %s\n", outcome(fd, "opened"));
    if (fd >= 0) close(fd);
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)parent);
    fd = open(path, O_RDONLY);
    rc = fd < 0 ? -1 : read(fd, text, sizeof text);
    printf("read /proc/PPID/syscall: %s\n", outcome(rc, "read"));
    if (fd >= 0) close(fd);
    fd = (int)syscall(SYS_pidfd_open, parent, 0);
    rc = fd < 0 ? -1 : syscall(SYS_pidfd_getfd, fd, 2, 0);
    printf("pidfd_getfd: %s\n", outcome(rc, "took its descriptor 2"));
    if (rc >= 0) close((int)rc);
    if (fd >= 0) close(fd);
    rc = process_vm_writev(parent, &local, 1, &remote, 1, 0);
    printf("process_vm_writev: %s\n", outcome(rc, "written"));
    snprintf(path, sizeof path, "/proc/%d/status", (int)parent);
    show_caps_of(path, "parent ");
    fd = open("/proc/self/exe", O_RDONLY);
    rc = fd < 0 ? -1 : ioctl(fd, FIBMAP, &block);
    printf("FIBMAP: %s\n", outcome(rc, "answered"));
    if (fd >= 0) close(fd);
    return 0;
}

int main(int argc, char **argv)
{
    const unsigned short port = 0x50f;
    const char *what = argc > 1 ? argv[1] : "";
    struct rlimit no_core = {0, 0};
    int i;

    setrlimit(RLIMIT_CORE, &no_core); /* the faults below leave no core files */
    setvbuf(stdout, NULL, _IONBF, 0);

    if (strcmp(what, "true") == 0) {
        return 0;
    }
    if (strcmp(what, "read") == 0) {
        for (i = 2; i < argc; ++i) {
            unsigned short p = (unsigned short)number(argv[i]);
            ioperm(p, 1, 1);
            printf("0x%02x\n", in_dx(p));
        }
        return 0;
    }
    if (strcmp(what, "write") == 0 && argc == 4) {
        ioperm(number(argv[2]), 1, 1);
        out_dx((unsigned short)number(argv[2]), (unsigned char)number(argv[3]));
        return 0;
    }
    if (strcmp(what, "imm") == 0) {
        unsigned char value;
        ioperm(0, 0x40, 1);
        __asm__ __volatile__("inb $0x0f, %b0" : "=a"(value));
        printf("0x%02x\n", value);
        value = 0xa5;
        __asm__ __volatile__("outb %b0, $0x38" : : "a"(value));
        return 0;
    }
    if (strcmp(what, "thread") == 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, reader, NULL) != 0 || pthread_join(thread, NULL) != 0) {
            return 2;
        }
        return 0;
    }
    if (strcmp(what, "no-ioperm") == 0) {
        printf("0x%02x\n", in_dx(port));
        return 0;
    }
    if (strcmp(what, "revoke") == 0) {
        ioperm(0x507, 1, 1);
        printf("0x%02x\n", in_dx(0x507));
        ioperm(0x507, 1, 0);
        printf("0x%02x\n", in_dx(0x507));
        return 0;
    }
    if (strcmp(what, "handler") == 0) {
        signal(SIGSEGV, on_segv);
        printf("0x%02x\n", in_dx(port));
        return 0;
    }
    if (strcmp(what, "ioperm") == 0 && argc == 5) {
        int rc = ioperm(number(argv[2]), number(argv[3]), (int)number(argv[4]));
        printf("ioperm %d %s\n", rc, rc == 0 ? "ok" : strerror(errno));
        return 0;
    }
    if (strcmp(what, "iopl") == 0 && argc == 3) {
        int rc = iopl((int)number(argv[2]));
        printf("iopl %d %s\n", rc, rc == 0 ? "ok" : strerror(errno));
        return 0;
    }
    if (strcmp(what, "readonly") == 0) {
        void *page = mmap(NULL, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            return 2;
        }
        *(volatile int *)page = 1;
        return 0;
    }
    if (strcmp(what, "hlt") == 0) {
        __asm__ __volatile__("hlt");
        return 0;
    }
    if (strcmp(what, "kill") == 0 && argc == 3) {
        raise((int)number(argv[2]));
        return 0;
    }
    if (strcmp(what, "exit") == 0 && argc == 3) {
        return (int)number(argv[2]);
    }
    if (strcmp(what, "untraced") == 0) {
        return untraced();
    }
    if (strcmp(what, "notify") == 0) {
        return notify();
    }
    if (strcmp(what, "devport") == 0 && argc == 3) {
        int fd = open(argv[2], O_RDONLY);
        printf("open %s: %s\n", argv[2], fd >= 0 ? "opened" : strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return 0;
    }
    if (strcmp(what, "caps") == 0) {
        return show_caps();
    }
    if (strcmp(what, "escape") == 0) {
        return escape();
    }
    if (strcmp(what, "spawn") == 0 && argc == 3) {
        int status = 0;
        pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], argv[2], (char *)NULL);
            _exit(127);
        }
        if (child < 0 || waitpid(child, &status, 0) != child) {
            return 2;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (strcmp(what, "attach-parent") == 0) {
        long rc = ptrace(PTRACE_ATTACH, getppid(), NULL, NULL);
        printf("ptrace PTRACE_ATTACH its parent: %s\n", rc == 0 ? "attached" : strerror(errno));
        if (rc == 0) {
            ptrace(PTRACE_DETACH, getppid(), NULL, NULL);
        }
        return 0;
    }
    if (strcmp(what, "int80-on") == 0) {
        int wstatus = 0;
        pid_t child = fork();
        if (child == 0) {
            int80_call(i386_getpid, 0, 0, 0);
            _exit(0);
        }
        if (child < 0 || waitpid(child, &wstatus, 0) != child) return 2;
        return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0 ? 0 : 1;
    }
    if (strcmp(what, "int80") == 0) {
        unsigned long high = 0;
        long rc;
#ifdef __x86_64__
        high = 0xdeadbeef00000000ul;
#endif
        rc = int80_call(i386_ioperm, high | port, high | 1u, high | 1u);
        printf("ioperm by int $0x80: %ld\n", rc);
        printf("0x%02x\n", in_dx(port));
        return 0;
    }
#ifdef __x86_64__
    if (strcmp(what, "high-nr") == 0) {
        const unsigned long high = 1ul << 32;
        long rc = raw_syscall(high | SYS_getpid, 0, 0, 0);
        printf("getpid with bit 32 set: %s\n", rc == getpid() ? "getpid" : "another call");
        rc = raw_syscall(high | SYS_ioperm, port, 1, 1);
        printf("ioperm with bit 32 set: %ld\n", rc);
        printf("0x%02x\n", in_dx(port));
        return 0;
    }
    if (strcmp(what, "x32") == 0) {
        long rc = raw_syscall(x32_getpid, 0, 0, 0);
        printf("x32 getpid: %s\n", rc < 0 ? strerror((int)-rc) : "runs");
        rc = raw_syscall(x32_ioperm, port, 1, 1);
        printf("x32 ioperm: %s\n", rc < 0 ? strerror((int)-rc) : "0");
        return 0;
    }
    if (strcmp(what, "x32-off") == 0) {
        return raw_syscall(x32_getpid, 0, 0, 0) == -ENOSYS ? 0 : 1;
    }
#endif
    if (strcmp(what, "threads") == 0) {
        pthread_t early;
        pthread_t late;
        signal(SIGSEGV, on_segv);
        if (pipe(go_pipe) != 0 || pthread_create(&early, NULL, early_reader, NULL) != 0) {
            return 2;
        }
        ioperm(port, 1, 1);
        printf("main 0x%02x\n", in_dx(port));
        if (pthread_create(&late, NULL, late_reader, NULL) != 0 || pthread_join(late, NULL) != 0 ||
            write(go_pipe[1], "g", 1) != 1) {
            return 2;
        }
        pthread_join(early, NULL);
        return 0;
    }
    if (strcmp(what, "fork-asks") == 0) {
        pid_t child = fork();
        if (child == 0) {
            ioperm(port, 1, 1);
            printf("child 0x%02x\n", in_dx(port));
            _exit(0);
        }
        if (child < 0 || waitpid(child, NULL, 0) != child) {
            return 2;
        }
        printf("parent 0x%02x\n", in_dx(port));
        return 0;
    }
    if (strcmp(what, "child-revokes") == 0) {
        int status = 0;
        pid_t child;
        ioperm(port, 1, 1);
        child = fork();
        if (child == 0) {
            printf("child 0x%02x\n", in_dx(port));
            ioperm(port, 1, 0);
            printf("child 0x%02x\n", in_dx(port));
            _exit(0);
        }
        if (child < 0 || waitpid(child, &status, 0) != child) {
            return 2;
        }
        printf("child %s\n", WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exited");
        printf("parent 0x%02x\n", in_dx(port));
        return 0;
    }
    if (strcmp(what, "vfork-exec") == 0) {
        int status = 0;
        pid_t child;
        ioperm(port, 1, 1);
        child = vfork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], "no-ioperm", (char *)NULL);
            _exit(127);
        }
        if (child < 0 || waitpid(child, &status, 0) != child) {
            return 2;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (strcmp(what, "stop") == 0 && argc == 3) {
        printf("pid %d stopping\n", (int)getpid());
        raise((int)number(argv[2]));
        printf("resumed\n");
        return 0;
    }
    if (strcmp(what, "line") == 0) {
        char line[64];
        printf("pid %d ready\n", (int)getpid());
        if (fgets(line, sizeof line, stdin) == NULL) {
            return 2;
        }
        printf("got %s", line);
        return 0;
    }
    if (strcmp(what, "term") == 0 || strcmp(what, "deaf") == 0) {
        return wait_for_signals(strcmp(what, "deaf") == 0);
    }
    if (strcmp(what, "fds") == 0) {
        for (i = 0; i <= 2; ++i) {
            printf("%d %s\n", i, fcntl(i, F_GETFD) == -1 ? "closed" : "open");
        }
        return 0;
    }
    if (strcmp(what, "echo") == 0) {
        int c;
        while ((c = getchar()) != EOF) {
            putchar(c);
            fputc(c, stderr);
        }
        return 0;
    }

    /* The unsupported forms: each on 0x50f, with access granted first. */
    ioperm(port, 4, 1);
    if (strcmp(what, "inw") == 0) {
        unsigned short v;
        __asm__ __volatile__("inw %w1, %w0" : "=a"(v) : "Nd"(port));
        return v;
    }
    if (strcmp(what, "inl") == 0) {
        unsigned int v;
        __asm__ __volatile__("inl %w1, %0" : "=a"(v) : "Nd"(port));
        return (int)v;
    }
    if (strcmp(what, "outw") == 0) {
        __asm__ __volatile__("outw %w0, %w1" : : "a"((unsigned short)1), "Nd"(port));
        return 0;
    }
    if (strcmp(what, "insb") == 0 || strcmp(what, "rep-insb") == 0) {
        unsigned char buf[4];
        void *dst = buf;
        unsigned long count = 4;
        if (what[0] == 'r') {
            __asm__ __volatile__("rep insb" : "+D"(dst), "+c"(count) : "d"(port) : "memory");
        } else {
            __asm__ __volatile__("insb" : "+D"(dst) : "d"(port) : "memory");
        }
        return buf[0];
    }
    if (strcmp(what, "outsb") == 0) {
        static const unsigned char buf[1] = {1};
        const void *src = buf;
        __asm__ __volatile__("outsb" : "+S"(src) : "d"(port) : "memory");
        return 0;
    }
    if (strcmp(what, "seg-inb") == 0) {
        unsigned char v;
        __asm__ __volatile__(".byte 0x3e\n\tinb %w1, %b0" : "=a"(v) : "Nd"(port));
        return v;
    }
    fprintf(stderr, "port_probe: unknown scenario \"%s\"\n", what);
    return 2;
}
