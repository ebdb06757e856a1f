// The port traffic of every case the benchmark times, counted by the
// benchmark's own port primitives: what each operation must cost in access
// requests (ioperm) and port accesses, whatever the line or word.
#include "ops.h"
#include "port_count.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(OpCounts, EachCaseMakesItsAccessesAndNoMore)
{
    for (const velmo::bench::Op &op : velmo::bench::kOps) {
        SCOPED_TRACE(op.name);
        velmo::count::set_refuse(op.refused);
        velmo::count::reset();
        const unsigned calls = 64; // every line, level and word pattern the cases use
        for (unsigned i = 0; i < calls; ++i) {
            ASSERT_EQ(op.run(i), op.result) << "call " << i;
        }
        const velmo::count::Counts c = velmo::count::counts();
        EXPECT_EQ(c.requests, op.requests * calls);
        EXPECT_EQ(c.accesses, op.accesses * calls);
        velmo::count::set_refuse(false);
    }
}

TEST(OpCounts, CasesCoverTheOperationsAndTheirFailures)
{
    // configure 4 and 4, read 1 and 1, drive 2 and 2; argument failures
    // touch nothing except configure's, which reads both directions first.
    struct Want {
        const char *name;
        unsigned long requests, accesses;
    };
    const Want want[] = {{"init", 0, 0},          {"configure", 4, 4},         {"read", 1, 1},
                         {"drive", 2, 2},         {"configure_bad_word", 2, 2}, {"read_bad_line", 0, 0},
                         {"drive_bad_line", 0, 0}, {"drive_bad_level", 0, 0}};
    for (const Want &w : want) {
        bool found = false;
        for (const velmo::bench::Op &op : velmo::bench::kOps) {
            if (std::strcmp(op.name, w.name) == 0) {
                found = true;
                EXPECT_EQ(op.requests, w.requests) << w.name;
                EXPECT_EQ(op.accesses, w.accesses) << w.name;
            }
        }
        EXPECT_TRUE(found) << w.name;
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
