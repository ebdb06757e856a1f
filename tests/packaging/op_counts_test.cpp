// The port traffic of every case the benchmark times, counted by the
// benchmark's own port primitives: configure 4 requests and 4 accesses,
// read 1 and 1, drive 2 and 2; an argument failure touches nothing except
// configure's bad word, which reads both directions first; a refusal stops
// at the first request, and only a refusal asks whether the process holds
// CAP_SYS_RAWIO.
#include "ops.h"
#include "port_count.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

namespace {

struct Want {
    const char *name;
    unsigned long requests, accesses, asked; // per call
};

const Want kWant[] = {
    {"init", 0, 0, 0},           {"configure", 4, 4, 0},          {"read", 1, 1, 0},
    {"drive", 2, 2, 0},          {"configure_bad_word", 2, 2, 0}, {"read_bad_line", 0, 0, 0},
    {"drive_bad_line", 0, 0, 0}, {"drive_bad_level", 0, 0, 0},    {"configure_refused", 1, 0, 1},
    {"read_refused", 1, 0, 1},   {"drive_refused", 1, 0, 1},
};

TEST(OpCounts, EachCaseMakesItsAccessesAndNoMore)
{
    ASSERT_EQ(std::size(velmo::bench::kOps), std::size(kWant));
    for (const Want &want : kWant) {
        SCOPED_TRACE(want.name);
        const velmo::bench::Op *op = nullptr;
        for (const velmo::bench::Op &candidate : velmo::bench::kOps) {
            if (std::string(candidate.name) == want.name) {
                op = &candidate;
            }
        }
        ASSERT_NE(op, nullptr);
        velmo::count::set_refuse(op->refused);
        velmo::count::reset();
        const unsigned calls = 64; // every line, level and word pattern the cases use
        for (unsigned i = 0; i < calls; ++i) {
            ASSERT_EQ(op->run(i), op->result) << "call " << i;
        }
        const velmo::count::Counts c = velmo::count::counts();
        EXPECT_EQ(c.requests, want.requests * calls);
        EXPECT_EQ(c.accesses, want.accesses * calls);
        EXPECT_EQ(c.asked, want.asked * calls);
        velmo::count::set_refuse(false);
    }
}

TEST(OpCounts, AMessageIsCopiedWithItsNulAndNothingPast)
{
    // A long message, then a shorter one: the shorter ends at its own NUL
    // and the tail of the longer stays behind it, untouched.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(VelmoGPIOConfig(300), -1);
    EXPECT_EQ(VelmoGPIOInputBit(0, nullptr), -1);
    const char longer[] = "Invalid configuration value specified.";
    const char shorter[] = "Invalid GPIO number specified.";
    EXPECT_STREQ(buffer, shorter);
    EXPECT_STREQ(buffer + sizeof shorter, longer + sizeof shorter);
    EXPECT_EQ(buffer[sizeof longer], '#');
    EXPECT_EQ(buffer[sizeof buffer - 1], '#');
}

} // namespace
