#include "capabilities.h"

#include <cerrno>
#include <cstdint>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

constexpr std::uint32_t bit(int cap)
{
    return 1u << (cap % 32);
}

bool get_sets(__user_cap_header_struct &header, __user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3])
{
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets) == 0;
}

bool held(const __user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3], int cap)
{
    const __user_cap_data_struct &word = sets[cap / 32];
    return ((word.effective | word.permitted | word.inheritable) & bit(cap)) != 0;
}

} // namespace

int drop_capabilities(std::initializer_list<int> caps)
{
    __user_cap_header_struct header{};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (!get_sets(header, sets)) {
        return errno;
    }
    const bool may_set_bounds = (sets[CAP_SETPCAP / 32].effective & bit(CAP_SETPCAP)) != 0;
    bool change = false;
    for (const int cap : caps) {
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1 && may_set_bounds && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            return errno;
        }
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1 &&
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, cap, 0, 0) != 0) {
            return errno;
        }
        if (held(sets, cap)) {
            __user_cap_data_struct &word = sets[cap / 32];
            word.effective &= ~bit(cap);
            word.permitted &= ~bit(cap);
            word.inheritable &= ~bit(cap);
            change = true;
        }
    }
    if (change && syscall(SYS_capset, &header, sets) != 0) {
        return errno;
    }
    // What the kernel holds now, not what was asked.
    if (!get_sets(header, sets)) {
        return errno;
    }
    for (const int cap : caps) {
        if (held(sets, cap) || prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1 ||
            (may_set_bounds && prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1)) {
            return EPERM;
        }
    }
    return 0;
}

int give_up_privileges(const char *&what)
{
    what = "give up CAP_SYS_RAWIO";
    if (const int error = drop_capabilities({CAP_SYS_RAWIO}); error != 0) {
        return error;
    }
    what = "set no_new_privs";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return errno;
    }
    what = "make itself undumpable";
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return errno;
    }
    return 0;
}

int drop_program_capabilities()
{
    return drop_capabilities({CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_MODULE});
}

} // namespace velmo::emu
