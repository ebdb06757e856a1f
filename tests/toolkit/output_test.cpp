#include "output.h"

#include "child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using velmo::toolkit::OutputFile;
using velmo::toolkit::OutputRules;

bool starts_with_ours(const char *head, std::size_t size)
{
    return size >= 4 && std::string(head, 4) == "ours";
}

class OpenOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/velmo_output_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        rules_.holds = "a record";
        rules_.ours = starts_with_ours;
        rules_.others = {{at("board"), "board file"}, {at("program"), "program"}};
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    static void put(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
    static std::string text_of(const std::string &path)
    {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    // The reason open_output gives for path, "" when it takes it.
    std::string refusal(const std::string &path)
    {
        OutputFile file;
        std::string why;
        return velmo::toolkit::open_output(path, rules_, file, why) ? "" : why;
    }

    std::string dir_;
    OutputRules rules_;
};

// Each path that will not do is refused with its reason, and left byte
// for byte; nothing is left behind where there was nothing.
TEST_F(OpenOutput, RefusesWhatItMustNotWriteAndTouchesNothing)
{
    ASSERT_EQ(mkdir(at("directory").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    put(at("source.c"), "int main(void) { return 0; }\n");
    put(at("board"), "");       // empty: only its identity refuses it
    put(at("program"), "ours"); // looks like ours, but is the program
    ASSERT_EQ(symlink("nowhere/out", at("dangling").c_str()), 0);
    ASSERT_EQ(symlink("board", at("board-link").c_str()), 0);

    EXPECT_EQ(refusal(at("directory")), at("directory") + ": is a directory");
    EXPECT_EQ(refusal(at("fifo")), at("fifo") + ": is a FIFO");
    EXPECT_EQ(refusal(at("source.c")), at("source.c") + ": holds something other than a record; it was left as it is");
    EXPECT_EQ(refusal(at("dangling")),
              at("dangling") + ": is a symbolic link to nothing (no file is created through one)");
    EXPECT_EQ(refusal(at("board-link")), at("board-link") + ": is the board file");
    EXPECT_EQ(refusal(at("program")), at("program") + ": is the program");
    EXPECT_EQ(refusal(at("missing/out")), at("missing/out") + ": No such file or directory");
    const bool had_port = access("/dev/port", F_OK) == 0; // none in a container
    EXPECT_EQ(refusal("/dev/port"), "/dev/port: is /dev/port, the machine's I/O ports; no output is written there");
    EXPECT_EQ(refusal("/dev/mem"), "/dev/mem: is /dev/mem, the machine's memory; no output is written there");
    EXPECT_EQ(refusal("/dev/../dev/port"),
              "/dev/../dev/port: is /dev/port, the machine's I/O ports; no output is written there");

    EXPECT_EQ(access("/dev/port", F_OK) == 0, had_port) << "/dev/port was created";
    EXPECT_EQ(text_of(at("source.c")), "int main(void) { return 0; }\n");
    EXPECT_EQ(text_of(at("board")), "");
    EXPECT_EQ(text_of(at("program")), "ours");
    EXPECT_NE(access(at("nowhere").c_str(), F_OK), 0);
    EXPECT_NE(access(at("missing").c_str(), F_OK), 0);

    // A missing path that turns out to be another file of the run once
    // created is refused, and the file it created removed.
    rules_.others.push_back({at("later"), "trace file"});
    EXPECT_EQ(refusal(at("later")), at("later") + ": is the trace file");
    EXPECT_NE(access(at("later").c_str(), F_OK), 0);

    // The real devices under any name: by device number (where this
    // machine lets a test make a device node).
    if (mknod(at("port").c_str(), S_IFCHR | 0600, makedev(1, 4)) == 0) {
        EXPECT_EQ(refusal(at("port")),
                  at("port") + ": is /dev/port, the machine's I/O ports; no output is written there");
    }
    if (mknod(at("mem").c_str(), S_IFCHR | 0600, makedev(1, 1)) == 0) {
        EXPECT_EQ(refusal(at("mem")), at("mem") + ": is /dev/mem, the machine's memory; no output is written there");
    }
}

TEST_F(OpenOutput, TakesANewFileAnEmptyOneItsOwnAndADevice)
{
    put(at("empty"), "");
    put(at("own"), "ours, from before\n");
    EXPECT_EQ(refusal(at("new")), "");
    EXPECT_EQ(access(at("new").c_str(), F_OK), 0);
    EXPECT_EQ(refusal(at("empty")), "");
    EXPECT_EQ(refusal(at("own")), "");
    EXPECT_EQ(text_of(at("own")), "ours, from before\n"); // emptied only when asked
    EXPECT_EQ(refusal("/dev/null"), "");
}

// A record the file takes only in part (here at the file size limit) is
// cut off again: the file ends after its last whole record.
TEST_F(OpenOutput, TakesBackAHalfWrittenRecord)
{
    const std::string path = at("out");
    const velmo::demo_test::Outcome outcome = velmo::demo_test::run_child("", [&] {
        OutputFile file;
        std::string why;
        if (!velmo::toolkit::open_output(path, rules_, file, why) || file.append("ours 1\n") != 0) {
            _exit(2);
        }
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10, 10};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(file.append("ours 2\n") == EFBIG ? 0 : 3);
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(text_of(path), "ours 1\n");
}

} // namespace
