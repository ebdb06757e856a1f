// The i386 numbers of the time calls, from the kernel's own table: each
// clock call also in its 64-bit time form.
#include "clock_calls.h"

#include <asm/unistd_32.h>

namespace velmo::emu {

const TimeCalls kTimeCallsI386{__NR_clock_gettime, __NR_clock_gettime64, __NR_gettimeofday,           __NR_time,
                               __NR_nanosleep,     __NR_clock_nanosleep, __NR_clock_nanosleep_time64, __NR_alarm,
                               __NR_setitimer,     __NR_timer_create,    __NR_timerfd_create};

const WaitCalls kWaitCallsI386{__NR__newselect,  __NR_select,       __NR_pselect6,     __NR_pselect6_time64,
                               __NR_poll,        __NR_ppoll,        __NR_ppoll_time64, __NR_epoll_wait,
                               __NR_epoll_pwait, __NR_epoll_pwait2, __NR_futex,        __NR_futex_time64,
                               __NR_futex_waitv};

} // namespace velmo::emu
