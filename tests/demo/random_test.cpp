// Thousands of random input streams into the demo on the simulated board,
// each in a child process of its own: digits, signs, blanks, empty and
// over-long lines, NUL, control and high bytes, end of input anywhere.
// Every run must end with status 0, write nothing on standard error (no
// sanitizer report, no port instruction without access), and write only
// lines the dialogue defines. VELMO_SEED=<n> replays one stream.
#include "child.h"
#include "console.h"
#include "sim_board.h"
#include "transcripts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

// The leak check at the end of each child costs more than the run itself
// under the sanitizers; every tenth child keeps it. LeakSanitizer asks this
// hook at exit.
namespace {
int g_skip_leak_check = 0;
} // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __lsan_is_turned_off()
{
    return g_skip_leak_check;
}
#endif

namespace velmo::demo_test {
namespace {

// One answer line, mostly ones the dialogue acts on, so that runs get deep
// into every dialogue.
std::string random_answer(std::mt19937 &rng)
{
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto some = [&](const char *alphabet, int count) {
        std::string text;
        const std::string chars(alphabet);
        for (int i = 0; i < count; ++i) {
            text += chars[static_cast<std::size_t>(pick(static_cast<int>(chars.size())))];
        }
        return text;
    };
    const int kind = pick(100);
    if (kind < 30) {
        return std::to_string(pick(12) - 1); // -1 to 10
    }
    if (kind < 50) { // a menu choice
        return std::to_string(1 + pick(3));
    }
    if (kind < 58) { // beyond 32 bits, or near the limits
        const char *edges[] = {"2147483647", "-2147483648", "2147483648", "-2147483649",
                               "4294967295", "4294967297",  "99999999999"};
        return edges[pick(7)];
    }
    if (kind < 64) {
        const char *signs[] = {"+", "-", " -x", "+-1", "--1", "- 1", " +7", "\t-1x"};
        return signs[pick(8)];
    }
    if (kind < 70) {
        return some(" \t\v\f\r", pick(6));
    }
    if (kind < 76) {
        return "";
    }
    if (kind < 86) { // over-long
        return some("0123456789 +-\t", 20 + pick(40));
    }
    std::string stray; // NUL, control and high bytes among digits
    for (int i = pick(8); i >= 0; --i) {
        const int byte = pick(4) == 0 ? pick(32) : pick(2) == 0 ? 128 + pick(128) : '0' + pick(10);
        stray += static_cast<char>(byte);
    }
    return stray;
}

// A stream of answers, cut at a random point: end of input anywhere,
// also in the middle of a line.
std::string random_stream(std::mt19937 &rng)
{
    std::string stream;
    const int answers = 1 + static_cast<int>(rng() % 60u);
    for (int i = 0; i < answers; ++i) {
        stream += random_answer(rng);
        if (rng() % 16u != 0) {
            stream += '\n';
        }
    }
    return stream.substr(0, rng() % (stream.size() + 1));
}

bool is_int(const std::string &text)
{
    if (text.empty() || text.size() > 11) {
        return false;
    }
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && v >= -2147483648LL && v <= 2147483647LL && std::to_string(v) == text;
}

// Whether a line of output is one the dialogue writes; `refused` says
// whether the kernel refuses port access in this run.
bool is_dialogue_line(const std::string &line, bool refused)
{
    static const std::set<std::string> fixed = [] {
        std::set<std::string> lines = {"Velmo GPIO demo",
                                       "",
                                       kRule.substr(1, kRule.size() - 2),
                                       "Select an option from follwing menu",
                                       "1)Configure GPIO ",
                                       "2)GPIO Input",
                                       "3)GPIO Output",
                                       "-1)Exit",
                                       "Invalid option selected",
                                       kReadPrompt.substr(0, kReadPrompt.size() - 1),
                                       kWritePrompt.substr(0, kWritePrompt.size() - 1),
                                       "GPIO is-1",
                                       "VELMOGPIOInputBit Error:" + kBadGpio,
                                       "VELMOGPIOOutputBit Error:" + kBadGpio,
                                       "VELMOGPIOOutputBit Error:" + kBadValue};
        for (int k = 1; k <= 8; ++k) {
            const std::string prompt = config_prompt(k);
            lines.insert(prompt.substr(0, prompt.size() - 1));
        }
        return lines;
    }();
    if (fixed.count(line) != 0) {
        return true;
    }
    // Refused, every operation that gets past its checks fails so; the
    // configuration fails so before it checks the word.
    if (refused) {
        if (line == "VELMOGPIOConfigure Error:" + kDenied || line == "VELMOGPIOInputBit Error:" + kDenied ||
            line == "VELMOGPIOOutputBit Error:" + kDenied) {
            return true;
        }
    } else if (line == "VELMOGPIOConfigure Error:" + kBadConfig) {
        return true;
    }
    // "GPIO n = 0x0" or "0x1" for a line 1 to 8.
    if (!refused && line.size() == 12 && line.compare(0, 5, "GPIO ") == 0 && line[5] >= '1' && line[5] <= '8' &&
        line.compare(6, 5, " = 0x") == 0 && (line[11] == '0' || line[11] == '1')) {
        return true;
    }
    // "GPIO is<number>" then the level prompt.
    const std::string level = kLevelPrompt.substr(0, kLevelPrompt.size() - 1);
    return line.size() > 7 + level.size() && line.compare(0, 7, "GPIO is") == 0 &&
           line.compare(line.size() - level.size(), level.size(), level) == 0 &&
           is_int(line.substr(7, line.size() - 7 - level.size()));
}

void run_seed(unsigned seed)
{
    std::mt19937 rng(seed);
    velmo::demo_sim::BoardSetup setup;
    for (int n = 1; n <= 2; ++n) {
        setup.direction(n, static_cast<std::uint8_t>(rng()));
        setup.latch(n, static_cast<std::uint8_t>(rng()));
        setup.outside(n, static_cast<std::uint8_t>(rng()));
    }
    setup.refuse = rng() % 8u == 0;
    const std::string input = random_stream(rng);

    const Outcome o = run_child(input, [&setup, seed] {
        g_skip_leak_check = seed % 10u != 0;
        velmo::demo_sim::prepare_board(setup, -1);
        std::exit(demo_menu());
    });
    const std::string replay = "seed " + std::to_string(seed) + " (VELMO_SEED=" + std::to_string(seed) + ")";
    ASSERT_EQ(o.status, 0) << replay << "\nstderr:\n" << o.err;
    ASSERT_EQ(o.err, "") << replay;
    ASSERT_EQ(o.out.compare(0, kTitle.size() + kMenu.size(), kTitle + kMenu), 0) << replay;
    ASSERT_EQ(o.out.back(), '\n') << replay;
    std::size_t start = 0;
    while (start < o.out.size()) {
        const std::size_t end = o.out.find('\n', start);
        const std::string line = o.out.substr(start, end - start);
        ASSERT_TRUE(is_dialogue_line(line, setup.refuse)) << replay << ": line \"" << line << "\"";
        start = end + 1;
    }
}

// The seeds of one test; split so that ctest runs the parts side by side.
void run_seeds(unsigned first, unsigned count)
{
    if (const char *one = std::getenv("VELMO_SEED")) {
        if (first == 0) {
            run_seed(static_cast<unsigned>(std::strtoul(one, nullptr, 10)));
        }
        return;
    }
    for (unsigned seed = first; seed < first + count && !::testing::Test::HasFatalFailure(); ++seed) {
        run_seed(seed);
    }
}

const unsigned kSeedsPerPart = 1000;

TEST(DemoRandomInput, Seeds0To999)
{
    run_seeds(0, kSeedsPerPart);
}
TEST(DemoRandomInput, Seeds1000To1999)
{
    run_seeds(1000, kSeedsPerPart);
}
TEST(DemoRandomInput, Seeds2000To2999)
{
    run_seeds(2000, kSeedsPerPart);
}

} // namespace
} // namespace velmo::demo_test
