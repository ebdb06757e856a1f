// The program's tasks (its threads, in every process) and the port grants
// of each, as the kernel keeps them: per thread, an I/O permission bitmap
// that a new task (thread, fork or vfork child alike) gets a copy of from
// its creator at the clone, that either may then change alone, and that
// execve keeps.
//
// The tracer learns of a new task twice, in either order: its creator's
// event names it, and it stops for the first time. Its grants are settled
// by the creator's event; a task that stops first is held until then,
// unless no task holds any grant (then it has none to inherit).
#ifndef VELMO_EMU_TASKS_H
#define VELMO_EMU_TASKS_H

#include "grants.h"

#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace velmo::emu {

// Where a task is in its life under the tracer.
enum class TaskState {
    Announced,       // named by its creator's event, grants settled; no first stop yet
    Held,            // stopped for the first time before it was named: kept so
    HeldInGroupStop, // the same, and that first stop was a group stop
    Running,         // named and past its first stop
};

struct Task {
    velmo::sim::Grants grants;
    TaskState state = TaskState::Announced;
};

// What becomes of a task at its first stop.
enum class Release {
    Keep,   // it stays stopped (held, or not to be touched)
    Resume, // it goes on
    Listen, // it goes on in its group stop (stopped, as without a tracer)
};

class Tasks {
public:
    // The program's first task: running, with no grants.
    void add_first(pid_t pid);

    bool known(pid_t pid) const { return tasks_.count(pid) != 0; }
    // Has the task's first stop come? (Its later stops are events of its own.)
    bool started(pid_t pid) const;
    TaskState state(pid_t pid) const;
    velmo::sim::Grants &grants(pid_t pid) { return tasks_[pid].grants; }

    // creator's fork, vfork or clone event names child. false when child
    // had already ended (nothing of it is kept); release says what
    // becomes of a held child.
    bool created(pid_t creator, pid_t child, Release &release);
    // A task's first stop, in a group stop or not.
    Release first_stop(pid_t pid, bool group_stop);
    // The thread former ran execve and now is pid, its process's first
    // thread (they differ when it was not the first): its grants go with it.
    void exec(pid_t pid, pid_t former);
    // A task has ended.
    void ended(pid_t pid);
    // Releases, with no grants, each held task whose creator will never
    // name it (creator_gone says so): the tasks and what becomes of each.
    std::vector<std::pair<pid_t, Release>> release_orphans(const std::function<bool(pid_t)> &creator_gone);

    std::vector<pid_t> pids() const;

private:
    static Release go_on(bool group_stop) { return group_stop ? Release::Listen : Release::Resume; }

    std::unordered_map<pid_t, Task> tasks_;
    std::unordered_set<pid_t> reaped_; // ended before their creator named them
};

} // namespace velmo::emu

#endif
