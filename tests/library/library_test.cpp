// The library's operations against the simulated board: exact port traces,
// register bits, messages. Built once per edition.
#include "sim_fixture.h"

#include <climits>

namespace {

using Library = SimBoard;

const char kConfigReads[] = "ioperm 0x507 1 1 granted\n"
                            "in 0x507 0xff\n"
                            "ioperm 0x534 1 1 granted\n"
                            "in 0x534 0xff\n";

// The names the header gives the documented numbers, and its line map.
static_assert(VELMOGPIO_ERR_GPIO == 1 && VELMOGPIO_ERR_VALUE == 2 && VELMOGPIO_ERR_CONFIG == 3);
static_assert(VELMOGPIO_BANK1_DIRECTION == 7 && VELMOGPIO_BANK1_DATA == 15 && VELMOGPIO_BANK2_DIRECTION == 52 &&
              VELMOGPIO_BANK2_DATA == 56);

TEST_F(Library, HeaderLineMapFollowsThePositionTables)
{
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(VELMOGPIO_LINE_BANK(n), n <= 4 ? 1 : 2) << n;
        EXPECT_EQ(VELMOGPIO_LINE_POS(n), velmo::sim::kLineBit[n - 1]) << n;
        EXPECT_EQ(VELMOGPIO_DIRECTION_REGISTER(n), n <= 4 ? 0x07 : 0x34) << n;
        EXPECT_EQ(VELMOGPIO_DATA_REGISTER(n), n <= 4 ? 0x0F : 0x38) << n;
    }
    GPIO2_pos[2] = 33; // line 7: a shift count modulo 32, bit 1
    EXPECT_EQ(VELMOGPIO_LINE_POS(7), 33);
    EXPECT_EQ(VELMOGPIO_BIT(VELMOGPIO_LINE_POS(7)), 0x02u);
    EXPECT_EQ(VELMOGPIO_BIT(-1), 0x80000000u);
}

TEST_F(Library, InitTouchesNothing)
{
    EXPECT_EQ(OP_INIT(), 0);
    EXPECT_EQ(OP_INIT(), 0);
    EXPECT_EQ(ports().trace_text(), "");
    EXPECT_EQ(BaseAddress, 0x500);
    EXPECT_STREQ(buffer, "");
}

TEST_F(Library, ConfigureAllInputsReadsBothBanksThenWritesBoth)
{
    ASSERT_EQ(OP_CONFIG(255), 0);
    EXPECT_EQ(ports().trace_text(), std::string(kConfigReads) + "ioperm 0x507 1 1 granted\n"
                                                                "out 0x507 0xff\n"
                                                                "ioperm 0x534 1 1 granted\n"
                                                                "out 0x534 0xff\n");
}

TEST_F(Library, ConfigureAllOutputsClearsOnlyLineBits)
{
    ASSERT_EQ(OP_CONFIG(0), 0);
    // Bank 1 lines sit at bits 0, 2, 3, 4; bank 2 lines at 1, 2, 6, 7.
    EXPECT_EQ(ports().trace_text(), std::string(kConfigReads) + "ioperm 0x507 1 1 granted\n"
                                                                "out 0x507 0xe2\n"
                                                                "ioperm 0x534 1 1 granted\n"
                                                                "out 0x534 0x39\n");
    EXPECT_EQ(board().bank(1).direction, 0xE2);
    EXPECT_EQ(board().bank(2).direction, 0x39);
}

TEST_F(Library, ConfigureSplitsWordAcrossBanksAndKeepsForeignBits)
{
    board().bank(1).direction = 0x42; // bit 1 and 6 belong to no line
    board().bank(2).direction = 0x00;
    ASSERT_EQ(OP_CONFIG(0x0F), 0); // lines 1-4 inputs, 5-8 outputs
    EXPECT_EQ(board().bank(1).direction, 0x5F);
    EXPECT_EQ(board().bank(2).direction, 0x00);

    board().bank(2).direction = 0x39; // all foreign bits of bank 2 set
    ASSERT_EQ(OP_CONFIG(0xA0), 0);    // lines 6 and 8 inputs
    EXPECT_EQ(board().bank(1).direction, 0x42);
    EXPECT_EQ(board().bank(2).direction, 0x39 | 0x04 | 0x80);
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(board().line(n).input, n == 6 || n == 8) << "line " << n;
    }
}

TEST_F(Library, ConfigureRejectsWordsOver255AfterBothReads)
{
    board().bank(1).direction = 0x12;
    for (unsigned int word : {256u, 0x1FFu, 0xFFFFFFFFu, 0x80000000u}) {
        ports().clear_trace();
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(OP_CONFIG(word), -1) << word;
        EXPECT_EQ(message(), MSG_BAD_CONFIG);
        EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                        "in 0x507 0x12\n"
                                        "ioperm 0x534 1 1 granted\n"
                                        "in 0x534 0xff\n");
    }
    EXPECT_EQ(board().bank(1).direction, 0x12);
    EXPECT_EQ(board().bank(2).direction, 0xFF);
}

TEST_F(Library, ReadLineReturnsItsDataBitOnly)
{
    board().bank(1).outside = 0x08; // line 3: bank 1 bit 3, an input
    int level = 42;
    ASSERT_EQ(OP_INPUT(3, &level), 0);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n");

    board().bank(1).outside = 0xF7;
    ASSERT_EQ(OP_INPUT(3, &level), 0);
    EXPECT_EQ(level, 0);

    // Bank 2 and an output line: the data register shows the latch.
    board().bank(2).direction = 0x00;
    board().bank(2).latch = 0x80; // line 8
    ports().clear_trace();
    ASSERT_EQ(OP_INPUT(8, &level), 0);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x80\n");
}

TEST_F(Library, EveryLineReadsItsOwnBit)
{
    const int *bits = velmo::sim::kLineBit;
    for (int n = 1; n <= 8; ++n) {
        board().bank(1).outside = 0;
        board().bank(2).outside = 0;
        board().bank(n <= 4 ? 1 : 2).outside = static_cast<std::uint8_t>(1u << bits[n - 1]);
        for (int m = 1; m <= 8; ++m) {
            int level = -5;
            ASSERT_EQ(OP_INPUT(m, &level), 0);
            const bool same_bit = (m <= 4) == (n <= 4) && bits[m - 1] == bits[n - 1];
            EXPECT_EQ(level, same_bit ? 1 : 0) << "line " << m << " with line " << n << " high";
        }
    }
}

TEST_F(Library, BadLineOrLevelTouchesNoPort)
{
    int level = 42;
    for (int gpio : {0, 9, -1, INT_MIN, INT_MAX}) {
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(OP_INPUT(gpio, &level), -1);
        EXPECT_EQ(message(), MSG_BAD_GPIO);
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(OP_OUTPUT(gpio, 0), -1);
        EXPECT_EQ(message(), MSG_BAD_GPIO);
    }
    EXPECT_EQ(level, 42);

    // The line is checked before the level.
    EXPECT_EQ(OP_OUTPUT(9, 5), -1);
    EXPECT_EQ(message(), MSG_BAD_GPIO);
    for (unsigned int value : {2u, 0xFFFFFFFFu, 0x80000000u, 7u}) {
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(OP_OUTPUT(3, value), -1);
        EXPECT_EQ(message(), MSG_BAD_VALUE);
    }
    EXPECT_EQ(ports().trace_text(), "");
}

TEST_F(Library, DriveLineSetsOneBitAndWritesTheRestBack)
{
    board().bank(2).direction = 0x00;
    board().bank(2).latch = 0xB9;
    ASSERT_EQ(OP_OUTPUT(6, 1), 0); // bank 2 bit 2
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0xb9\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "out 0x538 0xbd\n");
    EXPECT_EQ(board().bank(2).latch, 0xBD);

    board().bank(1).direction = 0x00;
    board().bank(1).latch = 0xFF;
    ports().clear_trace();
    ASSERT_EQ(OP_OUTPUT(1, 0), 0); // bank 1 bit 0
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0xff\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "out 0x50f 0xfe\n");

    // Driving a line already at its level still writes the byte back.
    ports().clear_trace();
    ASSERT_EQ(OP_OUTPUT(1, 0), 0);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0xfe\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "out 0x50f 0xfe\n");
}

TEST_F(Library, DriveIgnoresDirection)
{
    // An input line's data bit reads the outside level; the write lands in
    // the latch regardless.
    board().bank(1).outside = 0x01;
    ASSERT_EQ(OP_OUTPUT(4, 1), 0); // bank 1 bit 4
    EXPECT_EQ(board().bank(1).latch, 0x11);
}

TEST_F(Library, LastErrorMessageLifecycle)
{
    EXPECT_EQ(sizeof buffer, static_cast<size_t>(BUFFER_BYTES));
    EXPECT_EQ(message(), ""); // nothing failed yet
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(KVNGetLastError(&error), -1);
    EXPECT_EQ(error, buffer);

    ASSERT_EQ(OP_CONFIG(1000), -1);
    EXPECT_STREQ(error, MSG_BAD_CONFIG); // the pointer fetched earlier follows
    int level = 0;
    ASSERT_EQ(OP_INPUT(2, &level), 0);
    ASSERT_EQ(OP_CONFIG(3), 0);
    EXPECT_EQ(message(), MSG_BAD_CONFIG); // kept after successes

    ASSERT_EQ(OP_INPUT(0, &level), -1); // shorter after longer reads whole
    EXPECT_EQ(message(), MSG_BAD_GPIO);
    ASSERT_EQ(OP_OUTPUT(1, 3), -1);
    EXPECT_EQ(message(), MSG_BAD_VALUE);
}

TEST_F(Library, SetterTakesCodesOneToThreeOnly)
{
    EXPECT_EQ(OP_SET_ERROR(3), -1);
    EXPECT_EQ(message(), MSG_BAD_CONFIG);
    for (int code : {0, 4, -1, 5, INT_MIN, INT_MAX}) {
        EXPECT_EQ(OP_SET_ERROR(code), -1);
        EXPECT_EQ(message(), MSG_BAD_CONFIG) << code;
    }
    EXPECT_EQ(OP_SET_ERROR(1), -1);
    EXPECT_EQ(message(), MSG_BAD_GPIO);
    EXPECT_EQ(OP_SET_ERROR(2), -1);
    EXPECT_EQ(message(), MSG_BAD_VALUE);
    EXPECT_EQ(ports().trace_text(), "");
}

TEST_F(Library, MovedBaseAddressIsUsedByTheNextCall)
{
    BaseAddress = 0x600;
    board().set_base(0x600);
    ASSERT_EQ(OP_CONFIG(0), 0);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x607 1 1 granted\n"
                                    "in 0x607 0xff\n"
                                    "ioperm 0x634 1 1 granted\n"
                                    "in 0x634 0xff\n"
                                    "ioperm 0x607 1 1 granted\n"
                                    "out 0x607 0xe2\n"
                                    "ioperm 0x634 1 1 granted\n"
                                    "out 0x634 0x39\n");
    ports().clear_trace();
    ASSERT_EQ(OP_OUTPUT(5, 1), 0);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x638 1 1 granted\n"
                                    "in 0x638 0x00\n"
                                    "ioperm 0x638 1 1 granted\n"
                                    "out 0x638 0x02\n");
    EXPECT_EQ(board().bank(2).latch, 0x02);
}

TEST_F(Library, BaseOutsidePortSpaceIsRefusedByTheKernel)
{
    BaseAddress = 0x10500;
    int level = 7;
    EXPECT_EQ(OP_INPUT(1, &level), -1);
    EXPECT_EQ(message(), refused_message(velmo::test::Refusal::OutOfRange, 0x1050F));
    EXPECT_EQ(level, 7);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x1050f 1 1 denied\n");

    // A base near INT_MAX wraps like a 32-bit add, and is refused too.
    BaseAddress = INT_MAX;
    ports().clear_trace();
    EXPECT_EQ(OP_OUTPUT(8, 1), -1);
    EXPECT_EQ(message(), refused_message(velmo::test::Refusal::OutOfRange, 0x80000037u));
    const std::string port = sizeof(long) == 8 ? "0xffffffff80000037" : "0x80000037";
    EXPECT_EQ(ports().trace_text(), "ioperm " + port + " 1 1 denied\n");
}

TEST_F(Library, RemappedPositionsIncludingOutOfRangeOnes)
{
    board().bank(1).outside = 0x20;
    GPIO1_pos[2] = 5; // line 3 now bit 5
    int level = 0;
    ASSERT_EQ(OP_INPUT(3, &level), 0);
    EXPECT_EQ(level, 1);

    // Positions above the byte: the line reads 0 and writes change nothing.
    board().bank(2).direction = 0x00;
    board().bank(2).latch = 0xFF;
    for (int pos : {8, 15, 31, -1, -24}) {
        GPIO2_pos[1] = pos;
        ASSERT_EQ(OP_INPUT(6, &level), 0);
        EXPECT_EQ(level, 0) << pos;
        ports().clear_trace();
        ASSERT_EQ(OP_OUTPUT(6, 0), 0);
        EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                        "in 0x538 0xff\n"
                                        "ioperm 0x538 1 1 granted\n"
                                        "out 0x538 0xff\n")
            << pos;
    }

    // Shift counts are taken modulo 32: 32 is bit 0, 33 bit 1, -29 bit 3.
    board().bank(2).latch = 0x00;
    for (auto [pos, bit] : {std::pair{32, 0}, std::pair{33, 1}, std::pair{-29, 3}, std::pair{-32, 0}}) {
        GPIO2_pos[3] = pos;
        board().bank(2).latch = 0x00;
        ASSERT_EQ(OP_OUTPUT(8, 1), 0);
        EXPECT_EQ(board().bank(2).latch, 1u << bit) << pos;
        ASSERT_EQ(OP_INPUT(8, &level), 0);
        EXPECT_EQ(level, 1) << pos;
    }

    // Configure with a line mapped above the byte leaves those bits alone.
    GPIO1_pos[0] = 9;
    board().bank(1).direction = 0x01;
    ASSERT_EQ(OP_CONFIG(0), 0);
    EXPECT_EQ(board().bank(1).direction, 0x01);
}

TEST_F(Library, PrimitivesAskForExactlyTheirPort)
{
    EXPECT_EQ(ReadIO(0x600), 0xFF); // no register there
    WriteIO(0x50F, 0x5A);
    EXPECT_EQ(ReadIO(0x534), 0xFF);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x600 1 1 granted\n"
                                    "in 0x600 0xff\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "out 0x50f 0x5a\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0xff\n");
    EXPECT_EQ(board().bank(1).latch, 0x5A);
}

} // namespace
