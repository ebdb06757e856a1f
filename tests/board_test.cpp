// The simulated board itself: registers, the kernel's access rules, faults
// and the trace text that the emulator writes too.
#include "board.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using velmo::sim::Board;

TEST(Board, PowerOnAndRegisterSemantics)
{
    Board b;
    ASSERT_EQ(b.request(0x500, 0x40, 1), 0);
    std::uint8_t v = 0;
    ASSERT_TRUE(b.in(0x507, v));
    EXPECT_EQ(v, 0xFF); // all inputs
    ASSERT_TRUE(b.in(0x50F, v));
    EXPECT_EQ(v, 0x00); // nothing driven from outside

    // Data reads the latch on output bits and the outside on input bits.
    ASSERT_TRUE(b.out(0x534, 0x0F));
    ASSERT_TRUE(b.out(0x538, 0x3C));
    b.bank(2).outside = 0xA5;
    ASSERT_TRUE(b.in(0x538, v));
    EXPECT_EQ(v, (0x3C & 0xF0) | (0xA5 & 0x0F));
    EXPECT_EQ(b.bank(2).latch, 0x3C);
    EXPECT_EQ(b.bank(2).direction, 0x0F);

    // Ports without a register read 0xFF and ignore writes.
    ASSERT_TRUE(b.out(0x510, 0x00));
    ASSERT_TRUE(b.in(0x510, v));
    EXPECT_EQ(v, 0xFF);
    EXPECT_EQ(b.trace_text(), "ioperm 0x500 64 1 granted\n"
                              "in 0x507 0xff\n"
                              "in 0x50f 0x00\n"
                              "out 0x534 0x0f\n"
                              "out 0x538 0x3c\n"
                              "in 0x538 0x35\n"
                              "out 0x510 0x00\n"
                              "in 0x510 0xff\n");
}

TEST(Board, KernelAccessRules)
{
    Board b;
    EXPECT_EQ(b.request(0x10507, 1, 1), EINVAL);
    EXPECT_EQ(b.request(0xFFFF, 2, 1), EINVAL); // passes 0xFFFF
    EXPECT_EQ(b.request(0x500, 0, 1), EINVAL);
    EXPECT_EQ(b.request(~0ull, 2, 1), EINVAL);  // wraps around
    EXPECT_EQ(b.request(0xFFFF, 1, 1), 0);
    EXPECT_TRUE(b.granted(0xFFFF));
    EXPECT_FALSE(b.granted(0xFFFE));

    b.set_refuse_all(true);
    EXPECT_EQ(b.request(0x507, 1, 1), EPERM);
    EXPECT_EQ(b.request(0x10507, 1, 1), EINVAL); // range is checked first
    EXPECT_EQ(b.request(0xFFFF, 1, 0), 0);       // giving access up is allowed
    EXPECT_FALSE(b.granted(0xFFFF));
    EXPECT_EQ(b.trace_text(), "ioperm 0x10507 1 1 denied\n"
                              "ioperm 0xffff 2 1 denied\n"
                              "ioperm 0x500 0 1 denied\n"
                              "ioperm 0xffffffffffffffff 2 1 denied\n"
                              "ioperm 0xffff 1 1 granted\n"
                              "ioperm 0x507 1 1 denied\n"
                              "ioperm 0x10507 1 1 denied\n"
                              "ioperm 0xffff 1 0 granted\n");
}

TEST(Board, AccessWithoutGrantIsAFaultAndMovesNothing)
{
    Board b;
    std::uint8_t v = 0x33;
    EXPECT_FALSE(b.in(0x507, v));
    EXPECT_EQ(v, 0x33);
    EXPECT_FALSE(b.out(0x50F, 0x44));
    EXPECT_EQ(b.bank(1).latch, 0x00);
    ASSERT_EQ(b.request(0x507, 1, 1), 0);
    EXPECT_FALSE(b.in(0x508, v)); // the grant is for one port only
    EXPECT_EQ(b.faults(), 3);
    EXPECT_EQ(b.trace_text(), "fault in 0x507\n"
                              "fault out 0x50f 0x44\n"
                              "ioperm 0x507 1 1 granted\n"
                              "fault in 0x508\n");
}

TEST(Board, MovedBaseAndLineView)
{
    Board b;
    b.set_base(0xFFF0); // registers wrap past 0xFFFF: +0x0F is 0xFFFF, +0x34 is 0x24
    ASSERT_EQ(b.request(0, 0x10000, 1), 0);
    EXPECT_TRUE(b.out(0x0024, 0x00)); // bank 2 direction: all outputs
    EXPECT_EQ(b.bank(2).direction, 0x00);
    EXPECT_EQ(b.peek(0x534), 0xFF);

    b.set_outside(3, 1);
    b.bank(2).latch = 0x84; // lines 6 and 8 driven high
    EXPECT_EQ(b.show(), "board: 1:in=0 2:in=0 3:in=1 4:in=0 5:out=0 6:out=1 7:out=0 8:out=1");
    b.set_outside(3, 0);
    EXPECT_EQ(b.bank(1).outside, 0x00);
    EXPECT_THROW(b.line(0), std::out_of_range);
    EXPECT_THROW(b.set_outside(9, 1), std::out_of_range);
}

TEST(Board, ListenerSeesEventsAsTheyHappen)
{
    Board b;
    std::string seen;
    b.set_listener([&seen](const std::string &line) { seen += line + "|"; });
    b.set_keep_trace(false);
    b.request(0x50F, 1, 1);
    b.out(0x50F, 0x01);
    EXPECT_EQ(seen, "ioperm 0x50f 1 1 granted|out 0x50f 0x01|");
    EXPECT_EQ(b.trace_text(), "");
}

} // namespace

namespace {

TEST(BoardState, SavesAndLoadsRegistersAndOutsideLevels)
{
    Board b;
    b.bank(1) = velmo::sim::Bank{0x1D, 0xA0, 0x08};
    b.bank(2).latch = 0x84;
    EXPECT_EQ(b.save_state(), "velmo-board 1\n"
                              "bank1 direction=0x1d latch=0xa0 outside=0x08\n"
                              "bank2 direction=0xff latch=0x84 outside=0x00\n");
    Board c;
    std::string why;
    ASSERT_TRUE(c.load_state(b.save_state(), why)) << why;
    EXPECT_EQ(c.save_state(), b.save_state());
    EXPECT_EQ(c.trace_text(), ""); // loading is not an event of the program
}

TEST(BoardState, DamagedStateIsRefusedAndChangesNothing)
{
    const std::string good = "velmo-board 1\n"
                             "bank1 direction=0x1d latch=0xa0 outside=0x08\n"
                             "bank2 direction=0xff latch=0x84 outside=0x00\n";
    const std::pair<std::string, std::string> damaged[] = {
        {"", "empty file"},
        {"velmo-board 2\n", "line 1 is not 'velmo-board 1'"},
        {good.substr(0, good.size() - 1), "line 3 is missing or unterminated"},
        {good.substr(0, 60), "line 3 is missing or unterminated"},
        {good + "x", "unexpected text after line 3"},
        {"velmo-board 1\nbank1 direction=0x1d latch=0xa0 outside=0x8\n" + good.substr(60),
         "line 2 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 1\nbank1 direction=0x1d latch=0xa0 outside=0x08 \n" + good.substr(60),
         "line 2 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 1\nbank1 direction=0x1D latch=0xa0 outside=0x08\n" + good.substr(60),
         "line 2 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 1\nbank2 direction=0x1d latch=0xa0 outside=0x08\n" + good.substr(60),
         "line 2 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {std::string("velmo-board 1\n\0", 15), "line 2 is missing or unterminated"},
    };
    for (const auto &[text, reason] : damaged) {
        Board b;
        b.bank(2).outside = 0x42;
        const std::string before = b.save_state();
        std::string why;
        EXPECT_FALSE(b.load_state(text, why)) << text;
        EXPECT_EQ(why, reason) << text;
        EXPECT_EQ(b.save_state(), before);
    }
}

} // namespace
