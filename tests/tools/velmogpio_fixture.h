// velmogpio run in process on the simulated board: its exit status and
// what it wrote, and the check that a command line is a usage error.
#ifndef VELMO_TESTS_TOOLS_VELMOGPIO_FIXTURE_H
#define VELMO_TESTS_TOOLS_VELMOGPIO_FIXTURE_H

#include "sim_fixture.h"

#include "velmogpio_cli.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct Result {
    int status;
    std::string out;
    std::string err;
};

class VelmogpioFixture : public SimBoard {
protected:
    // velmogpio with args (after the program's name).
    static Result run_tool(std::vector<const char *> args)
    {
        args.insert(args.begin(), "velmogpio");
        char *out_text = nullptr, *err_text = nullptr;
        size_t out_size = 0, err_size = 0;
        std::FILE *out = open_memstream(&out_text, &out_size);
        std::FILE *err = open_memstream(&err_text, &err_size);
        const int status = velmogpio_main(static_cast<int>(args.size()), args.data(), out, err);
        std::fclose(out);
        std::fclose(err);
        Result r{status, out_text, err_text};
        std::free(out_text);
        std::free(err_text);
        return r;
    }

    // Each command line is refused with status 2, its reason and the hint
    // on stderr, nothing on stdout, and no port touched.
    using UsageCases = std::vector<std::pair<std::vector<const char *>, std::string>>;
    void expect_usage_errors(const UsageCases &cases, const std::vector<const char *> &before = {})
    {
        for (const auto &[args, what] : cases) {
            std::vector<const char *> line = before;
            line.insert(line.end(), args.begin(), args.end());
            const Result r = run_tool(line);
            EXPECT_EQ(r.status, 2) << what;
            EXPECT_EQ(r.out, "") << what;
            EXPECT_EQ(r.err, "velmogpio: " + what + "\nTry 'velmogpio --help'.\n");
        }
        EXPECT_EQ(ports().trace_text(), "");
    }
};

#endif
