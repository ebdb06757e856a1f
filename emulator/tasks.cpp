#include "tasks.h"

#include <algorithm>

namespace velmo::emu {

void Tasks::add_first(pid_t pid)
{
    tasks_[pid].state = TaskState::Running;
}

bool Tasks::started(pid_t pid) const
{
    const auto task = tasks_.find(pid);
    return task != tasks_.end() && task->second.state != TaskState::Announced;
}

TaskState Tasks::state(pid_t pid) const
{
    const auto task = tasks_.find(pid);
    return task == tasks_.end() ? TaskState::Announced : task->second.state;
}

bool Tasks::created(pid_t creator, pid_t child, Release &release)
{
    release = Release::Keep;
    if (reaped_.erase(child) != 0) {
        return false;
    }
    const auto found = tasks_.find(child);
    if (found == tasks_.end()) {
        Task &task = tasks_[child];
        task.grants = tasks_[creator].grants;
        return true;
    }
    Task &task = found->second;
    if (task.state == TaskState::Held || task.state == TaskState::HeldInGroupStop) {
        task.grants = tasks_[creator].grants;
        release = go_on(task.state == TaskState::HeldInGroupStop);
        task.state = TaskState::Running;
    }
    return true;
}

Release Tasks::first_stop(pid_t pid, bool group_stop)
{
    const bool named = tasks_.count(pid) != 0;
    Task &task = tasks_[pid];
    if (!named) {
        // Its creator is stopped at the clone until its event names the new
        // task; meanwhile its grants are what they were at the clone. When
        // no task holds any, that is what the new one gets.
        const bool any =
            std::any_of(tasks_.begin(), tasks_.end(), [](const auto &entry) { return entry.second.grants.any(); });
        if (any) {
            task.state = group_stop ? TaskState::HeldInGroupStop : TaskState::Held;
            return Release::Keep;
        }
    }
    task.state = TaskState::Running;
    return go_on(group_stop);
}

void Tasks::exec(pid_t pid, pid_t former)
{
    if (former == pid) {
        return;
    }
    const auto found = tasks_.find(former);
    if (found != tasks_.end()) {
        tasks_[pid] = found->second;
        tasks_.erase(former);
    }
}

void Tasks::ended(pid_t pid)
{
    if (tasks_.erase(pid) == 0) {
        reaped_.insert(pid);
    }
}

std::vector<std::pair<pid_t, Release>> Tasks::release_orphans(const std::function<bool(pid_t)> &creator_gone)
{
    std::vector<std::pair<pid_t, Release>> released;
    for (auto &[pid, task] : tasks_) {
        const bool held = task.state == TaskState::Held || task.state == TaskState::HeldInGroupStop;
        if (held && creator_gone(pid)) {
            released.emplace_back(pid, go_on(task.state == TaskState::HeldInGroupStop));
            task.state = TaskState::Running;
        }
    }
    return released;
}

std::vector<pid_t> Tasks::pids() const
{
    std::vector<pid_t> all;
    all.reserve(tasks_.size());
    for (const auto &entry : tasks_) {
        all.push_back(entry.first);
    }
    return all;
}

} // namespace velmo::emu
