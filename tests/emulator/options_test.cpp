// velmo-emu's command line, including the mistakes it must refuse.
#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using velmo::emu::Options;

bool parse(std::vector<const char *> args, Options &o, std::string &error)
{
    args.insert(args.begin(), "velmo-emu");
    return velmo::emu::parse_options(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(Options, EveryOptionThenTheProgramAndItsOwnOptions)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--trace", "t.txt", "--vcd", "w.vcd", "--board", "b.txt", "--show", "--line", "3=1", "--line",
                       "8=0", "--base", "0x600", "--deny", "prog", "--show", "-x"},
                      o, error))
        << error;
    EXPECT_EQ(o.trace_file, "t.txt");
    EXPECT_EQ(o.vcd_file, "w.vcd");
    EXPECT_EQ(o.board_file, "b.txt");
    EXPECT_TRUE(o.show);
    ASSERT_EQ(o.lines.size(), 2u);
    EXPECT_EQ(o.lines[0].line, 3);
    EXPECT_EQ(o.lines[0].level, 1);
    EXPECT_EQ(o.lines[1].line, 8);
    EXPECT_EQ(o.lines[1].level, 0);
    EXPECT_TRUE(o.has_base);
    EXPECT_EQ(o.base, 0x600);
    EXPECT_TRUE(o.deny);
    EXPECT_EQ(o.command, (std::vector<std::string>{"prog", "--show", "-x"}));

    // A value after '=' as well; --version stops the parsing as --help does.
    Options joined;
    ASSERT_TRUE(parse({"--line=3=1", "--base=0x600", "--vcd=w.vcd", "prog"}, joined, error)) << error;
    EXPECT_EQ(joined.lines.size(), 1u);
    EXPECT_EQ(joined.base, 0x600);
    EXPECT_EQ(joined.vcd_file, "w.vcd");
    Options version;
    ASSERT_TRUE(parse({"--show", "--version"}, version, error));
    EXPECT_TRUE(version.version);

    Options plain;
    ASSERT_TRUE(parse({"--", "--odd-name", "a"}, plain, error));
    EXPECT_EQ(plain.command, (std::vector<std::string>{"--odd-name", "a"}));
    EXPECT_FALSE(plain.show || plain.deny || plain.has_base);
    EXPECT_TRUE(plain.trace_file.empty());
    EXPECT_TRUE(plain.vcd_file.empty());
    EXPECT_TRUE(plain.board_file.empty());

    // Decimal, or hex after 0x (padded as a board file writes it, or not).
    const std::vector<std::pair<const char *, int>> ports = {
        {"1280", 0x500},   {"0", 0},         {"65479", 0xFFC7},  {"0x500", 0x500},
        {"0x0500", 0x500}, {"0X50f", 0x50F}, {"0xFFC7", 0xFFC7},
    };
    for (const auto &[text, port] : ports) {
        Options base;
        ASSERT_TRUE(parse({"--base", text, "p"}, base, error)) << text;
        EXPECT_EQ(base.base, port) << text;
    }
}

TEST(Options, RefusesBadCommandLines)
{
    const std::vector<std::vector<const char *>> bad = {
        {},
        {"--show"},
        {"--trace"},
        {"--board"},
        {"--board", "", "p"},
        {"--vcd"},
        {"--vcd", "", "p"},
        {"--line", "9=1", "p"},
        {"--line", "0=1", "p"},
        {"--line", "3=2", "p"},
        {"--line", "3", "p"},
        {"--line", "3=1x", "p"},
        {"--base", "0x10000", "p"},
        {"--base", "-1", "p"},
        {"--base", "0x5zz", "p"},
        {"--base", "", "p"},
        {"--base", "0500", "p"}, // octal to strtoul
        {"--base", "00", "p"},
        {"--base", " 0x500", "p"},
        {"--base", "0x500 ", "p"},
        {"--base", "+1280", "p"},
        {"--base", "0x", "p"},
        {"--base", "1e3", "p"},
        {"--base", "65536", "p"},
        {"--base", "0xfff8", "p"}, // the block would wrap round to 0x0007
        {"--base", "0xffc8", "p"},
        {"--base", "65535", "p"},
        {"--base", "99999999999999999999", "p"},
        {"--bogus", "p"},
        {"--line", "03=1", "p"},
        {"--line", "3=1", "--line", "3=0", "p"},
        {"--show=1", "p"},
    };
    for (const auto &args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
