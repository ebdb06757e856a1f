/* What a program reads of its clocks under velmo-emu --clock:
 *
 *   clock_probe epoch      each clock once, in whole seconds, then again
 *                          after sleep(5)
 *   clock_probe busy MS    reads CLOCK_MONOTONIC until MS milliseconds have
 *                          passed on it
 *   clock_probe order      a thread that sleeps and one that computes read
 *                          the clock in turn, then a child that execs
 *                          `clock_probe stamp` reads it between two reads
 *                          of the parent: each read no earlier than the one
 *                          before it
 *   clock_probe stamp      prints CLOCK_MONOTONIC in nanoseconds
 *   clock_probe tsc        the time-stamp counter in whole seconds of
 *                          nanosecond ticks, before and after sleep(5)
 *   clock_probe tsc-untrapped  status 0 where rdtsc runs despite
 *                          PR_SET_TSC (a hypervisor may not let it)
 *   clock_probe waits      timed waits nothing ends, one after the other:
 *                          poll and select (2 s) on a pipe nobody writes,
 *                          pthread_cond_timedwait (1 s, CLOCK_MONOTONIC),
 *                          sem_timedwait (1 s, CLOCK_REALTIME); then a
 *                          poll (2 s) on a pipe a child writes after
 *                          sleep(1); a poll (5 s) that a child's SIGUSR1
 *                          interrupts after sleep(1). Each: its result and
 *                          the time it took on CLOCK_MONOTONIC, in us (the
 *                          last two in ms)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/prctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long ns(clockid_t id)
{
    struct timespec t;
    if (clock_gettime(id, &t) != 0) {
        perror("clock_gettime");
        exit(1);
    }
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static unsigned long long tsc(void)
{
    unsigned int lo, hi;
    __asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return ((unsigned long long)hi << 32) | lo;
}

static void each_clock(void)
{
    struct timeval tv;
    struct timespec cpu;
    gettimeofday(&tv, NULL);
    printf("time %lld gettimeofday %lld realtime %lld realtime_coarse %lld\n", (long long)time(NULL),
           (long long)tv.tv_sec, ns(CLOCK_REALTIME) / 1000000000LL, ns(CLOCK_REALTIME_COARSE) / 1000000000LL);
    printf("monotonic %lld raw %lld coarse %lld boottime %lld\n", ns(CLOCK_MONOTONIC) / 1000000000LL,
           ns(CLOCK_MONOTONIC_RAW) / 1000000000LL, ns(CLOCK_MONOTONIC_COARSE) / 1000000000LL,
           ns(CLOCK_BOOTTIME) / 1000000000LL);
    printf("process cpu time %s\n", clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0 ? "read" : "unread");
}

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static long long last;
static int backwards;

/* Reads the clock under the lock: reads are in turn, so none may be
 * earlier than the one before. */
static void read_in_turn(void)
{
    long long now;
    pthread_mutex_lock(&lock);
    now = ns(CLOCK_MONOTONIC);
    if (now < last) {
        ++backwards;
    }
    last = now;
    pthread_mutex_unlock(&lock);
}

static void *sleeper(void *unused)
{
    int i;
    (void)unused;
    for (i = 0; i < 20; ++i) {
        const struct timespec ms = {0, 1000000};
        nanosleep(&ms, NULL);
        read_in_turn();
    }
    return NULL;
}

static int order(const char *self)
{
    pthread_t thread;
    volatile unsigned long sum = 0;
    long long before, after, child = -1;
    int i, fds[2], status;
    FILE *in;
    pid_t pid;

    pthread_create(&thread, NULL, sleeper, NULL);
    for (i = 0; i < 2000; ++i) {
        unsigned long k;
        for (k = 0; k < 1000; ++k) {
            sum += k;
        }
        read_in_turn();
    }
    pthread_join(thread, NULL);

    if (pipe(fds) != 0) {
        return 1;
    }
    before = ns(CLOCK_MONOTONIC);
    pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execl(self, self, "stamp", (char *)NULL);
        _exit(127);
    }
    close(fds[1]);
    in = fdopen(fds[0], "r");
    if (fscanf(in, "%lld", &child) != 1) {
        child = -1;
    }
    waitpid(pid, &status, 0);
    after = ns(CLOCK_MONOTONIC);
    printf("threads: %s\n", backwards == 0 && last >= before - 1000000000LL ? "one clock" : "went back");
    printf("child: %s\n", before <= child && child <= after ? "one clock" : "another clock");
    if (!(before <= child && child <= after)) {
        printf("parent %lld, child %lld, parent %lld\n", before, child, after);
    }
    return 0;
}

static void on_usr1(int signal)
{
    (void)signal;
}

static int waits(void)
{
    int idle[2], written[2], r;
    long long t0;
    struct pollfd fd;
    fd_set read_set;
    struct timeval tv = {2, 0};
    struct timespec at;
    pthread_condattr_t attr;
    pthread_cond_t cond;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    sem_t sem;
    pid_t child;

    if (pipe(idle) != 0 || pipe(written) != 0) {
        return 1;
    }
    fd.fd = idle[0];
    fd.events = POLLIN;
    t0 = ns(CLOCK_MONOTONIC);
    r = poll(&fd, 1, 2000);
    printf("poll %d %lld\n", r, (ns(CLOCK_MONOTONIC) - t0) / 1000);

    FD_ZERO(&read_set);
    FD_SET(idle[0], &read_set);
    t0 = ns(CLOCK_MONOTONIC);
    r = select(idle[0] + 1, &read_set, NULL, NULL, &tv);
    printf("select %d %lld left %ld.%06ld\n", r, (ns(CLOCK_MONOTONIC) - t0) / 1000, (long)tv.tv_sec, (long)tv.tv_usec);

    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond, &attr);
    pthread_mutex_lock(&mutex);
    t0 = ns(CLOCK_MONOTONIC);
    at.tv_sec = (time_t)(t0 / 1000000000LL + 1);
    at.tv_nsec = (long)(t0 % 1000000000LL);
    r = pthread_cond_timedwait(&cond, &mutex, &at);
    printf("cond %s %lld\n", r == ETIMEDOUT ? "ETIMEDOUT" : strerror(r), (ns(CLOCK_MONOTONIC) - t0) / 1000);
    pthread_mutex_unlock(&mutex);

    sem_init(&sem, 0, 0);
    t0 = ns(CLOCK_MONOTONIC);
    clock_gettime(CLOCK_REALTIME, &at);
    at.tv_sec += 1;
    r = sem_timedwait(&sem, &at);
    printf("sem %s %lld\n", r == -1 && errno == ETIMEDOUT ? "ETIMEDOUT" : "not timed out",
           (ns(CLOCK_MONOTONIC) - t0) / 1000);

    fflush(stdout);
    t0 = ns(CLOCK_MONOTONIC);
    child = fork();
    if (child == 0) {
        sleep(1);
        r = (int)write(written[1], "x", 1);
        _exit(r == 1 ? 0 : 1);
    }
    fd.fd = written[0];
    r = poll(&fd, 1, 2000);
    printf("pipe %d %lld ms\n", r, (ns(CLOCK_MONOTONIC) - t0) / 1000000);
    waitpid(child, NULL, 0);

    signal(SIGUSR1, on_usr1);
    fflush(stdout);
    t0 = ns(CLOCK_MONOTONIC);
    child = fork();
    if (child == 0) {
        sleep(1);
        kill(getppid(), SIGUSR1);
        _exit(0);
    }
    fd.fd = idle[0];
    r = poll(&fd, 1, 5000);
    printf("signal %d %s %lld ms\n", r, r == -1 && errno == EINTR ? "EINTR" : "", (ns(CLOCK_MONOTONIC) - t0) / 1000000);
    waitpid(child, NULL, 0);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "waits") == 0) {
        return waits();
    }
    if (argc == 2 && strcmp(argv[1], "epoch") == 0) {
        each_clock();
        sleep(5);
        each_clock();
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "busy") == 0) {
        const long long end = ns(CLOCK_MONOTONIC) + atoll(argv[2]) * 1000000LL;
        while (ns(CLOCK_MONOTONIC) < end) {
        }
        printf("waited\n");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "order") == 0) {
        return order(argv[0]);
    }
    if (argc == 2 && strcmp(argv[1], "tsc") == 0) {
        printf("tsc %llu\n", tsc() / 1000000000ULL);
        sleep(5);
        printf("tsc %llu\n", tsc() / 1000000000ULL);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "tsc-untrapped") == 0) {
        signal(SIGSEGV, SIG_DFL);
        prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
        tsc();
        return 0; /* not trapped */
    }
    if (argc == 2 && strcmp(argv[1], "true") == 0) {
        return 0; /* it runs here */
    }
    if (argc == 2 && strcmp(argv[1], "stamp") == 0) {
        printf("%lld\n", ns(CLOCK_MONOTONIC));
        return 0;
    }
    fprintf(stderr, "usage: clock_probe epoch | busy MS | order | stamp\n");
    return 2;
}
