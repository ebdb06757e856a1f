// velmogpio on the simulated board: what each command prints, the ports it
// touches, and that a usage error touches none.
#include "velmogpio_fixture.h"
#include "velmogpio_cli.h"

#include "child.h"

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

class Velmogpio : public VelmogpioFixture {
protected:
    static Result run(std::vector<const char *> args) { return run_tool(std::move(args)); }
};

TEST_F(Velmogpio, ConfigWordIsOneConfigureCall)
{
    const Result r = run({"config", "0x0F"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0xff\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0xff\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "out 0x507 0xff\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "out 0x534 0x39\n");
    EXPECT_EQ(run({"config", "255"}).status, 0);
    EXPECT_EQ(board().bank(2).direction, 0xFF);
    EXPECT_EQ(run({"config", "0x0"}).status, 0);
    EXPECT_EQ(board().bank(1).direction, 0xE2);
}

TEST_F(Velmogpio, ConfigNamedLinesKeepsTheOthers)
{
    board().bank(1).direction = 0x1D; // lines 1-4 inputs
    board().bank(2).direction = 0x00; // lines 5-8 outputs
    const Result r = run({"config", "2=out", "8=in"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ports().trace_text(), "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0x1d\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0x00\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0x1d\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0x00\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "out 0x507 0x19\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "out 0x534 0x80\n");
}

TEST_F(Velmogpio, SetThenGet)
{
    board().bank(2).direction = 0x00;
    board().bank(2).latch = 0x41; // line 7 high, bit 0 belongs to no line
    Result r = run({"set", "6=1", "7=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    // Each drive, then its line's direction.
    EXPECT_EQ(ports().trace_text(), "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x41\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "out 0x538 0x45\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0x00\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x45\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "out 0x538 0x05\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0x00\n");
    ports().clear_trace();
    board().set_outside(3, 1);
    r = run({"get", "3", "6", "7", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3=1\n6=1\n7=0\n3=1\n");
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x05\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x05\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n");
}

TEST_F(Velmogpio, SetOnAnInputLatchesAndSaysSo)
{
    board().bank(1).direction = 0x1C;             // line 1 an output, lines 2-4 inputs
    board().bank(1).outside = 0x04;               // line 2 driven high from outside
    Result r = run({"set", "1=1", "2=0", "6=1"}); // line 6: power-on, an input
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velmogpio: line 2 is an input: level latched, shown once it is an output\n"
                     "velmogpio: line 6 is an input: level latched, shown once it is an output\n");
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x04\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "out 0x50f 0x05\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0x1c\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x05\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "out 0x50f 0x01\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "in 0x507 0x1c\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "in 0x538 0x00\n"
                                    "ioperm 0x538 1 1 granted\n"
                                    "out 0x538 0x04\n"
                                    "ioperm 0x534 1 1 granted\n"
                                    "in 0x534 0xff\n");
    EXPECT_EQ(board().bank(1).latch, 0x01);
    EXPECT_EQ(board().bank(2).latch, 0x04);
    EXPECT_EQ(board().line(6).level, 0); // not shown yet

    // Made an output, the line shows the level set before.
    EXPECT_EQ(run({"config", "6=out"}).status, 0);
    r = run({"get", "6"});
    EXPECT_EQ(r.out, "6=1\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Velmogpio, ShowAsTableAndJson)
{
    board().bank(1).direction = 0x1D;
    board().bank(2).direction = 0x39; // lines 5-8 outputs
    board().bank(2).latch = 0x84;     // lines 6 and 8 high
    board().set_outside(1, 1);
    Result r = run({"show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "LINE DIR LEVEL BANK BIT\n"
                     "1    in  1     1    0\n"
                     "2    in  0     1    2\n"
                     "3    in  0     1    3\n"
                     "4    in  0     1    4\n"
                     "5    out 0     2    1\n"
                     "6    out 1     2    2\n"
                     "7    out 0     2    6\n"
                     "8    out 1     2    7\n");
    r = run({"show", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[\n"
                     "  {\"line\": 1, \"direction\": \"in\", \"level\": 1, \"bank\": 1, \"bit\": 0},\n"
                     "  {\"line\": 2, \"direction\": \"in\", \"level\": 0, \"bank\": 1, \"bit\": 2},\n"
                     "  {\"line\": 3, \"direction\": \"in\", \"level\": 0, \"bank\": 1, \"bit\": 3},\n"
                     "  {\"line\": 4, \"direction\": \"in\", \"level\": 0, \"bank\": 1, \"bit\": 4},\n"
                     "  {\"line\": 5, \"direction\": \"out\", \"level\": 0, \"bank\": 2, \"bit\": 1},\n"
                     "  {\"line\": 6, \"direction\": \"out\", \"level\": 1, \"bank\": 2, \"bit\": 2},\n"
                     "  {\"line\": 7, \"direction\": \"out\", \"level\": 0, \"bank\": 2, \"bit\": 6},\n"
                     "  {\"line\": 8, \"direction\": \"out\", \"level\": 1, \"bank\": 2, \"bit\": 7}\n"
                     "]\n");
}

TEST_F(Velmogpio, UsageErrorsTouchNoPort)
{
    const UsageCases cases = {
        {{}, "no command given"},
        {{"frob"}, "unknown command 'frob'"},
        {{"get"}, "get needs at least one LINE"},
        {{"get", "0"}, "bad line '0' (lines are 1 to 8)"},
        {{"get", "3", "9"}, "bad line '9' (lines are 1 to 8)"},
        {{"get", "-1"}, "bad line '-1' (lines are 1 to 8)"},
        {{"get", "3x"}, "bad line '3x' (lines are 1 to 8)"},
        {{"get", ""}, "bad line '' (lines are 1 to 8)"},
        {{"set"}, "set needs at least one LINE=0|1"},
        {{"set", "6"}, "expected LINE=VALUE, got '6'"},
        {{"set", "6=1", "7=2"}, "bad level in '7=2' (0 or 1)"},
        {{"set", "6=1", "9=1"}, "bad line '9' (lines are 1 to 8)"},
        {{"set", "=1"}, "bad line '' (lines are 1 to 8)"},
        {{"set", "6="}, "bad level in '6=' (0 or 1)"},
        {{"config"}, "config needs a WORD or LINE=in|out"},
        {{"config", "256"}, "bad configuration word '256' (0 to 255, or 0x00 to 0xff)"},
        {{"config", "0x100"}, "bad configuration word '0x100' (0 to 255, or 0x00 to 0xff)"},
        {{"config", "-1"}, "bad configuration word '-1' (0 to 255, or 0x00 to 0xff)"},
        {{"config", "0x"}, "bad configuration word '0x' (0 to 255, or 0x00 to 0xff)"},
        {{"config", "99999999999999999999"},
         "bad configuration word '99999999999999999999' (0 to 255, or 0x00 to 0xff)"},
        {{"config", "1=in", "2=up"}, "bad direction in '2=up' (in or out)"},
        {{"config", "1=in", "2"}, "expected LINE=VALUE, got '2'"},
        {{"show", "--xml"}, "show takes only --json, not '--xml'"},
        {{"show", "--json=1"}, "--json takes no value, not '--json=1'"},
        {{"--frob"}, "unknown option '--frob'"},
        // One rule in every tool: no leading zeros, each line once.
        {{"set", "03=1"}, "bad line '03' (a leading zero is octal to some readers: write 3)"},
        {{"set", "6=1", "6=0"}, "line 6 is named twice"},
        {{"config", "010"},
         "bad configuration word '010' (a leading zero is octal to some readers: write 10, or 0x10 for hex)"},
        {{"config", "1=in", "1=out"}, "line 1 is named twice"},
    };
    expect_usage_errors(cases);
}

TEST_F(Velmogpio, RefusedAccessIsAFailureWithTheLibrarysMessage)
{
    // The port each command is first refused: the library names it.
    const std::vector<std::pair<std::vector<const char *>, std::string>> cases = {{{"get", "3"}, "0x50f"},
                                                                                  {{"set", "1=1"}, "0x50f"},
                                                                                  {{"config", "7"}, "0x507"},
                                                                                  {{"config", "1=in"}, "0x507"},
                                                                                  {{"show"}, "0x50f"}};
    ports().set_refusal(EPERM);
    for (const auto &[args, port] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, "velmogpio: I/O port " + port + ": access denied (needs CAP_SYS_RAWIO).\n") << args[0];
    }

    ports().set_refusal(ENOSYS);
    Result r = run({"set", "6=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velmogpio: I/O port 0x538: this kernel has no port access (ioperm not implemented).\n");
    // With a board file named, outside velmo-emu: the way on.
    setenv("VELMO_BOARD", "/tmp/board", 1);
    r = run({"set", "6=1"});
    unsetenv("VELMO_BOARD");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velmogpio: I/O port 0x538: this kernel has no port access (ioperm not implemented).\n"
                     "velmogpio: VELMO_BOARD is set, but its board serves only programs run under velmo-emu: "
                     "run this command as velmo-emu velmogpio ...\n");
    ports().set_refusal(EPERM);
    velmo::sim::set_rawio(true);
    r = run({"get", "8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velmogpio: I/O port 0x538: access denied by the kernel (lockdown or container).\n");
}

// The delivered velmogpio with the real port primitives, where the kernel
// refuses port access (here: a kernel without ioperm).
TEST(VelmogpioDelivered, SaysWhyTheKernelRefused)
{
    const velmo::test::KernelAnswer here = velmo::test::kernel_answer();
    if (here.granted) {
        GTEST_SKIP() << "port access is granted here; velmogpio would drive real ports";
    }
    const std::vector<std::pair<std::vector<std::string>, std::uint32_t>> cases = {
        {{"get", "3"}, 0x50F}, {{"set", "6=1"}, 0x538}, {{"config", "0x0F"}, 0x507}, {{"show"}, 0x50F}};
    for (const auto &[args, port] : cases) {
        std::vector<std::string> argv = {VELMOGPIO_REAL};
        argv.insert(argv.end(), args.begin(), args.end());
        const velmo::demo_test::Outcome o = velmo::demo_test::run_program(argv, "");
        EXPECT_EQ(o.status, 1) << args[0];
        EXPECT_EQ(o.out, "") << args[0];
        EXPECT_EQ(o.err, "velmogpio: " + refused_message(here.why, port, here.error) + "\n") << args[0];
    }
}

TEST_F(Velmogpio, HelpAndVersion)
{
    Result r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "velmogpio 1.0.0\n");
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: velmogpio COMMAND [ARG...]\n", 0), 0u);
    EXPECT_EQ(ports().trace_text(), "");
}

} // namespace
