// Console transcripts: a scripted standard input into the demo on the
// simulated board (velmo_demo_sim), the exact standard output expected, and
// the board's registers and port trace afterwards.
#include "child.h"
#include "refusal.h"
#include "sim_board.h"
#include "transcripts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace velmo::demo_test {
namespace {

using velmo::demo_sim::BoardSetup;

std::string hex(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

struct Session {
    Outcome outcome;
    std::string registers; // the state's two register lines
    std::string trace;     // the port trace
};

// One run of the demo on a board set up as given; it must end with status
// 0, nothing on standard error and no port instruction without access.
Session demo(const std::string &input, const BoardSetup &setup = BoardSetup())
{
    std::vector<std::string> argv = {VELMO_DEMO_SIM, "--state-fd", "3"};
    for (int n = 1; n <= 2; ++n) {
        const velmo::sim::Bank &bank = setup.board.bank(n);
        argv.push_back(n == 1 ? "--bank1" : "--bank2");
        argv.push_back(hex(bank.direction) + ":" + hex(bank.latch) + ":" + hex(bank.outside));
    }
    if (setup.refuse) {
        argv.push_back("--refuse");
    }
    Session s;
    s.outcome = run_program(argv, input);
    if (s.outcome.out.size() > (1u << 20)) {
        ADD_FAILURE() << "output without end (" << s.outcome.out.size() << " bytes)";
        s.outcome.out.resize(400);
    }
    EXPECT_EQ(s.outcome.status, 0);
    EXPECT_EQ(s.outcome.err, "");
    const std::string &state = s.outcome.state;
    const std::size_t faults = state.find("faults 0\n");
    EXPECT_NE(faults, std::string::npos) << "state:\n" << state;
    if (faults != std::string::npos) {
        s.registers = state.substr(0, faults);
        s.trace = state.substr(faults + 9);
    }
    return s;
}

std::string error_line(const std::string &operation, const std::string &message)
{
    return operation + " Error:" + message + "\n";
}

// --- The walk through the write dialogue ------------------------------------

TEST(DemoWrite, DrivesLine6HighAndKeepsEveryOtherBit)
{
    // Bank 2 all outputs, its latch 1010 1001: bit 2 (line 6) is clear.
    const BoardSetup before = BoardSetup().direction(1, 0x00).direction(2, 0x00).latch(2, 0xa9);
    const Session s = demo("3\n6\n1\n-1\n-1\n", before);
    EXPECT_EQ(s.outcome.out,
              kTitle + kMenu + kWritePrompt + "GPIO is6" + kLevelPrompt + kWritePrompt + "GPIO is-1" + kMenu);
    EXPECT_EQ(s.registers, BoardSetup().direction(1, 0x00).direction(2, 0x00).latch(2, 0xad).board.text());
    EXPECT_EQ(s.trace, "ioperm 0x538 1 1 granted\n"
                       "in 0x538 0xa9\n"
                       "ioperm 0x538 1 1 granted\n"
                       "out 0x538 0xad\n");
}

TEST(DemoWrite, LevelAnswerWithoutNumberKeepsTheLastLevel)
{
    // Line 1 high, then line 2 with no level: the level stays 1. Lines 1
    // and 2 are bank 1 bits 0 and 2.
    const Session s = demo("3\n1\n1\n2\nhigh\n-1\n-1\n", BoardSetup().direction(1, 0x00).direction(2, 0x00));
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is1" + kLevelPrompt + kWritePrompt + "GPIO is2" +
                                 kLevelPrompt + kWritePrompt + "GPIO is-1" + kMenu);
    EXPECT_EQ(s.registers, BoardSetup().direction(1, 0x00).latch(1, 0x05).direction(2, 0x00).board.text());
}

TEST(DemoWrite, FailuresPrintTheLibrarysMessageAndReturnToTheMenu)
{
    // Line 9: the level is still asked for; the library rejects the line.
    Session s = demo("3\n9\n1\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is9" + kLevelPrompt +
                                 error_line("VELMOGPIOOutputBit", kBadGpio) + kMenu);
    EXPECT_EQ(s.trace, "");

    // Line 2, level 7.
    s = demo("3\n2\n7\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is2" + kLevelPrompt +
                                 error_line("VELMOGPIOOutputBit", kBadValue) + kMenu);
    EXPECT_EQ(s.trace, "");

    // Line 3, level -1: negative levels are rejected too.
    s = demo("3\n3\n-1\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is3" + kLevelPrompt +
                                 error_line("VELMOGPIOOutputBit", kBadValue) + kMenu);

    // A first line answer with no number leaves the line at 0.
    s = demo("3\n\n1\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is0" + kLevelPrompt +
                                 error_line("VELMOGPIOOutputBit", kBadGpio) + kMenu);
}

// --- The read dialogue ---------------------------------------------------------

TEST(DemoRead, ShowsTheDataBitOfEachLine)
{
    // All lines inputs. Bank 1 outside 0000 1000: line 3 (bit 3) high.
    // Bank 2 outside 1111 1011: everything high but line 6 (bit 2).
    const BoardSetup before = BoardSetup().outside(1, 0x08).outside(2, 0xfb);
    const Session s = demo("2\n3\n6\n1\n8\n-1\n-1\n", before);
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kReadPrompt + "GPIO 3 = 0x1\n" + kReadPrompt + "GPIO 6 = 0x0\n" +
                                 kReadPrompt + "GPIO 1 = 0x0\n" + kReadPrompt + "GPIO 8 = 0x1\n" + kReadPrompt + kMenu);
    EXPECT_EQ(s.registers, before.board.text());
    EXPECT_EQ(s.trace, "ioperm 0x50f 1 1 granted\nin 0x50f 0x08\n"
                       "ioperm 0x538 1 1 granted\nin 0x538 0xfb\n"
                       "ioperm 0x50f 1 1 granted\nin 0x50f 0x08\n"
                       "ioperm 0x538 1 1 granted\nin 0x538 0xfb\n");
}

TEST(DemoRead, FailuresPrintTheLibrarysMessageAndReturnToTheMenu)
{
    // A first answer with no number leaves the line at 0.
    Session s = demo("2\nfour\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kReadPrompt + error_line("VELMOGPIOInputBit", kBadGpio) + kMenu);
    EXPECT_EQ(s.trace, "");

    s = demo("2\n9\n2\n0\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kReadPrompt + error_line("VELMOGPIOInputBit", kBadGpio) + kMenu +
                                 kReadPrompt + error_line("VELMOGPIOInputBit", kBadGpio) + kMenu);
}

// --- The configuration dialogue --------------------------------------------------

TEST(DemoConfigure, EightOnesMakeEveryLineAnInput)
{
    // The bits that belong to no line are set and must stay so: bank 1
    // lines are bits 0, 2, 3, 4, bank 2 lines bits 1, 2, 6, 7.
    const Session s = demo("1\n1\n1\n1\n1\n1\n1\n1\n1\n-1\n", BoardSetup().direction(1, 0xe2).direction(2, 0x39));
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + config_prompts() + kMenu);
    EXPECT_EQ(s.registers, BoardSetup().board.text());
    EXPECT_EQ(s.trace, "ioperm 0x507 1 1 granted\nin 0x507 0xe2\n"
                       "ioperm 0x534 1 1 granted\nin 0x534 0x39\n"
                       "ioperm 0x507 1 1 granted\nout 0x507 0xff\n"
                       "ioperm 0x534 1 1 granted\nout 0x534 0xff\n");
}

TEST(DemoConfigure, EntriesSpillIntoOtherLines)
{
    // 3 for line 1 makes lines 1 and 2 inputs; 5 for line 4 (5 << 3 =
    // bits 3 and 5) makes lines 4 and 6 inputs. Everything else output.
    const Session s = demo("1\n3\n0\n0\n5\n0\n0\n0\n0\n-1\n", BoardSetup());
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + config_prompts() + kMenu);
    // Bank 1: bits 0, 2 (lines 1, 2) and 4 (line 4) set, bit 3 (line 3)
    // clear, bits 1, 5-7 kept. Bank 2: bit 2 (line 6) set, 1, 6, 7 clear.
    EXPECT_EQ(s.registers, BoardSetup().direction(1, 0xf7).direction(2, 0x3d).board.text());
}

TEST(DemoConfigure, AnEntryKeepsItsValueUntilTheDialogueIsEnteredAgain)
{
    // First run: 1, then seven answers with no number: every entry is 1.
    // Second run: eight answers with no number: the entry was zeroed on
    // entering the dialogue, so every line becomes an output.
    const Session s =
        demo("1\n1\nx\n\n \n-\n+\n.\n\n1\n\n\n\n\n\n\n\n\n-1\n", BoardSetup().direction(1, 0x00).direction(2, 0x00));
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + config_prompts() + kMenu + config_prompts() + kMenu);
    EXPECT_EQ(s.trace, "ioperm 0x507 1 1 granted\nin 0x507 0x00\n"
                       "ioperm 0x534 1 1 granted\nin 0x534 0x00\n"
                       "ioperm 0x507 1 1 granted\nout 0x507 0x1d\n"
                       "ioperm 0x534 1 1 granted\nout 0x534 0xc6\n"
                       "ioperm 0x507 1 1 granted\nin 0x507 0x1d\n"
                       "ioperm 0x534 1 1 granted\nin 0x534 0xc6\n"
                       "ioperm 0x507 1 1 granted\nout 0x507 0x00\n"
                       "ioperm 0x534 1 1 granted\nout 0x534 0x00\n");
}

TEST(DemoConfigure, AWordOver255IsRejectedAfterReadingBothDirections)
{
    const std::string failed = kTitle + kMenu + config_prompts() + error_line("VELMOGPIOConfigure", kBadConfig) + kMenu;
    const std::string reads_only = "ioperm 0x507 1 1 granted\nin 0x507 0x5a\n"
                                   "ioperm 0x534 1 1 granted\nin 0x534 0xa5\n";
    const BoardSetup before = BoardSetup().direction(1, 0x5a).direction(2, 0xa5);
    for (const char *input : {
             "1\n1\n1\n1\n1\n1\n1\n1\n2\n-1\n",   // 2 for line 8: bit 8
             "1\n-1\n0\n0\n0\n0\n0\n0\n0\n-1\n",  // -1 for line 1: every bit
             "1\n0\n0\n0\n0\n16\n0\n0\n0\n-1\n",  // 16 for line 5: bit 8
             "1\n256\n0\n0\n0\n0\n0\n0\n0\n-1\n", // 256 for line 1
         }) {
        SCOPED_TRACE(input);
        const Session s = demo(input, before);
        EXPECT_EQ(s.outcome.out, failed);
        EXPECT_EQ(s.registers, before.board.text());
        EXPECT_EQ(s.trace, reads_only);
    }
}

// --- The menu ----------------------------------------------------------------------

TEST(DemoMenu, AnswersWithoutANumberOrOutOfRange)
{
    // No number first: the choice is still 0.
    Session s = demo("\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kInvalidOption + kMenu);

    s = demo("0\n4\n-2\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kInvalidOption + kMenu + kInvalidOption + kMenu + kInvalidOption + kMenu);
}

TEST(DemoMenu, AnAnswerWithoutANumberRepeatsTheLastChoice)
{
    const Session s = demo("2\n-1\nagain\n-1\n3\n-1\n \n-1\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kReadPrompt + kMenu + kReadPrompt + kMenu + kWritePrompt + "GPIO is-1" +
                                 kMenu + kWritePrompt + "GPIO is-1" + kMenu);
}

// --- Reading and parsing answers ------------------------------------------------------

TEST(DemoAnswers, ParsedAsPercentDWouldParseThem)
{
    // Bank 2 outside 0100 0010: lines 5 (bit 1) and 7 (bit 6) high.
    const BoardSetup before = BoardSetup().outside(2, 0x42);
    std::string input = "2\n"
                        " \t 4\n" // leading white space
                        "+5\n"    // a plus sign
                        "7abc\n"  // digits up to the first other character
                        "-\n"     // no number from here on: the line stays 7
                        "+\n"
                        " -x\n"
                        "- 3\n"
                        "\xff"
                        "5\n";
    input += std::string("\0"
                         "3\n",
                         3); // a NUL ends the text
    input += "\v\f\r8\n"     // every kind of white space
             "0x8\n"         // 0: a hex prefix is not read
             "-1\n";
    const Session s = demo(input, before);
    std::string expected = kTitle + kMenu + kReadPrompt + "GPIO 4 = 0x0\n" + kReadPrompt + "GPIO 5 = 0x1\n";
    for (int i = 0; i < 7; ++i) {
        expected += kReadPrompt + "GPIO 7 = 0x1\n";
    }
    expected += kReadPrompt + "GPIO 8 = 0x0\n" + kReadPrompt + error_line("VELMOGPIOInputBit", kBadGpio) + kMenu;
    EXPECT_EQ(s.outcome.out, expected);
}

TEST(DemoAnswers, ALongAnswerIsSplitOverTwoReads)
{
    // 25 characters: 19 read as the choice (2), the rest as the line (3).
    BoardSetup before = BoardSetup().outside(1, 0x08);
    Session s = demo("0000000000000000002     3\n-1\n-1\n", before);
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kReadPrompt + "GPIO 3 = 0x1\n" + kReadPrompt + kMenu);

    // 19 digits are too many for 32 bits: no number, the choice stays 0;
    // the remaining "012345" is another invalid choice.
    s = demo("1234567890123456789012345\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kInvalidOption + kMenu + kInvalidOption + kMenu);

    // 19 characters and the newline: the newline alone is the next answer,
    // so the write dialogue's line stays 0.
    s = demo("0000000000000000003\n1\n-1\n");
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is0" + kLevelPrompt +
                                 error_line("VELMOGPIOOutputBit", kBadGpio) + kMenu);
}

TEST(DemoAnswers, ANumberBeyond32BitsIsNoNumber)
{
    // At the menu, after choice 2: 4294967295 would wrap to -1 and quit;
    // it is no number and keeps choice 2 instead, as do 2147483648 and
    // -2147483649. The limits themselves are numbers (invalid choices).
    Session s = demo("2\n-1\n4294967295\n-1\n2147483647\n2\n-1\n-2147483648\n2\n-1\n"
                     "2147483648\n-1\n-2147483649\n-1\n-1\n");
    const std::string read_and_back = kReadPrompt + kMenu;
    const std::string invalid = kInvalidOption + kMenu;
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + read_and_back + read_and_back + invalid + read_and_back + invalid +
                                 read_and_back + read_and_back + read_and_back);

    // In the write dialogue: 4294967298 would wrap to line 2; the line
    // stays 6, which is driven high and then low.
    const BoardSetup before = BoardSetup().direction(1, 0x00).direction(2, 0x00);
    s = demo("3\n6\n1\n4294967298\n0\n-1\n-1\n", before);
    EXPECT_EQ(s.outcome.out, kTitle + kMenu + kWritePrompt + "GPIO is6" + kLevelPrompt + kWritePrompt + "GPIO is6" +
                                 kLevelPrompt + kWritePrompt + "GPIO is-1" + kMenu);
    EXPECT_EQ(s.trace, "ioperm 0x538 1 1 granted\nin 0x538 0x00\n"
                       "ioperm 0x538 1 1 granted\nout 0x538 0x04\n"
                       "ioperm 0x538 1 1 granted\nin 0x538 0x04\n"
                       "ioperm 0x538 1 1 granted\nout 0x538 0x00\n");
}

// --- End of input ------------------------------------------------------------------------

TEST(DemoEndOfInput, EndsTheProgramQuietlyWhereverItComes)
{
    const BoardSetup before = BoardSetup().direction(1, 0x00).direction(2, 0x00);
    struct Case {
        const char *input;
        std::string out;
    } cases[] = {
        {"", kTitle + kMenu},
        {"  ", kTitle + kMenu + kInvalidOption + kMenu},    // a last line without newline
        {"1\n1\n0\n1", kTitle + kMenu + config_prompts(4)}, // inside the configuration
        {"2\n", kTitle + kMenu + kReadPrompt},              // at the read prompt
        {"2\n4", kTitle + kMenu + kReadPrompt + "GPIO 4 = 0x0\n" + kReadPrompt},
        {"3\n", kTitle + kMenu + kWritePrompt},                                // at the write prompt
        {"3\n5\n", kTitle + kMenu + kWritePrompt + "GPIO is5" + kLevelPrompt}, // at the level
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        const Session s = demo(c.input, before);
        EXPECT_EQ(s.outcome.out, c.out);
        EXPECT_EQ(s.registers, before.board.text()); // nothing half-done
    }
}

// --- The delivered program, where the kernel refuses port access ------------------

// The demo edition's message for how the kernel here refuses port access.
std::string refused_here(const velmo::test::KernelAnswer &here)
{
    switch (here.why) {
    case velmo::test::Refusal::ByKernel: return kDeniedByKernel;
    case velmo::test::Refusal::NoIoperm: return kNoPortAccess;
    case velmo::test::Refusal::OutOfRange: return kOutOfRange;
    default: return kDenied;
    }
}

// A state descriptor that cannot take the state is refused before the demo
// starts, rather than the state lost at its end.
TEST(DemoSim, AStateDescriptorThatIsNotOpenIsRefused)
{
    const Outcome o = run_program({VELMO_DEMO_SIM, "--state-fd", "99"}, "-1\n");
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "velmo_demo_sim: --state-fd 99: descriptor 99 is not open\nTry 'velmo_demo_sim --help'.\n");
}

TEST(DemoDelivered, ReportsRefusedPortAccessAndCarriesOn)
{
    const velmo::test::KernelAnswer here = velmo::test::kernel_answer();
    if (here.granted) {
        GTEST_SKIP() << "port access is granted here; the real demo would drive real ports";
    }
    const std::string why = refused_here(here);
    const Outcome o = run_program({VELMO_DEMO_REAL}, "2\n1\n3\n5\n1\n1\n1\n1\n1\n1\n1\n1\n1\n-1\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, kTitle + kMenu + kReadPrompt + error_line("VELMOGPIOInputBit", why) + kMenu + kWritePrompt +
                         "GPIO is5" + kLevelPrompt + error_line("VELMOGPIOOutputBit", why) + kMenu + config_prompts() +
                         error_line("VELMOGPIOConfigure", why) + kMenu);
}

TEST(DemoDelivered, AFailedReadOfStandardInputIsSaid)
{
    // A directory as standard input: the read fails with EISDIR.
    const Outcome o = run_child("", [] {
        const int dir = ::open("/", O_RDONLY | O_DIRECTORY);
        ::dup2(dir, 0);
        exec_program({VELMO_DEMO_REAL});
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, kTitle + kMenu);
    EXPECT_EQ(o.err, "VelmoGPIO: cannot read standard input: Is a directory\n");
}

} // namespace
} // namespace velmo::demo_test
