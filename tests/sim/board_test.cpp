// The simulated board itself: registers, the kernel's access rules, faults
// and the trace text that the emulator writes too.
#include "board.h"
#include "ports.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using velmo::sim::Access;
using velmo::sim::Board;
using velmo::sim::Grants;
using velmo::sim::Ports;

// One task's view of a port space, as the tests of the port space need it.
struct Task {
    Ports ports;
    Grants grants;
    int request(unsigned long long from, unsigned long long num, int on)
    {
        return ports.request(grants, from, num, on);
    }
    bool in(std::uint16_t port, std::uint8_t &v) { return ports.in(grants, port, v) == Access::Done; }
    bool out(std::uint16_t port, std::uint8_t v) { return ports.out(grants, port, v) == Access::Done; }
    Board &board() { return ports.board(); }
};

TEST(Board, PowerOnAndRegisterSemantics)
{
    Task t;
    ASSERT_EQ(t.request(0x500, 0x40, 1), 0);
    std::uint8_t v = 0;
    ASSERT_TRUE(t.in(0x507, v));
    EXPECT_EQ(v, 0xFF); // all inputs
    ASSERT_TRUE(t.in(0x50F, v));
    EXPECT_EQ(v, 0x00); // nothing driven from outside

    // Data reads the latch on output bits and the outside on input bits.
    ASSERT_TRUE(t.out(0x534, 0x0F));
    ASSERT_TRUE(t.out(0x538, 0x3C));
    t.board().bank(2).outside = 0xA5;
    ASSERT_TRUE(t.in(0x538, v));
    EXPECT_EQ(v, (0x3C & 0xF0) | (0xA5 & 0x0F));
    EXPECT_EQ(t.board().bank(2).latch, 0x3C);
    EXPECT_EQ(t.board().bank(2).direction, 0x0F);

    // Ports without a register read 0xFF and ignore writes.
    ASSERT_TRUE(t.out(0x510, 0x00));
    ASSERT_TRUE(t.in(0x510, v));
    EXPECT_EQ(v, 0xFF);
    EXPECT_EQ(t.ports.trace_text(), "ioperm 0x500 64 1 granted\n"
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
    Task t;
    EXPECT_EQ(t.request(0x10507, 1, 1), EINVAL);
    EXPECT_EQ(t.request(0xFFFF, 2, 1), EINVAL); // passes 0xFFFF
    EXPECT_EQ(t.request(0x500, 0, 1), EINVAL);
    EXPECT_EQ(t.request(~0ull, 2, 1), EINVAL); // wraps around
    EXPECT_EQ(t.request(0xFFFF, 1, 1), 0);
    EXPECT_TRUE(t.grants.granted(0xFFFF));
    EXPECT_FALSE(t.grants.granted(0xFFFE));

    t.ports.set_refusal(EPERM);
    EXPECT_EQ(t.request(0x507, 1, 1), EPERM);
    EXPECT_EQ(t.request(0x10507, 1, 1), EINVAL); // range is checked first
    EXPECT_EQ(t.request(0xFFFF, 1, 0), 0);       // giving access up is allowed
    EXPECT_FALSE(t.grants.granted(0xFFFF));
    EXPECT_EQ(t.ports.trace_text(), "ioperm 0x10507 1 1 denied\n"
                                    "ioperm 0xffff 2 1 denied\n"
                                    "ioperm 0x500 0 1 denied\n"
                                    "ioperm 0xffffffffffffffff 2 1 denied\n"
                                    "ioperm 0xffff 1 1 granted\n"
                                    "ioperm 0x507 1 1 denied\n"
                                    "ioperm 0x10507 1 1 denied\n"
                                    "ioperm 0xffff 1 0 granted\n");

    // A kernel without ioperm says ENOSYS to every call, looking at nothing.
    Grants g;
    EXPECT_EQ(g.request(0x10507, 1, 1, ENOSYS), ENOSYS);
    EXPECT_EQ(g.request(0x507, 1, 0, ENOSYS), ENOSYS);
    EXPECT_EQ(g.request(0x507, 1, 1, EACCES), EACCES); // any errno can be modelled
    EXPECT_FALSE(g.any());
}

TEST(Board, AccessWithoutGrantIsAFaultAndMovesNothing)
{
    Task t;
    std::uint8_t v = 0x33;
    EXPECT_FALSE(t.in(0x507, v));
    EXPECT_EQ(v, 0x33);
    EXPECT_FALSE(t.out(0x50F, 0x44));
    EXPECT_EQ(t.board().bank(1).latch, 0x00);
    ASSERT_EQ(t.request(0x507, 1, 1), 0);
    EXPECT_FALSE(t.in(0x508, v)); // the grant is for one port only
    EXPECT_EQ(t.ports.faults(), 3);
    EXPECT_EQ(t.ports.trace_text(), "fault in 0x507\n"
                                    "fault out 0x50f 0x44\n"
                                    "ioperm 0x507 1 1 granted\n"
                                    "fault in 0x508\n");
}

TEST(Board, MovedBaseAndLineView)
{
    Task t;
    Board &b = t.board();
    b.set_base(0xFFF0); // registers wrap past 0xFFFF: +0x0F is 0xFFFF, +0x34 is 0x24
    ASSERT_EQ(t.request(0, 0x10000, 1), 0);
    EXPECT_TRUE(t.out(0x0024, 0x00)); // bank 2 direction: all outputs
    EXPECT_EQ(b.bank(2).direction, 0x00);
    EXPECT_EQ(b.read(0x534), 0xFF);

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
    Task t;
    std::string seen;
    t.ports.set_listener([&seen](const std::string &line) { seen += line + "|"; });
    t.ports.set_keep_trace(false);
    t.request(0x50F, 1, 1);
    t.out(0x50F, 0x01);
    EXPECT_EQ(seen, "ioperm 0x50f 1 1 granted|out 0x50f 0x01|");
    EXPECT_EQ(t.ports.trace_text(), "");
}

// The observer sees the board as each access left it, after its trace
// line; a fault moves nothing and is not observed; a failing observer
// loses the access, with its reason.
TEST(Board, ObserverSeesTheBoardAfterEachAccess)
{
    Task t;
    std::string seen;
    bool refuse = false;
    t.ports.set_listener([&seen](const std::string &line) { seen += line + "|"; });
    t.ports.set_observer([&](const Board &board, std::string &why) {
        seen += "latch=" + std::to_string(board.bank(1).latch) + "|";
        why = "full";
        return !refuse;
    });
    std::uint8_t v = 0;
    t.request(0x50F, 1, 1);
    EXPECT_TRUE(t.out(0x50F, 0x05));
    EXPECT_TRUE(t.in(0x50F, v));
    EXPECT_FALSE(t.in(0x538, v));
    EXPECT_EQ(seen, "ioperm 0x50f 1 1 granted|out 0x50f 0x05|latch=5|in 0x50f 0x00|latch=5|fault in 0x538|");
    refuse = true;
    EXPECT_EQ(t.ports.out(t.grants, 0x50F, 0x01), Access::Lost);
    EXPECT_EQ(t.ports.error(), "full");
}

} // namespace

namespace {

const char kGood[] = "velmo-board 2\n"
                     "base=0x0600\n"
                     "bank1 direction=0x1d latch=0xa0 outside=0x08\n"
                     "bank2 direction=0xff latch=0x84 outside=0x00\n";

TEST(BoardText, HoldsBaseRegistersAndOutsideLevelsInAFixedLength)
{
    Board b;
    b.set_base(0x600);
    b.bank(1) = velmo::sim::Bank{0x1D, 0xA0, 0x08};
    b.bank(2).latch = 0x84;
    EXPECT_EQ(b.text(), kGood);
    EXPECT_EQ(Board().text().size(), Board::kTextSize);
    Board c;
    std::string why;
    ASSERT_TRUE(c.parse(b.text(), why)) << why;
    EXPECT_TRUE(c == b);

    // The three lines of a board saved by an earlier velmo-emu --state.
    ASSERT_TRUE(c.parse("velmo-board 1\n"
                        "bank1 direction=0x1d latch=0xa0 outside=0x08\n"
                        "bank2 direction=0xff latch=0x84 outside=0x00\n",
                        why))
        << why;
    EXPECT_EQ(c.base(), 0x500);
    EXPECT_EQ(c.bank(1).latch, 0xA0);
}

TEST(BoardText, DamagedTextIsRefusedAndChangesNothing)
{
    const std::string good = kGood;
    const std::string bank1 = "bank1 direction=0x1d latch=0xa0 outside=0x08";
    const std::string tail = good.substr(good.size() - 45); // the bank 2 line
    const std::pair<std::string, std::string> damaged[] = {
        {"", "empty file"},
        {"#!/bin/sh\n", "not a board file (line 1 is not 'velmo-board 2')"},
        {"velmo-board 3\n", "not a board file (line 1 is not 'velmo-board 2')"},
        {good.substr(0, good.size() - 1), "line 4 is unterminated"},
        {good.substr(0, 26), "line 3 is missing"},
        {good + "x", "unexpected text after line 4"},
        {good + "\n", "unexpected text after line 4"},
        {"velmo-board 2\nbase=0x600\n" + bank1 + "\n" + tail, "line 2 is not 'base=0xNNNN'"},
        {"velmo-board 2\nbase=0x060A\n" + bank1 + "\n" + tail, "line 2 is not 'base=0xNNNN'"},
        {"velmo-board 2\nbase=0x0600\nbank1 direction=0x1d latch=0xa0 outside=0x8\n" + tail,
         "line 3 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 2\nbase=0x0600\n" + bank1 + " \n" + tail,
         "line 3 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 2\nbase=0x0600\nbank1 direction=0x1D latch=0xa0 outside=0x08\n" + tail,
         "line 3 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {"velmo-board 2\nbase=0x0600\nbank2 direction=0x1d latch=0xa0 outside=0x08\n" + tail,
         "line 3 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'"},
        {std::string("velmo-board 2\n\0\n", 16) + bank1 + "\n" + tail, "line 2 is not 'base=0xNNNN'"},
        {"velmo-board 1\n" + bank1 + "\n" + tail + "x", "unexpected text after line 3"},
    };
    for (const auto &[text, reason] : damaged) {
        Board b;
        b.bank(2).outside = 0x42;
        const std::string before = b.text();
        std::string why;
        EXPECT_FALSE(b.parse(text, why)) << text;
        EXPECT_EQ(why, reason) << text;
        EXPECT_EQ(b.text(), before);
    }
}

} // namespace

#include "board_file.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using velmo::sim::BoardFile;

// A board file as written before the change log: line 3 driven high.
const char kOldFormatLine3High[] = "velmo-board 2\nbase=0x0500\n"
                                   "bank1 direction=0xff latch=0x00 outside=0x08\n"
                                   "bank2 direction=0xff latch=0x00 outside=0x00\n";

void write_file(const std::string &text, const std::string &to)
{
    std::FILE *f = std::fopen(to.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// Two programs' port spaces on one board file, each with all ports granted.
class SharedBoard : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmo-board-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/board";
        for (Task *t : {&a_, &b_}) {
            ASSERT_EQ(t->request(0, 0x10000, 1), 0);
        }
        std::string why;
        ASSERT_TRUE(file_a_.open(path_, why)) << why;
        ASSERT_TRUE(file_b_.open(path_, why)) << why;
        a_.ports.set_file(&file_a_);
        b_.ports.set_file(&file_b_);
    }
    void TearDown() override
    {
        std::remove(path_.c_str());
        std::remove((path_ + ".new").c_str());
        std::remove((path_ + "~").c_str());
        rmdir(dir_.c_str());
    }
    std::string file_text(const std::string &suffix = "") const
    {
        std::FILE *f = std::fopen((path_ + suffix).c_str(), "r");
        std::string text(20000, '\0');
        text.resize(f != nullptr ? std::fread(&text[0], 1, text.size(), f) : 0);
        if (f != nullptr) {
            std::fclose(f);
        }
        return text;
    }

    std::string dir_, path_;
    BoardFile file_a_, file_b_;
    Task a_, b_;
};

TEST_F(SharedBoard, EachSeesTheOthersWritesAndKeepsThem)
{
    std::uint8_t v = 0;
    ASSERT_TRUE(a_.in(0x538, v)); // a has read the whole board once
    ASSERT_TRUE(b_.out(0x538, 0x04));
    ASSERT_TRUE(a_.in(0x534, v)); // a's next read sees b's write
    ASSERT_TRUE(a_.out(0x534, 0x00));
    ASSERT_TRUE(a_.in(0x538, v));
    EXPECT_EQ(v, 0x04);
    // a's write to bank 1 keeps what b wrote since a last read.
    ASSERT_TRUE(b_.out(0x538, 0x84));
    ASSERT_TRUE(a_.out(0x50F, 0x01));
    EXPECT_EQ(file_text().substr(0, Board::kTextSize), "velmo-board 2\n"
                                                       "base=0x0500\n"
                                                       "bank1 direction=0xff latch=0x01 outside=0x00\n"
                                                       "bank2 direction=0x00 latch=0x84 outside=0x00\n");
}

TEST_F(SharedBoard, AFileReplacedByRenameIsFollowed)
{
    // As an editor or `sed -i` saves it: a new file renamed over the old.
    {
        write_file(kOldFormatLine3High, path_ + ".new");
        ASSERT_EQ(std::rename((path_ + ".new").c_str(), path_.c_str()), 0);
    }
    std::uint8_t v = 0;
    ASSERT_TRUE(a_.in(0x50F, v));
    EXPECT_EQ(v, 0x08);
    ASSERT_TRUE(b_.out(0x538, 0x01)); // and written where it is now
    EXPECT_EQ(file_text().substr(26, 90), "bank1 direction=0xff latch=0x00 outside=0x08\n"
                                          "bank2 direction=0xff latch=0x01 outside=0x00\n");

    // Damage written into the file meanwhile ends the service, clearly.
    std::FILE *f = std::fopen(path_.c_str(), "r+");
    ASSERT_NE(f, nullptr);
    std::fputs("garbage", f);
    std::fclose(f);
    EXPECT_EQ(a_.ports.in(a_.grants, 0x50F, v), velmo::sim::Access::Lost);
    EXPECT_EQ(a_.ports.error(), "board file " + path_ + ": not a board file (line 1 is not 'velmo-board 2')");
}

// Each access finds the file the path names at that moment: a write right
// after a rename over the file lands in the new one, and after a backup
// rename (mv F F~, then a new F) in the new F, the backup left as it was.
TEST_F(SharedBoard, EveryAccessFindsTheFileAtThePath)
{
    ASSERT_TRUE(a_.out(0x50F, 0x01));
    write_file(file_text(), path_ + ".new");
    ASSERT_EQ(std::rename((path_ + ".new").c_str(), path_.c_str()), 0);
    ASSERT_TRUE(a_.out(0x50F, 0x02)); // at once, not some time later
    EXPECT_EQ(file_text().substr(26, 45), "bank1 direction=0xff latch=0x02 outside=0x00\n");

    const std::string before = file_text();
    ASSERT_EQ(std::rename(path_.c_str(), (path_ + "~").c_str()), 0);
    write_file(before, path_);
    ASSERT_TRUE(b_.out(0x50F, 0x04));
    ASSERT_TRUE(a_.out(0x538, 0x80));
    EXPECT_EQ(file_text().substr(26, 90), "bank1 direction=0xff latch=0x04 outside=0x00\n"
                                          "bank2 direction=0xff latch=0x80 outside=0x00\n");
    EXPECT_EQ(file_text("~").substr(26, 45), "bank1 direction=0xff latch=0x02 outside=0x00\n");
}

// Each write that changes what the pins show is numbered and kept in the
// file, in a ring of fixed-length lines, so that a reader that falls
// behind still finds every change, or learns how many it missed. A file of
// the board's text alone, as earlier programs wrote it, is read, and gets
// its log at its first write.
TEST_F(SharedBoard, ChangesOfThePinsAreNumberedAndKept)
{
    auto line = [this](std::size_t n) { // 1 for the first
        const std::string text = file_text();
        std::size_t at = 0;
        for (std::size_t i = 1; i < n && at != std::string::npos; ++i) {
            at = text.find('\n', at) + 1;
        }
        return text.substr(at, text.find('\n', at) - at);
    };
    write_file(kOldFormatLine3High, path_);
    Board board;
    velmo::sim::Changes changes;
    std::string why;
    ASSERT_TRUE(file_b_.read_changes(0, board, changes, why)) << why;
    EXPECT_EQ(changes.last, 0u);
    EXPECT_EQ(board.line(3).level, 1);

    ASSERT_TRUE(a_.out(0x534, 0x00)); // lines 5-8 outputs: change 1
    ASSERT_TRUE(b_.out(0x538, 0x00)); // the latch as it was: no change
    ASSERT_TRUE(b_.out(0x538, 0x04)); // line 6 high: change 2
    EXPECT_EQ(file_text().size(), 13533u);
    EXPECT_EQ(line(5), "changes 0000000000000002 (the last 256 below: number, microseconds since 1970, "
                       "lines 1-8 in/out, levels)");
    EXPECT_EQ(line(6).substr(0, 17), "0000000000000001 ");
    EXPECT_EQ(line(6).substr(33), " iiiioooo 00100000");
    EXPECT_EQ(line(7).substr(33), " iiiioooo 00100100");
    EXPECT_EQ(line(8), "---------------- ---------------- -------- --------");
    ASSERT_TRUE(file_b_.read_changes(0, board, changes, why)) << why;
    ASSERT_EQ(changes.kept.size(), 2u);
    EXPECT_EQ(changes.kept[1].number, 2u);
    EXPECT_EQ(changes.kept[1].pins.show(), "board: 1:in=0 2:in=0 3:in=1 4:in=0 5:out=0 6:out=1 7:out=0 8:out=0");
    EXPECT_LE(changes.kept[0].time_us, changes.kept[1].time_us);

    for (int n = 0; n < 300; ++n) { // changes 3 to 302
        ASSERT_TRUE(a_.out(0x538, n % 2 == 0 ? 0x00 : 0x04));
    }
    ASSERT_TRUE(file_b_.read_changes(2, board, changes, why)) << why;
    EXPECT_EQ(changes.last, 302u);
    EXPECT_EQ(changes.missed, 44u);
    ASSERT_EQ(changes.kept.size(), 256u);
    EXPECT_EQ(changes.kept.front().number, 47u);
    EXPECT_EQ(file_text().size(), 13533u);

    // A line of the log damaged: its reader and the next run say where.
    std::FILE *f = std::fopen(path_.c_str(), "r+");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 116 + 106 + 45 * 52, SEEK_SET); // change 302: line 6 + 301 mod 256
    std::fputs("x", f);
    std::fclose(f);
    EXPECT_FALSE(file_b_.read_changes(301, board, changes, why));
    EXPECT_EQ(why, path_ + ": line 51 is not change 302");
    BoardFile again;
    EXPECT_FALSE(again.open(path_, why));
    EXPECT_EQ(why, path_ + ": line 51 is not a change 'NNNNNNNNNNNNNNNN NNNNNNNNNNNNNNNN iiiiiiii 00000000'; it was "
                           "left as it is");
}

// A file of the kernel's own shows a size of 0 and sets the kernel when
// written: refused, and left as it was.
TEST(BoardFileRefuses, TheKernelsOwnFiles)
{
    for (const char *path : {"/proc/sys/kernel/domainname", "/proc/self/comm", "/sys/kernel/profiling"}) {
        struct stat st {};
        if (::stat(path, &st) != 0) {
            continue;
        }
        BoardFile file;
        std::string why;
        EXPECT_FALSE(file.open(path, why)) << path;
        EXPECT_NE(why.find(": is on "), std::string::npos) << why;
        EXPECT_NE(why.find(", the kernel's own, where no board file can live"), std::string::npos) << why;
    }
}

} // namespace
