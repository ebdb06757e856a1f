// Runs something in a child process with a given standard input, and
// collects what it wrote: standard output, standard error, and a state
// descriptor (fd 3 in the child).
#ifndef VELMO_TESTS_SUPPORT_CHILD_H
#define VELMO_TESTS_SUPPORT_CHILD_H

#include <functional>
#include <string>
#include <vector>

namespace velmo::demo_test {

struct Outcome {
    int status = -1;   // exit status; 128 + signal number when killed
    std::string out;   // standard output
    std::string err;   // standard error
    std::string state; // what was written to fd 3
};

// The child runs `body`, which must not return (it execs or exits); it is
// killed after `seconds`.
Outcome run_child(const std::string &input, const std::function<void()> &body, unsigned seconds = 10);

// The child execs argv[0] with argv.
Outcome run_program(const std::vector<std::string> &argv, const std::string &input);

// Execs argv[0] with argv as run_program's child does (in qemu-i386 where
// this build's programs need it); on failure says so and exits 127.
[[noreturn]] void exec_program(const std::vector<std::string> &argv);

} // namespace velmo::demo_test

#endif
