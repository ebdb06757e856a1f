// The library with the real port primitives, where the kernel refuses port
// access (any unprivileged process; every machine without a board here:
// this one's kernel has no ioperm at all, ENOSYS). It must say why, as the
// kernel here answers, and never run a port instruction: done naively,
// `in` without access kills the process.
#include "edition.h"
#include "velmo_port.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using velmo::test::kernel_answer;

TEST(RealPorts, RefusedAccessSaysWhy)
{
    const velmo::test::KernelAnswer here = kernel_answer();
    if (here.granted) {
        GTEST_SKIP() << "port access is granted here; tests never touch real hardware";
    }
    char *text = nullptr;
    int level = 42;
    EXPECT_EQ(OP_INIT(), 0);
    EXPECT_EQ(OP_CONFIG(0x0F), -1);
    KVNGetLastError(&text);
    EXPECT_EQ(std::string(text), refused_message(here.why, 0x507, here.error));

    buffer[0] = '\0';
    EXPECT_EQ(OP_INPUT(3, &level), -1);
    EXPECT_EQ(std::string(text), refused_message(here.why, 0x50F, here.error));
    EXPECT_EQ(level, 42);

    buffer[0] = '\0';
    EXPECT_EQ(OP_OUTPUT(6, 1), -1);
    EXPECT_EQ(std::string(text), refused_message(here.why, 0x538, here.error));

    EXPECT_EQ(ReadIO(0x507), 0xFF);
    WriteIO(0x50F, 0x12);

    EXPECT_EQ(OP_OUTPUT(6, 9), -1); // checks still come first
    EXPECT_STREQ(text, MSG_BAD_VALUE);
}

TEST(RealPorts, ThisKernelHasNoIoperm)
{
    const velmo::test::KernelAnswer here = kernel_answer();
    if (here.granted || here.error != ENOSYS) {
        GTEST_SKIP() << "this kernel has ioperm (errno " << here.error << ")";
    }
    int level = 0;
    EXPECT_EQ(OP_INPUT(8, &level), -1);
#ifdef VELMOGPIO_DEMO_EDITION
    EXPECT_STREQ(buffer, "No I/O port access in this kernel.");
#else
    EXPECT_STREQ(buffer, "I/O port 0x538: this kernel has no port access (ioperm not implemented).");
#endif
}

// The capability primitive against the kernel's own account of the
// effective set, with the capability and, in a child, without it.
TEST(RealPorts, CapabilityAnswerFollowsTheEffectiveSet)
{
    EXPECT_EQ(velmo_port_has_rawio(), velmo::test::holds_rawio() ? 1 : 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, sets) != 0) {
            _exit(2);
        }
        sets[0].effective &= ~(1u << CAP_SYS_RAWIO); // still permitted
        if (syscall(SYS_capset, &header, sets) != 0 || velmo::test::holds_rawio()) {
            _exit(3);
        }
        _exit(velmo_port_has_rawio() == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
