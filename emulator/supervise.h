// velmo-emu as a supervisor: SIGTERM and SIGHUP sent to velmo-emu (by a
// closed terminal, timeout(1), a service manager) are passed on to the
// program, which may end as it would without velmo-emu (its handler drives
// its lines low, say), and velmo-emu stays to report how it ended. A second
// one, or no end within kGraceSeconds, ends the program with SIGKILL.
#ifndef VELMO_EMU_SUPERVISE_H
#define VELMO_EMU_SUPERVISE_H

#include <sys/types.h>

namespace velmo::emu {

// How long the program has to end after the signal passed on to it.
constexpr unsigned kGraceSeconds = 10;
// A repeat sooner than this after the first is the same request, sent to
// velmo-emu and to its process group (as timeout(1) does), not a second.
constexpr long kRepeatMs = 500;

// From now on, SIGTERM and SIGHUP go to program.
void supervise(pid_t program);

// Has the program been killed for not ending in time? Then the tracer ends
// every task of it.
bool supervision_kills();

} // namespace velmo::emu

#endif
