// The command-line words every tool shares: what each parser takes, and the
// exact refusal for what it does not.
#include "cli.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using velmo::cli::Usage;

// The parser's answer as text: "=VALUE" when taken, the refusal otherwise.
std::string answer(const std::function<std::string()> &parse)
{
    try {
        return "=" + parse();
    } catch (const Usage &usage) {
        return usage.what;
    }
}

std::string levels(const std::vector<std::string> &words)
{
    velmo::cli::LineLevels list;
    std::string text;
    for (const std::string &word : words) {
        const auto &level = list.add(word);
        text += std::to_string(level.line) + ":" + std::to_string(level.level) + " ";
    }
    return text;
}

std::string taken(velmo::cli::Words &words, const char *name)
{
    std::string value;
    return words.value(name, value) ? value : "(not taken)";
}

TEST(Cli, EachParserTakesItsWordsAndRefusesTheOthersSayingWhy)
{
    using namespace velmo::cli;
    const std::string zero = "a leading zero is octal to some readers: write ";
    const struct {
        std::function<std::string()> parse;
        std::string expected;
    } cases[] = {
        {[] { return std::to_string(parse_line("8")); }, "=8"},
        {[] { return std::to_string(parse_line("03")); }, "bad line '03' (" + zero + "3)"},
        {[] { return std::to_string(parse_line("0")); }, "bad line '0' (lines are 1 to 8)"},
        {[] { return std::to_string(parse_line(" 3")); }, "bad line ' 3' (lines are 1 to 8)"},
        {[] { return std::to_string(parse_line("+3")); }, "bad line '+3' (lines are 1 to 8)"},
        {[] { return std::to_string(parse_line("0x3")); }, "bad line '0x3' (lines are 1 to 8)"},

        {[] {
             return levels({"6=1", "1=0"});
         },
         "=6:1 1:0 "},
        {[] { return levels({"03=1"}); }, "bad line '03' (" + zero + "3)"},
        {[] {
             return levels({"6=1", "6=0"});
         },
         "line 6 is named twice"},
        {[] { return levels({"6=01"}); }, "bad level in '6=01' (0 or 1)"},
        {[] { return levels({"6"}); }, "expected LINE=VALUE, got '6'"},

        {[] { return std::to_string(parse_port("0x0500")); }, "=1280"},
        {[] { return std::to_string(parse_port("65535")); }, "=65535"},
        {[] { return std::to_string(parse_port("0")); }, "=0"},
        {[] { return std::to_string(parse_port("0500")); }, "bad port '0500' (" + zero + "500, or 0x500 for hex)"},
        {[] { return std::to_string(parse_port("0x10000")); }, "bad port '0x10000' (0 to 0xffff, decimal or 0x hex)"},
        {[] { return std::to_string(parse_port("-1")); }, "bad port '-1' (0 to 0xffff, decimal or 0x hex)"},
        {[] { return std::to_string(parse_port("0x500 ")); }, "bad port '0x500 ' (0 to 0xffff, decimal or 0x hex)"},

        {[] { return std::to_string(parse_word("0xFF")); }, "=255"},
        {[] { return std::to_string(parse_word("010")); },
         "bad configuration word '010' (" + zero + "10, or 0x10 for hex)"},
        {[] { return std::to_string(parse_word("256")); }, "bad configuration word '256' (0 to 255, or 0x00 to 0xff)"},

        {[] { return std::to_string(parse_number("12", 1, 99, "--count wants 1 to 99")); }, "=12"},
        {[] { return std::to_string(parse_number("012", 1, 99, "--count wants 1 to 99")); },
         "--count wants 1 to 99, not '012' (" + zero + "12)"},
        {[] { return std::to_string(parse_number("100", 1, 99, "--count wants 1 to 99")); },
         "--count wants 1 to 99, not '100'"},

        {[] { return std::to_string(parse_timeout("--timeout", "0.5")); }, "=500000000"},
        {[] { return std::to_string(parse_timeout("--timeout", "2s")); }, "=2000000000"},
        {[] { return std::to_string(parse_timeout("--timeout", "10ms")); }, "=10000000"},
        {[] { return std::to_string(parse_timeout("--timeout", "500us")); }, "=500000"},
        {[] { return std::to_string(parse_timeout("--timeout", "1.5ms")); }, "=1500000"},
        {[] { return std::to_string(parse_timeout("--timeout", "86400")); }, "=86400000000000"},
        {[] { return std::to_string(parse_timeout("--timeout", "05")); },
         "--timeout wants seconds (e.g. 5 or 0.5), not '05' (" + zero + "5)"},
        {[] { return std::to_string(parse_timeout("--timeout", "00.5s")); },
         "--timeout wants seconds (e.g. 5 or 0.5), not '00.5s' (" + zero + "0.5s)"},
        {[] { return std::to_string(parse_timeout("--timeout", "5m")); },
         "--timeout wants seconds (e.g. 5 or 0.5), not '5m'"},
        {[] { return std::to_string(parse_timeout("--timeout", "ms")); },
         "--timeout wants seconds (e.g. 5 or 0.5), not 'ms'"},
        {[] { return std::to_string(parse_timeout("--timeout", "99999999999999999999")); },
         "--timeout wants seconds (e.g. 5 or 0.5), not '99999999999999999999'"},
        {[] { return std::to_string(parse_timeout("--timeout", "86400.000000001")); },
         "--timeout is at most 86400 seconds, not '86400.000000001'"},
        {[] { return std::to_string(parse_duration("0.5", 1000000, 1000000, 2000000, "--interval wants 1 to 2 ms")); },
         "--interval wants 1 to 2 ms, not '0.5'"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(answer(c.parse), c.expected);
    }
}

TEST(Cli, OptionsTakeTheirValueEitherWayAndSayWhatIsMissing)
{
    velmo::cli::Words words({"--base=0x600", "--base", "0x700", "--show", "--line==1", "--show=1", "--trace"});
    EXPECT_EQ(taken(words, "--bas"), "(not taken)");
    EXPECT_EQ(taken(words, "--base"), "0x600");
    EXPECT_EQ(taken(words, "--base"), "0x700");
    EXPECT_TRUE(words.flag("--show"));
    EXPECT_EQ(taken(words, "--line"), "=1");
    EXPECT_EQ(answer([&] { return std::to_string(words.flag("--show")); }), "--show takes no value, not '--show=1'");
    words.take();
    EXPECT_EQ(answer([&] { return taken(words, "--trace"); }), "--trace needs a value");

    velmo::cli::Words other({"--frob=1", "x"});
    EXPECT_EQ(answer([&] {
                  other.unknown_option();
                  return std::string();
              }),
              "unknown option '--frob'");
}

TEST(Cli, HelpVersionAndRefusalsAreTheSameInEveryProgram)
{
    const velmo::cli::Program program{"velmo-x", "Usage: velmo-x\n", 125};
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    velmo::cli::Words words({"--version", "-h", "--help", "x"});
    EXPECT_TRUE(velmo::cli::help_or_version(program, words, out));
    EXPECT_TRUE(velmo::cli::help_or_version(program, words, out));
    EXPECT_TRUE(velmo::cli::help_or_version(program, words, out));
    EXPECT_FALSE(velmo::cli::help_or_version(program, words, out));
    EXPECT_EQ(velmo::cli::refuse(program, Usage{"no PROGRAM given"}, out), 125);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), std::string("velmo-x ") + velmo::cli::version() +
                                           "\nUsage: velmo-x\nUsage: velmo-x\n"
                                           "velmo-x: no PROGRAM given\nTry 'velmo-x --help'.\n");
    std::free(text);
}

} // namespace
