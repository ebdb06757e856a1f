// The x86_64 numbers of the time calls, from the kernel's own table.
#include "clock_calls.h"

#include <asm/unistd_64.h>

namespace velmo::emu {

const TimeCalls kTimeCallsX86_64{__NR_clock_gettime,   kNoCall, __NR_gettimeofday, __NR_time,      __NR_nanosleep,
                                 __NR_clock_nanosleep, kNoCall, __NR_alarm,        __NR_setitimer, __NR_timer_create,
                                 __NR_timerfd_create};

const WaitCalls kWaitCallsX86_64{__NR_select, kNoCall, __NR_pselect6,   kNoCall,          __NR_poll,
                                 __NR_ppoll,  kNoCall, __NR_epoll_wait, __NR_epoll_pwait, __NR_epoll_pwait2,
                                 __NR_futex,  kNoCall, __NR_futex_waitv};

} // namespace velmo::emu
