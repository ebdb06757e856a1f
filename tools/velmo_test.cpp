// velmo-test: runs programs' tests on the virtual board, each a scenario
// file (scenario.h), and reports each as PASS or FAIL, with a JUnit file
// for CI if asked.
//
// Every scenario file is read and checked first; one that will not do
// stops everything before a program runs (status 2). Each scenario then
// runs in a child of its own (scenario_run.h), --jobs at a time, with a
// folder of its own for its program's output and waveform, removed when
// it ends.
#include "cli.h"
#include "clock.h"
#include "output.h"
#include "scenario.h"
#include "scenario_run.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using velmo::cli::Usage;
using velmo::cli::Words;

const char kUsage[] =
    "Usage: velmo-test [--junit FILE] [--vcd-dir DIR] [--jobs N] [--seed N] [--clock CLOCK] SCENARIO...\n"
    "Runs each scenario file's program on a virtual Velmo board, drives its lines and\n"
    "checks what it does, on the run's clock; prints PASS or FAIL for each.\n"
    "\n"
    "  --junit FILE   write a JUnit XML report to FILE\n"
    "  --vcd-dir DIR  keep the waveform (VCD) of each failed scenario in DIR\n"
    "  --jobs N       run N scenarios side by side (default 1)\n"
    "  --seed N       the seed of contact bounces (default: drawn, and printed)\n"
    "  --clock CLOCK  every scenario's clock, over its file's: virtual (the default:\n"
    "                 modelled time, exact), board or real (steps in real time)\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status: 0 every scenario passed, 1 one failed, 2 bad usage or a bad\n"
    "scenario file (nothing was run).\n";

const velmo::cli::Program kProgram{"velmo-test", kUsage, velmo::cli::kExitUsage};

// Above the scenario's own limit, the child that runs it is killed from
// here: velmo-test itself never hangs.
constexpr std::int64_t kGraceNs = 10LL * 1000000000LL;

struct Options {
    std::string junit;
    std::string vcd_dir;
    long jobs = 1;
    std::uint64_t seed = 0;
    bool has_seed = false;
    bool has_clock = false;
    velmo::test::Clock clock = velmo::test::Clock::Virtual;
    std::vector<std::string> files;
};

struct Outcome {
    bool done = false;
    bool passed = false;
    std::string reason;
    double seconds = 0;
    std::string stdout_text;
    std::string stderr_text;
    std::string vcd; // where it was kept
};

struct Running {
    pid_t pid = 0;
    std::size_t index = 0;
    std::string dir;
    std::int64_t started = 0;
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void remove_dir(const std::string &dir)
{
    for (const char *name : {"result", "stdout", "stderr", "run.vcd", "board"}) {
        ::unlink((dir + "/" + name).c_str());
    }
    ::rmdir(dir.c_str());
}

std::string safe_name(const std::string &name)
{
    std::string out;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        out += ok ? c : '_';
    }
    return out.empty() || out[0] == '.' ? "_" + out : out;
}

std::string xml(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') {
                out += '?';
            } else {
                out += c;
            }
        }
    }
    return out;
}

bool looks_like_junit(const char *head, std::size_t size)
{
    const std::string text(head, size);
    return text.rfind("<?xml", 0) == 0 || text.rfind("<testsuite", 0) == 0;
}

// A scenario's child: runs it and leaves its word in DIR/result.
[[noreturn]] void run_child(const velmo::test::Scenario &sc, std::uint64_t seed, const std::string &dir)
{
    const velmo::test::RunResult r = velmo::test::run_scenario(sc, seed, dir);
    std::FILE *f = std::fopen((dir + "/result").c_str(), "w");
    if (f != nullptr) {
        std::fprintf(f, "%s\n%s", r.passed ? "PASS" : "FAIL", r.reason.c_str());
        std::fclose(f);
    }
    _exit(0);
}

// Keeps the failed scenario's waveform in vcd_dir, as NAME.vcd.
std::string keep_vcd(const std::string &from, const std::string &vcd_dir, const std::string &name)
{
    const std::string to = vcd_dir + "/" + safe_name(name) + ".vcd";
    velmo::toolkit::OutputRules rules;
    rules.holds = "a VCD";
    rules.ours = [](const char *head, std::size_t size) { return size >= 1 && head[0] == '$'; };
    velmo::toolkit::OutputFile file;
    std::string why;
    if (!velmo::toolkit::open_output(to, rules, file, why) || file.empty() != 0 || file.append(read_file(from)) != 0 ||
        file.close() != 0) {
        velmo::cli::say("velmo-test", "cannot keep the VCD: " + why);
        return "";
    }
    return to;
}

Outcome collect(const Running &r, int status, bool killed, const velmo::test::Scenario &sc, const Options &o)
{
    Outcome out;
    out.done = true;
    out.seconds = static_cast<double>(velmo::toolkit::monotonic_ns() - r.started) / 1e9;
    const std::string result = read_file(r.dir + "/result");
    if (killed) {
        out.reason = "the time limit was passed by " + std::to_string(kGraceNs / 1000000000) +
                     "s of real time, and the run did not end: killed";
    } else if (result.rfind("PASS\n", 0) == 0) {
        out.passed = true;
    } else if (result.rfind("FAIL\n", 0) == 0) {
        out.reason = result.substr(5);
    } else {
        out.reason = "the run ended with no result (wait status " + std::to_string(status) + ")";
    }
    out.stdout_text = read_file(r.dir + "/stdout");
    out.stderr_text = read_file(r.dir + "/stderr");
    if (!out.passed && !o.vcd_dir.empty()) {
        out.vcd = keep_vcd(r.dir + "/run.vcd", o.vcd_dir, sc.name);
    }
    remove_dir(r.dir);
    return out;
}

bool has_press(const velmo::test::Scenario &sc)
{
    for (const auto &s : sc.steps) {
        if (s.kind == velmo::test::StepKind::Press) {
            return true;
        }
    }
    return false;
}

void print_line(const velmo::test::Scenario &sc, const Outcome &o, std::uint64_t seed)
{
    std::string line = std::string(o.passed ? "PASS " : "FAIL ") + sc.name + " ";
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2fs", o.seconds);
    line += secs;
    if (!o.passed) {
        line += ": " + o.reason;
        if (has_press(sc)) {
            line += " (seed " + std::to_string(seed) + ")";
        }
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool write_junit(velmo::toolkit::OutputFile &file, const std::vector<velmo::test::Scenario> &scenarios,
                 const std::vector<Outcome> &outcomes, std::uint64_t seed)
{
    int failures = 0;
    double total = 0;
    for (const Outcome &o : outcomes) {
        failures += o.passed ? 0 : 1;
        total += o.seconds;
    }
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    char head[256];
    std::snprintf(head, sizeof head,
                  "<testsuite name=\"velmo-test\" tests=\"%zu\" failures=\"%d\" errors=\"0\" time=\"%.3f\">\n",
                  outcomes.size(), failures, total);
    text += head;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome &o = outcomes[i];
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", o.seconds);
        text += "  <testcase classname=\"" + xml(scenarios[i].file) + "\" name=\"" + xml(scenarios[i].name) +
                "\" time=\"" + time + "\">\n";
        if (!o.passed) {
            text += "    <failure message=\"" + xml(o.reason) + "\">" + xml(o.reason) + "</failure>\n";
        }
        text += "    <system-out>seed: " + std::to_string(seed) + "\n";
        if (!o.vcd.empty()) {
            text += "vcd: " + xml(o.vcd) + "\n";
        }
        text += "stdout:\n" + xml(o.stdout_text) + (o.stdout_text.empty() || o.stdout_text.back() == '\n' ? "" : "\n");
        text += "stderr:\n" + xml(o.stderr_text) + "</system-out>\n";
        text += "  </testcase>\n";
    }
    text += "</testsuite>\n";
    return file.empty() == 0 && file.append(text) == 0 && file.close() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    Words words(argc, argv);
    try {
        while (!words.empty() && words.is_option()) {
            if (velmo::cli::help_or_version(kProgram, words, stdout)) {
                return velmo::cli::kExitOk;
            }
            std::string value;
            if (words.flag("--")) {
                break;
            } else if (words.value("--junit", o.junit) || words.value("--vcd-dir", o.vcd_dir)) {
                continue;
            } else if (words.value("--jobs", value)) {
                o.jobs = velmo::cli::parse_number(value, 1, 64, "--jobs wants a number of scenarios from 1 to 64");
            } else if (words.value("--seed", value)) {
                o.seed = static_cast<std::uint64_t>(
                    velmo::cli::parse_number(value, 0, 2147483647, "--seed wants a number from 0 to 2147483647"));
                o.has_seed = true;
            } else if (words.value("--clock", value)) {
                if (!velmo::emu::parse_clock_mode(value, o.clock)) {
                    throw Usage{"--clock wants virtual, board or real, not '" + value + "'"};
                }
                o.has_clock = true;
            } else {
                words.unknown_option();
            }
        }
        o.files = words.rest();
        if (o.files.empty()) {
            throw Usage{"no scenario file given"};
        }
        if (!o.vcd_dir.empty()) {
            struct stat st {};
            if (::stat(o.vcd_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                throw Usage{"--vcd-dir " + o.vcd_dir + ": no such folder"};
            }
        }
    } catch (const Usage &usage) {
        return velmo::cli::refuse(kProgram, usage, stderr);
    }

    std::vector<velmo::test::Scenario> scenarios;
    for (const std::string &file : o.files) {
        try {
            scenarios.push_back(velmo::test::load_scenario(file));
            if (o.has_clock) {
                scenarios.back().clock = o.clock;
            }
        } catch (const velmo::test::ScenarioError &e) {
            velmo::cli::say(kProgram.name, e.message);
            return velmo::cli::kExitUsage;
        }
    }
    velmo::toolkit::OutputFile junit;
    if (!o.junit.empty()) {
        velmo::toolkit::OutputRules rules;
        rules.holds = "a JUnit report";
        rules.ours = looks_like_junit;
        std::vector<velmo::toolkit::OtherFile> others;
        for (const std::string &file : o.files) {
            others.push_back({file, "scenario file"});
        }
        rules.others = others;
        std::string why;
        if (!velmo::toolkit::open_output(o.junit, rules, junit, why)) {
            velmo::cli::say(kProgram.name, "JUnit file " + why);
            return velmo::cli::kExitUsage;
        }
    }
    if (!o.has_seed) {
        o.seed = std::random_device()() & 0x7fffffffu;
    }

    const char *tmp = std::getenv("TMPDIR");
    const std::string tmp_dir = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    std::fflush(stdout);
    std::vector<Outcome> outcomes(scenarios.size());
    std::vector<Running> running;
    std::size_t next = 0;
    std::size_t printed = 0;
    while (printed < scenarios.size()) {
        while (next < scenarios.size() && static_cast<long>(running.size()) < o.jobs) {
            std::string dir = tmp_dir + "/velmo-test.XXXXXX";
            if (mkdtemp(dir.data()) == nullptr) {
                velmo::cli::say(kProgram.name, "cannot make a folder in " + tmp_dir + ": " + std::strerror(errno));
                for (const Running &r : running) {
                    kill(r.pid, SIGKILL);
                    waitpid(r.pid, nullptr, 0);
                    remove_dir(r.dir);
                }
                junit.discard();
                return velmo::cli::kExitFailed;
            }
            const pid_t parent = getpid();
            const pid_t pid = fork();
            if (pid == 0) {
                // velmo-test killed (a CI job's timeout): the run ends with
                // it, and its program with the run (the tracer's EXITKILL).
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent) {
                    _exit(1);
                }
                run_child(scenarios[next], o.seed, dir);
            }
            running.push_back({pid, next, dir, velmo::toolkit::monotonic_ns()});
            ++next;
        }
        bool reaped = false;
        for (std::size_t i = 0; i < running.size();) {
            const Running &r = running[i];
            int status = 0;
            bool killed = false;
            pid_t done = r.pid > 0 ? waitpid(r.pid, &status, WNOHANG) : r.pid;
            if (done == 0 && velmo::toolkit::monotonic_ns() - r.started > scenarios[r.index].timeout + kGraceNs) {
                kill(r.pid, SIGKILL);
                done = waitpid(r.pid, &status, 0);
                killed = true;
            }
            if (done == 0) {
                ++i;
                continue;
            }
            outcomes[r.index] = collect(r, status, killed, scenarios[r.index], o);
            running.erase(running.begin() + static_cast<long>(i));
            reaped = true;
        }
        while (printed < scenarios.size() && outcomes[printed].done) {
            print_line(scenarios[printed], outcomes[printed], o.seed);
            ++printed;
        }
        if (!reaped && printed < scenarios.size()) {
            usleep(2000);
        }
    }

    int failed = 0;
    for (const Outcome &out : outcomes) {
        failed += out.passed ? 0 : 1;
    }
    std::printf("%zu passed, %d failed (seed %llu)\n", scenarios.size() - static_cast<std::size_t>(failed), failed,
                static_cast<unsigned long long>(o.seed));
    if (!o.junit.empty() && !write_junit(junit, scenarios, outcomes, o.seed)) {
        velmo::cli::say(kProgram.name, "writing the JUnit file " + o.junit + " failed: " + std::strerror(errno));
        return velmo::cli::kExitFailed;
    }
    return failed == 0 ? velmo::cli::kExitOk : velmo::cli::kExitFailed;
}
