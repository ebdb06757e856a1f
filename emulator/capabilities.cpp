#include "capabilities.h"

#include <cerrno>
#include <cstdint>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

constexpr std::uint32_t kRawIo = 1u << (CAP_SYS_RAWIO % 32);

bool get_sets(__user_cap_header_struct &header, __user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3])
{
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets) == 0;
}

} // namespace

int drop_raw_io()
{
    __user_cap_header_struct header{};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (!get_sets(header, sets)) {
        return errno;
    }
    __user_cap_data_struct &word = sets[CAP_SYS_RAWIO / 32];
    const bool may_set_bounds = (sets[CAP_SETPCAP / 32].effective & (1u << (CAP_SETPCAP % 32))) != 0;

    if (prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO, 0, 0, 0) == 1 && may_set_bounds &&
        prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0) {
        return errno;
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_RAWIO, 0, 0) == 1 &&
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_SYS_RAWIO, 0, 0) != 0) {
        return errno;
    }
    if (((word.effective | word.permitted | word.inheritable) & kRawIo) != 0) {
        word.effective &= ~kRawIo;
        word.permitted &= ~kRawIo;
        word.inheritable &= ~kRawIo;
        if (syscall(SYS_capset, &header, sets) != 0) {
            return errno;
        }
    }
    // What the kernel holds now, not what was asked.
    if (!get_sets(header, sets)) {
        return errno;
    }
    const bool left = ((word.effective | word.permitted | word.inheritable) & kRawIo) != 0 ||
                      prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_RAWIO, 0, 0) == 1 ||
                      (may_set_bounds && prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO, 0, 0, 0) == 1);
    return left ? EPERM : 0;
}

} // namespace velmo::emu
