#include "supervise.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <unistd.h>

namespace velmo::emu {

namespace {

volatile sig_atomic_t g_program = 0;
volatile sig_atomic_t g_passed_on = 0; // a signal has gone to the program
volatile sig_atomic_t g_kill = 0;
timespec g_first{};

long ms_since(const timespec &then)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - then.tv_sec) * 1000L + (now.tv_nsec - then.tv_nsec) / 1000000L;
}

void end_it()
{
    g_kill = 1;
    kill(static_cast<pid_t>(g_program), SIGKILL);
}

// Only async-signal-safe calls here: kill, alarm, clock_gettime.
void on_request(int signal)
{
    const int saved = errno;
    if (g_passed_on == 0) {
        g_passed_on = 1;
        clock_gettime(CLOCK_MONOTONIC, &g_first);
        kill(static_cast<pid_t>(g_program), signal);
        alarm(kGraceSeconds);
    } else if (ms_since(g_first) >= kRepeatMs) {
        end_it();
    }
    errno = saved;
}

void on_alarm(int)
{
    const int saved = errno;
    end_it();
    errno = saved;
}

} // namespace

void supervise(pid_t program)
{
    g_program = program;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    sigaddset(&action.sa_mask, SIGALRM);
    action.sa_flags = SA_RESTART; // the kill wakes the tracer with an event
    action.sa_handler = on_request;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = on_alarm;
    sigaction(SIGALRM, &action, nullptr);
}

bool supervision_kills()
{
    return g_kill != 0;
}

} // namespace velmo::emu
