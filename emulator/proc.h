// What the tracer reads of a task from outside: its code, from its memory,
// and the fields of /proc/PID/status.
#ifndef VELMO_EMU_PROC_H
#define VELMO_EMU_PROC_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace velmo::emu {

// Up to size bytes of code at address; fewer where memory ends. One call
// where the code is readable, word by word through ptrace where it is not
// (execute-only pages).
std::size_t read_code(pid_t pid, std::uint64_t address, std::uint8_t *out, std::size_t size);

// A field of /proc/PID/status, as text ("" when there is none).
std::string status_field(pid_t pid, const char *name);

// Is a SIGCONT waiting for the task? Then it came after the stop signal
// the tracer holds, and, as the kernel discards a stop signal still
// pending when SIGCONT comes, that stop signal is not delivered: the task
// does not stay stopped after the SIGCONT meant to end its stop.
bool sigcont_pending(pid_t pid);

} // namespace velmo::emu

#endif
