// Port access refused by the kernel: no port instruction runs, the
// operation stops at the refusal, says so, and nothing is written.
#include "sim_fixture.h"

#include <cerrno>
#include <memory>

namespace {

using Refused = SimBoard;

TEST_F(Refused, EveryOperationStopsAtTheFirstRefusal)
{
    ports().set_refusal(EPERM);
    int level = 42;
    EXPECT_EQ(OP_CONFIG(0), -1);
    EXPECT_EQ(message(), MSG_DENIED);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 denied\n");

    ports().clear_trace();
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(OP_INPUT(2, &level), -1);
    EXPECT_EQ(message(), MSG_DENIED);
    EXPECT_EQ(level, 42);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 denied\n");

    ports().clear_trace();
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(OP_OUTPUT(7, 1), -1);
    EXPECT_EQ(message(), MSG_DENIED);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 denied\n");

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
    EXPECT_EQ(message(), MSG_DENIED);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0xff\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0xff\n"
                                    "ioperm 0x507 1 1 denied\n");

    velmo::sim::reset();
    refuse_after(ports(), 1); // second read refused
    EXPECT_EQ(OP_CONFIG(0x1FF), -1);
    EXPECT_EQ(message(), MSG_DENIED); // the refusal, not the bad word
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
    EXPECT_EQ(message(), MSG_DENIED);
    EXPECT_EQ(board().bank(2).latch, 0x40);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x00\n"
                                    "ioperm 0x538 1 1 denied\n");
    ports().set_listener(nullptr);
}

TEST_F(Refused, MessageFitsTheEditionsBuffer)
{
    EXPECT_LT(sizeof MSG_DENIED, sizeof buffer);
}

} // namespace
