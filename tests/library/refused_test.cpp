// Port access refused by the kernel: no port instruction runs, the
// operation stops at the refusal, says why, and nothing is written.
#include "sim_fixture.h"

#include <cerrno>
#include <climits>
#include <memory>

namespace {

using velmo::test::Refusal;
using Refused = SimBoard;

TEST_F(Refused, EveryOperationStopsAtTheFirstRefusal)
{
    ports().set_refusal(EPERM);
    int level = 42;
    EXPECT_EQ(OP_CONFIG(0), -1);
    EXPECT_EQ(message(), denied(0x507));
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 denied\n");

    ports().clear_trace();
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(OP_INPUT(2, &level), -1);
    EXPECT_EQ(message(), denied(0x50F));
    EXPECT_EQ(level, 42);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 denied\n");

    ports().clear_trace();
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(OP_OUTPUT(7, 1), -1);
    EXPECT_EQ(message(), denied(0x538));
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 denied\n");
    EXPECT_EQ(velmo::sim::rawio_asked(), 3); // once per refusal

    // Argument checks still come first.
    EXPECT_EQ(OP_OUTPUT(7, 2), -1);
    EXPECT_EQ(message(), MSG_BAD_VALUE);
    EXPECT_EQ(OP_INIT(), 0);
}

TEST_F(Refused, PrimitivesReadAllOnesAndWriteNothing)
{
    ports().set_refusal(EPERM);
    board().bank(1).direction = 0x00;
    EXPECT_EQ(ReadIO(0x507), 0xFF);
    WriteIO(0x50F, 0x12);
    EXPECT_EQ(board().bank(1).latch, 0x00);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 denied\n"
                                    "ioperm 0x50f 1 1 denied\n");
    EXPECT_STREQ(buffer, ""); // the primitives report nothing themselves
    EXPECT_EQ(velmo::sim::rawio_asked(), 0);
}

// Refuses every request after the first `allowed` ones.
void refuse_after(velmo::sim::Ports &b, int allowed)
{
    auto count = std::make_shared<int>(0);
    b.set_listener([&b, count, allowed](const std::string &event) {
        if (event.rfind("ioperm", 0) == 0 && ++*count >= allowed) {
            b.set_refusal(EPERM);
        }
    });
}

TEST_F(Refused, ConfigureRefusedMidwayWritesNothingAfter)
{
    refuse_after(ports(), 2); // both reads granted, the first write refused
    EXPECT_EQ(OP_CONFIG(0xFF), -1);
    EXPECT_EQ(message(), denied(0x507)); // the write, after both reads
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0xff\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0xff\n"
                                    "ioperm 0x507 1 1 denied\n");

    velmo::sim::reset();
    refuse_after(ports(), 1); // second read refused
    EXPECT_EQ(OP_CONFIG(0x1FF), -1);
    EXPECT_EQ(message(), denied(0x534)); // the refusal, not the bad word
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0xff\n"
                                    "ioperm 0x534 1 1 denied\n");
    ports().set_listener(nullptr);
}

TEST_F(Refused, DriveRefusedBeforeItsWriteLeavesTheLatch)
{
    board().bank(2).latch = 0x40;
    refuse_after(ports(), 1);
    EXPECT_EQ(OP_OUTPUT(8, 1), -1);
    EXPECT_EQ(message(), denied(0x538));
    EXPECT_EQ(board().bank(2).latch, 0x40);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x00\n"
                                    "ioperm 0x538 1 1 denied\n");
    ports().set_listener(nullptr);
}

// Each cause of a refusal, as the kernel gives it: the errno, and for
// EPERM whether the process holds CAP_SYS_RAWIO.
TEST_F(Refused, EachCauseHasItsOwnMessage)
{
    struct Case {
        const char *what;
        int refusal;
        bool rawio;
        int base;
        std::string message;
        int asked; // whether the capability was asked about
    };
    const Case cases[] = {
        {"unprivileged", EPERM, false, 0x500, refused_message(Refusal::NeedsCap, 0x507), 1},
        {"lockdown or container", EPERM, true, 0x500, refused_message(Refusal::ByKernel, 0x507), 1},
        {"no ioperm in this kernel", ENOSYS, true, 0x500, refused_message(Refusal::NoIoperm, 0x507), 0},
        // A kernel without ioperm says so before it looks at the port.
        {"no ioperm, port past 0xffff", ENOSYS, false, 0x10500, refused_message(Refusal::NoIoperm, 0x10507), 0},
        {"port past 0xffff", 0, false, 0x10500, refused_message(Refusal::OutOfRange, 0x10507), 0},
        // The range is checked before the privilege.
        {"unprivileged, port past 0xffff", EPERM, false, 0x10500, refused_message(Refusal::OutOfRange, 0x10507), 0},
        {"another errno", EACCES, true, 0x500, refused_message(Refusal::Other, 0x507, EACCES), 0},
        {"errno INT_MAX", INT_MAX, false, 0x500, refused_message(Refusal::Other, 0x507, INT_MAX), 0},
        {"errno INT_MIN", INT_MIN, false, 0x500, refused_message(Refusal::Other, 0x507, INT_MIN), 0},
        {"port 0", EPERM, false, -7, refused_message(Refusal::NeedsCap, 0), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        velmo::sim::reset();
        ports().set_refusal(c.refusal);
        velmo::sim::set_rawio(c.rawio);
        BaseAddress = c.base;
        board().bank(1).direction = 0x12;
        std::memset(buffer, '#', sizeof buffer); // a message ends at its own NUL
        EXPECT_EQ(OP_CONFIG(0xFF), -1);
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(velmo::sim::rawio_asked(), c.asked);
        EXPECT_EQ(board().bank(1).direction, 0x12);
        EXPECT_EQ(ports().trace().size(), 1u) << ports().trace_text();
    }
#ifndef VELMOGPIO_DEMO_EDITION
    // The texts themselves, once, as the documentation gives them.
    EXPECT_EQ(refused_message(Refusal::Other, 0x507, 13), "I/O port 0x507: access refused (error 13).");
    EXPECT_EQ(refused_message(Refusal::OutOfRange, 0x10507), "I/O port 0x10507: out of range (ports end at 0xffff).");
#endif
}

TEST_F(Refused, CapabilityIsAskedAboutOnlyAfterARefusal)
{
    velmo::sim::set_rawio(true);
    int level = 0;
    EXPECT_EQ(OP_CONFIG(0x0F), 0);
    EXPECT_EQ(OP_INPUT(3, &level), 0);
    EXPECT_EQ(OP_OUTPUT(6, 1), 0);
    EXPECT_EQ(OP_OUTPUT(6, 2), -1);
    EXPECT_EQ(OP_CONFIG(256), -1);
    EXPECT_EQ(velmo::sim::rawio_asked(), 0);
}

// The port as the client computed it, BaseAddress + offset in 32 bits, the
// same on every architecture (the kernel of a 64-bit one is handed it
// sign-extended).
TEST_F(Refused, PortIsNamedAsA32BitNumber)
{
    const std::string wide = sizeof(long) == 8 ? "0xffffffff" : "0x";
    BaseAddress = -0x500;
    EXPECT_EQ(OP_CONFIG(0), -1);
    EXPECT_EQ(message(), refused_message(Refusal::OutOfRange, 0xFFFFFB07u));
    EXPECT_EQ(ports().trace_text(), "ioperm " + wide + "fffffb07 1 1 denied\n");

    // The longest message of each edition.
    ports().set_refusal(ENOSYS);
    BaseAddress = -8; // + 7
    ports().clear_trace();
    EXPECT_EQ(OP_CONFIG(0), -1);
    EXPECT_EQ(message(), refused_message(Refusal::NoIoperm, 0xFFFFFFFFu));
    EXPECT_EQ(ports().trace_text(), "ioperm " + wide + "ffffffff 1 1 denied\n");
}

TEST_F(Refused, EveryMessageFitsTheEditionsBuffer)
{
    for (Refusal why : {Refusal::NeedsCap, Refusal::ByKernel, Refusal::NoIoperm, Refusal::OutOfRange, Refusal::Other}) {
        const std::string longest = refused_message(why, 0xFFFFFFFFu, INT_MIN);
        EXPECT_LE(longest.size() + 1, sizeof buffer) << longest;
    }
#ifdef VELMOGPIO_DEMO_EDITION
    EXPECT_EQ(sizeof "No I/O port access in this kernel.", sizeof buffer); // exactly
#endif
}

} // namespace
