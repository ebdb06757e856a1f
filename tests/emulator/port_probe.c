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
 *   port_probe exec SCENARIO...     runs itself again, by exec, with SCENARIO
 *   port_probe rawio                which capability sets (/proc/self/status)
 *                                   hold CAP_SYS_RAWIO: "CapEff 0" and so on;
 *                                   the bounding set counts for root only
 *                                   (whose exec takes its capabilities from
 *                                   it) and reads 0 for anyone else
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

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
    if (strcmp(what, "exec") == 0 && argc > 2) {
        argv[1] = argv[0];
        execv(argv[0], argv + 1);
        return 2;
    }
    if (strcmp(what, "rawio") == 0) {
        /* CAP_SYS_RAWIO is capability 17. */
        char line[256];
        FILE *status = fopen("/proc/self/status", "r");
        if (status == NULL) {
            return 2;
        }
        while (fgets(line, sizeof line, status) != NULL) {
            char set[4];
            unsigned long long mask;
            if (sscanf(line, "Cap%3[a-zA-Z]:%llx", set, &mask) == 2) {
                const int root_only = strcmp(set, "Bnd") == 0 && getuid() != 0;
                printf("Cap%s %d\n", set, root_only ? 0 : (int)((mask >> 17) & 1u));
            }
        }
        fclose(status);
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
