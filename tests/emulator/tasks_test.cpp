// Who inherits which port grants, as the kernel keeps them: a copy for each
// new task (thread, fork or vfork child alike) at the clone, kept across
// execve, whichever of the creator's event and the new task's first stop
// the tracer sees first.
#include "tasks.h"

#include <gtest/gtest.h>

namespace {

using velmo::emu::Release;
using velmo::emu::Tasks;
using velmo::emu::TaskState;

constexpr pid_t kMain = 100;

void grant(Tasks &tasks, pid_t pid, unsigned long long port, int on = 1)
{
    ASSERT_EQ(tasks.grants(pid).request(port, 1, on, 0), 0);
}

// The creator's event comes first (as for most threads and children).
TEST(Tasks, EachNewTaskGetsACopyOfItsCreatorsGrantsAtTheClone)
{
    Tasks tasks;
    tasks.add_first(kMain);
    grant(tasks, kMain, 0x507);
    Release release = Release::Resume;
    for (const pid_t child : {101, 102, 103}) { // a thread, a fork child, a vfork child
        ASSERT_TRUE(tasks.created(kMain, child, release));
        EXPECT_EQ(release, Release::Keep) << child; // not stopped yet: nothing to release
        EXPECT_EQ(tasks.state(child), TaskState::Announced);
        EXPECT_FALSE(tasks.started(child));
        EXPECT_EQ(tasks.first_stop(child, false), Release::Resume);
        EXPECT_EQ(tasks.state(child), TaskState::Running);
        EXPECT_TRUE(tasks.grants(child).granted(0x507)) << child;
    }
    // A copy, not a share: what one turns on or off after the clone is its own.
    grant(tasks, 101, 0x508);
    grant(tasks, kMain, 0x507, 0);
    EXPECT_FALSE(tasks.grants(kMain).granted(0x508));
    EXPECT_TRUE(tasks.grants(101).granted(0x507));
    EXPECT_TRUE(tasks.grants(102).granted(0x507));
    // Its own child inherits from it, not from the program's first task.
    ASSERT_TRUE(tasks.created(101, 104, release));
    EXPECT_TRUE(tasks.grants(104).granted(0x508));
}

// The new task stops first: held until its creator's event settles its
// grants, unless no task holds any (then it has none to inherit).
TEST(Tasks, ATaskThatStopsBeforeItIsNamedIsHeldOnlyWhileAnyTaskHoldsAGrant)
{
    Tasks tasks;
    tasks.add_first(kMain);
    Release release = Release::Resume;

    EXPECT_EQ(tasks.first_stop(101, false), Release::Resume);
    EXPECT_EQ(tasks.state(101), TaskState::Running);
    ASSERT_TRUE(tasks.created(kMain, 101, release));
    EXPECT_EQ(release, Release::Keep);

    grant(tasks, kMain, 0x50f);
    EXPECT_EQ(tasks.first_stop(102, true), Release::Keep);
    EXPECT_EQ(tasks.state(102), TaskState::HeldInGroupStop);
    EXPECT_TRUE(tasks.started(102));
    EXPECT_FALSE(tasks.grants(102).granted(0x50f));
    ASSERT_TRUE(tasks.created(kMain, 102, release));
    EXPECT_EQ(release, Release::Listen); // its first stop was a group stop: it stays stopped
    EXPECT_EQ(tasks.state(102), TaskState::Running);
    EXPECT_TRUE(tasks.grants(102).granted(0x50f));

    EXPECT_EQ(tasks.first_stop(103, false), Release::Keep);
    ASSERT_TRUE(tasks.created(kMain, 103, release));
    EXPECT_EQ(release, Release::Resume);
}

TEST(Tasks, ExecKeepsTheGrantsAndAThreadsExecTakesThemToTheFirstThreadsID)
{
    Tasks tasks;
    tasks.add_first(kMain);
    Release release = Release::Keep;
    ASSERT_TRUE(tasks.created(kMain, 101, release));
    tasks.first_stop(101, false);
    grant(tasks, 101, 0x510);
    grant(tasks, kMain, 0x500);

    tasks.exec(kMain, kMain);
    EXPECT_TRUE(tasks.grants(kMain).granted(0x500));

    tasks.exec(kMain, 101); // thread 101 ran execve: it is now kMain
    EXPECT_FALSE(tasks.known(101));
    EXPECT_TRUE(tasks.grants(kMain).granted(0x510));
    EXPECT_FALSE(tasks.grants(kMain).granted(0x500));
}

TEST(Tasks, ATaskEndedOrOrphanedBeforeItWasNamed)
{
    Tasks tasks;
    tasks.add_first(kMain);
    grant(tasks, kMain, 0x507);
    Release release = Release::Resume;

    // Ended before its creator's event: the event leaves no trace of it.
    tasks.ended(101);
    EXPECT_FALSE(tasks.created(kMain, 101, release));
    EXPECT_FALSE(tasks.known(101));

    // Held, its creator gone: released with no grants; one whose creator
    // may still name it stays held.
    EXPECT_EQ(tasks.first_stop(102, false), Release::Keep);
    EXPECT_EQ(tasks.first_stop(103, true), Release::Keep);
    const auto released = tasks.release_orphans([](pid_t pid) { return pid == 102; });
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].first, 102);
    EXPECT_EQ(released[0].second, Release::Resume);
    EXPECT_EQ(tasks.state(102), TaskState::Running);
    EXPECT_FALSE(tasks.grants(102).any());
    EXPECT_EQ(tasks.state(103), TaskState::HeldInGroupStop);
    tasks.ended(102);
    EXPECT_FALSE(tasks.known(102));
}

} // namespace
