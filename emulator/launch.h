// Starting the program under the tracer: a child that waits on a pipe
// until the tracer has seized it with its options (so nothing of the
// program runs untraced), gives up CAP_SYS_RAWIO, installs the port filter
// and execs the program; and a second pipe, closed by its exec, on which
// it says why it could not get that far.
#ifndef VELMO_EMU_LAUNCH_H
#define VELMO_EMU_LAUNCH_H

#include "fd.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velmo::emu {

struct Launched {
    pid_t pid = 0;                   // the program's first task, seized
    velmo::toolkit::UniqueFd report; // the child's word on why it could not start
    std::shared_ptr<void> start;     // what the child reads until its exec: kept for the run
};

// Starts command (PROGRAM and its arguments), traced, its port calls
// filtered as the kernel runs them (x32: it runs x32 calls too). 0, or
// velmo-emu's exit status after the message that says why not.
// time_calls: the program's clocks are the run's (clock_calls.h): its time
// calls are filtered too, and rdtsc traps.
int launch(const std::vector<std::string> &command, bool x32, Launched &launched, bool time_calls = false);

// The file the program is started from, found in PATH as execvp finds it;
// "" when there is none.
std::string program_file(const std::string &name);

// The program ended before its exec: says why, from the child's report on
// report_fd, and returns velmo-emu's exit status.
int report_start_failure(int report_fd, const std::string &program);

} // namespace velmo::emu

#endif
