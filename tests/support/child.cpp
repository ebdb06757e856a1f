#include "child.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::demo_test {

namespace {

int make_file(const char *name)
{
    const int fd = memfd_create(name, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
    }
    return fd;
}

std::string read_back(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t n = 0;
    ::lseek(fd, 0, SEEK_SET);
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

} // namespace

Outcome run_child(const std::string &input, const std::function<void()> &body, unsigned seconds)
{
    // Standard input comes from a file, so the child never waits on us.
    const int in = make_file("stdin");
    if (::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        throw std::runtime_error("cannot write the child's input");
    }
    ::lseek(in, 0, SEEK_SET);
    const int files[3] = {make_file("stdout"), make_file("stderr"), make_file("state")};

    std::fflush(nullptr); // nothing buffered here may come out twice
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(files[0], 1);
        ::dup2(files[1], 2);
        ::dup2(files[2], 3);
        for (int fd : {in, files[0], files[1], files[2]}) {
            if (fd > 3) {
                ::close(fd);
            }
        }
        // A program that writes without end is stopped at 16 MiB (SIGXFSZ)
        // or after `seconds` (SIGALRM).
        const rlimit most = {16u << 20, 16u << 20};
        ::setrlimit(RLIMIT_FSIZE, &most);
        ::alarm(seconds);
        body();
        ::_exit(127);
    }
    ::close(in);
    int wait_status = 0;
    while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    Outcome outcome;
    outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    outcome.out = read_back(files[0]);
    outcome.err = read_back(files[1]);
    outcome.state = read_back(files[2]);
    return outcome;
}

void exec_program(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
#ifdef VELMO_TEST_LAUNCHER
    // Where this build's programs need an emulator (qemu-i386 for a
    // 32-bit build on a kernel without 32-bit support), start them in it.
    static char launcher[] = VELMO_TEST_LAUNCHER;
    if (launcher[0] != '\0') {
        args.push_back(launcher);
    }
#endif
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
}

Outcome run_program(const std::vector<std::string> &argv, const std::string &input)
{
    return run_child(input, [&argv] { exec_program(argv); });
}

} // namespace velmo::demo_test
