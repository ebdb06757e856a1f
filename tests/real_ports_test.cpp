// The library with the real port primitives, where the kernel refuses port
// access (any unprivileged process; every machine without a board here).
// It must report the refusal and never run a port instruction: done
// naively, `in` without access kills the process.
#include "edition.h"

#include <gtest/gtest.h>

#include <sys/io.h>

namespace {

TEST(RealPorts, RefusedAccessFailsCleanly)
{
    if (ioperm(0x500, 0x40, 1) == 0) {
        ioperm(0x500, 0x40, 0);
        GTEST_SKIP() << "port access is granted here; tests never touch real hardware";
    }
    char *text = nullptr;
    int level = 42;
    EXPECT_EQ(OP_INIT(), 0);
    EXPECT_EQ(OP_CONFIG(0x0F), -1);
    KVNGetLastError(&text);
    EXPECT_STREQ(text, MSG_DENIED);

    buffer[0] = '\0';
    EXPECT_EQ(OP_INPUT(3, &level), -1);
    EXPECT_STREQ(text, MSG_DENIED);
    EXPECT_EQ(level, 42);

    buffer[0] = '\0';
    EXPECT_EQ(OP_OUTPUT(6, 1), -1);
    EXPECT_STREQ(text, MSG_DENIED);

    EXPECT_EQ(ReadIO(0x507), 0xFF);
    WriteIO(0x50F, 0x12);

    EXPECT_EQ(OP_OUTPUT(6, 9), -1); // checks still come first
    EXPECT_STREQ(text, MSG_BAD_VALUE);
}

} // namespace
