#include "scenario.h"

#include "cli.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <unistd.h>

namespace velmo::test {

namespace {

constexpr std::int64_t kNsPerS = 1000000000LL;
constexpr std::int64_t kDay = 86400 * kNsPerS;

struct Reader {
    std::string file;

    [[noreturn]] void fail(const YAML::Node &node, const std::string &what) const
    {
        throw ScenarioError{file + ":" + std::to_string(node.Mark().line + 1) + ": " + what};
    }

    std::string scalar(const YAML::Node &node, const std::string &what) const
    {
        if (!node.IsScalar()) {
            fail(node, what + " wants a single value");
        }
        return node.Scalar();
    }

    std::int64_t duration(const YAML::Node &node, const std::string &key) const
    {
        const std::string text = scalar(node, key);
        try {
            return velmo::cli::parse_duration(text, kNsPerS, 0, kDay, key + " wants a duration (150ms, 2s)");
        } catch (const velmo::cli::Usage &usage) {
            fail(node, usage.what);
        }
    }

    long number(const YAML::Node &node, const std::string &key, long lo, long hi) const
    {
        const std::string text = scalar(node, key);
        try {
            return velmo::cli::parse_number(
                text, lo, hi, key + " wants a number from " + std::to_string(lo) + " to " + std::to_string(hi));
        } catch (const velmo::cli::Usage &usage) {
            fail(node, usage.what);
        }
    }

    int line(const YAML::Node &node) const
    {
        const std::string text = scalar(node, "a line");
        try {
            return velmo::cli::parse_line(text);
        } catch (const velmo::cli::Usage &usage) {
            fail(node, usage.what);
        }
    }

    int level(const YAML::Node &node) const
    {
        const std::string text = scalar(node, "a level");
        if (text != "0" && text != "1") {
            fail(node, "bad level '" + text + "' (0 or 1)");
        }
        return text == "1" ? 1 : 0;
    }

    // {LINE: LEVEL, ...}, each line once.
    std::vector<std::pair<int, int>> levels(const YAML::Node &node, const std::string &key) const
    {
        if (!node.IsMap() || node.size() == 0) {
            fail(node, key + " wants lines and levels, as {3: 1, 6: 0}");
        }
        std::vector<std::pair<int, int>> out;
        std::set<int> seen;
        for (const auto &entry : node) {
            const int n = line(entry.first);
            if (!seen.insert(n).second) {
                fail(entry.first, "line " + std::to_string(n) + " is named twice");
            }
            out.emplace_back(n, level(entry.second));
        }
        return out;
    }

    // A step's {key: value} map, each key among known.
    void keys(const YAML::Node &node, const std::string &step, const std::set<std::string> &known) const
    {
        if (!node.IsMap()) {
            fail(node, step + " wants a map, as {line: 6, ...}");
        }
        for (const auto &entry : node) {
            const std::string key = scalar(entry.first, "a key");
            if (known.count(key) == 0) {
                fail(entry.first, step + " has no '" + key + "'");
            }
        }
    }

    const YAML::Node need(const YAML::Node &node, const char *key, const std::string &step) const
    {
        const YAML::Node value = node[key];
        if (!value) {
            fail(node, step + " needs '" + key + "'");
        }
        return value;
    }

    std::string text(const YAML::Node &node, const std::string &key) const { return scalar(node, key); }

    void step_body(Step &s, const std::string &kind, const YAML::Node &v) const;
    Step step(const YAML::Node &node) const;
};

const struct {
    const char *name;
    StepKind kind;
} kSteps[] = {
    {"pull", StepKind::Pull},
    {"press", StepKind::Press},
    {"wait", StepKind::Wait},
    {"expect", StepKind::Expect},
    {"expect-pulses", StepKind::ExpectPulses},
    {"expect-serial", StepKind::ExpectSerial},
    {"write-stdin", StepKind::WriteStdin},
    {"expect-stdout", StepKind::ExpectStdout},
    {"expect-exit", StepKind::ExpectExit},
};

void Reader::step_body(Step &s, const std::string &kind, const YAML::Node &v) const
{
    auto within = [&] {
        if (v["within"]) {
            s.within = duration(v["within"], "within");
        }
    };
    switch (s.kind) {
    case StepKind::Pull: s.levels = levels(v, kind); break;
    case StepKind::Press:
        keys(v, kind, {"line", "level", "for", "bounce"});
        s.line = line(need(v, "line", kind));
        s.level = v["level"] ? level(v["level"]) : 1;
        s.hold = duration(need(v, "for", kind), "for");
        s.bounce = v["bounce"] ? duration(v["bounce"], "bounce") : 0;
        if (s.hold == 0 || s.bounce * 2 >= s.hold) {
            fail(v, "press wants 'for' longer than twice its 'bounce'");
        }
        break;
    case StepKind::Wait: {
        keys(v, kind, {"line", "level", "edge", "count", "direction", "within"});
        s.line = line(need(v, "line", kind));
        within();
        int what = 0;
        if (v["level"]) {
            s.level = level(v["level"]);
            ++what;
        }
        if (v["edge"]) {
            const std::string e = scalar(v["edge"], "edge");
            s.edge = e == "rising"    ? Edge::Rising
                     : e == "falling" ? Edge::Falling
                     : e == "any"     ? Edge::Any
                                      : Edge::None;
            if (s.edge == Edge::None) {
                fail(v["edge"], "bad edge '" + e + "' (rising, falling or any)");
            }
            ++what;
        }
        if (v["count"]) {
            if (s.edge == Edge::None) {
                fail(v["count"], "count goes with an edge");
            }
            s.count = static_cast<int>(number(v["count"], "count", 1, 1000000));
        }
        if (v["direction"]) {
            const std::string d = scalar(v["direction"], "direction");
            if (d != "in" && d != "out") {
                fail(v["direction"], "bad direction '" + d + "' (in or out)");
            }
            s.direction = d == "in" ? 1 : 0;
            ++what;
        }
        if (what != 1) {
            fail(v, "wait wants one of level, edge or direction");
        }
        break;
    }
    case StepKind::Expect:
        if (!v.IsMap() || v.size() == 0) {
            fail(v, "expect wants lines and levels, as {6: 1}, or {direction: {6: out}}");
        }
        for (const auto &entry : v) {
            if (entry.first.IsScalar() && entry.first.Scalar() == "direction") {
                if (!entry.second.IsMap() || entry.second.size() == 0) {
                    fail(entry.second, "direction wants lines and directions, as {6: out}");
                }
                for (const auto &d : entry.second) {
                    const int n = line(d.first);
                    const std::string word = scalar(d.second, "a direction");
                    if (word != "in" && word != "out") {
                        fail(d.second, "bad direction '" + word + "' (in or out)");
                    }
                    s.directions.emplace_back(n, word == "in");
                }
            } else {
                s.levels.emplace_back(line(entry.first), level(entry.second));
            }
        }
        break;
    case StepKind::ExpectPulses:
        keys(v, kind, {"line", "count", "period", "high", "tolerance", "within"});
        s.line = line(need(v, "line", kind));
        s.count = static_cast<int>(number(need(v, "count", kind), "count", 1, 1000000));
        if (v["period"]) {
            s.period = duration(v["period"], "period");
        }
        if (v["high"]) {
            s.high = duration(v["high"], "high");
        }
        if (v["tolerance"]) {
            const std::string t = scalar(v["tolerance"], "tolerance");
            std::string digits = t;
            if (!digits.empty() && digits.back() == '%') {
                digits.pop_back();
            }
            try {
                s.tolerance = static_cast<double>(velmo::cli::parse_number(
                                  digits, 0, 100, "tolerance wants a percentage from 0% to 100%")) /
                              100.0;
            } catch (const velmo::cli::Usage &usage) {
                fail(v["tolerance"], usage.what);
            }
        }
        within();
        break;
    case StepKind::ExpectSerial:
        keys(v, kind, {"line", "baud", "text", "within"});
        s.line = line(need(v, "line", kind));
        s.baud = number(need(v, "baud", kind), "baud", 50, 1000000);
        s.text = text(need(v, "text", kind), "text");
        within();
        break;
    case StepKind::WriteStdin: s.text = text(v, kind); break;
    case StepKind::ExpectStdout:
        keys(v, kind, {"contains", "regex", "within"});
        if (v["contains"].IsDefined() == v["regex"].IsDefined()) {
            fail(v, "expect-stdout wants one of contains or regex");
        }
        s.regex = v["regex"].IsDefined();
        s.text = text(s.regex ? v["regex"] : v["contains"], s.regex ? "regex" : "contains");
        if (s.regex) {
            try {
                std::regex check(s.text);
            } catch (const std::regex_error &) {
                fail(v["regex"], "bad regular expression '" + s.text + "'");
            }
        }
        within();
        break;
    case StepKind::ExpectExit:
        keys(v, kind, {"status", "within"});
        s.status = v["status"] ? static_cast<int>(number(v["status"], "status", 0, 255)) : 0;
        within();
        break;
    }
}

Step Reader::step(const YAML::Node &node) const
{
    if (!node.IsMap()) {
        fail(node, "a step wants a map, as {pull: {3: 1}}");
    }
    Step s;
    s.source_line = node.Mark().line + 1;
    std::string kind;
    YAML::Node body;
    for (const auto &entry : node) {
        const std::string key = scalar(entry.first, "a key");
        if (key == "at") {
            s.at = duration(entry.second, "at");
        } else if (key == "after") {
            s.after = duration(entry.second, "after");
        } else {
            bool known = false;
            for (const auto &k : kSteps) {
                if (key == k.name) {
                    known = true;
                    s.kind = k.kind;
                }
            }
            if (!known) {
                fail(entry.first, "unknown step '" + key + "'");
            }
            if (!kind.empty()) {
                fail(entry.first, "one step at a time: '" + kind + "' and '" + key + "'");
            }
            kind = key;
            body = entry.second;
        }
    }
    if (kind.empty()) {
        fail(node, "a step needs what to do (pull, press, wait, expect, ...)");
    }
    if (s.at != kNoTime && s.after != kNoTime) {
        fail(node, "a step has at or after, not both");
    }
    step_body(s, kind, body);
    return s;
}

// Is there a program to run as program, for the scenario at path? A name
// with a slash is from the scenario's folder, one without is found in PATH.
bool findable(const std::string &program, const std::string &path)
{
    if (program.find('/') != std::string::npos) {
        const std::size_t slash = path.rfind('/');
        const std::string from =
            program[0] == '/' || slash == std::string::npos ? program : path.substr(0, slash + 1) + program;
        return access(from.c_str(), X_OK) == 0;
    }
    const char *env = std::getenv("PATH");
    std::stringstream dirs(env != nullptr ? env : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

const char *step_name(StepKind kind)
{
    for (const auto &k : kSteps) {
        if (k.kind == kind) {
            return k.name;
        }
    }
    return "?";
}

Scenario load_scenario(const std::string &path)
{
    Reader r{path};
    std::ifstream in(path);
    if (!in) {
        throw ScenarioError{path + ": cannot read it: " + std::strerror(errno)};
    }
    std::stringstream text;
    text << in.rdbuf();
    YAML::Node root;
    try {
        root = YAML::Load(text.str());
    } catch (const YAML::ParserException &e) {
        throw ScenarioError{path + ":" + std::to_string(e.mark.line + 1) + ": bad YAML: " + e.msg};
    }
    if (!root.IsMap()) {
        throw ScenarioError{path + ":1: a scenario wants a map (name, run, steps, ...)"};
    }
    Scenario sc;
    sc.file = path;
    const std::size_t slash = path.rfind('/');
    std::string base_name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = base_name.rfind('.');
    sc.name = dot == std::string::npos || dot == 0 ? base_name : base_name.substr(0, dot);
    try {
        bool have_steps = false;
        for (const auto &entry : root) {
            const std::string key = r.scalar(entry.first, "a key");
            const YAML::Node &v = entry.second;
            if (key == "name") {
                sc.name = r.scalar(v, "name");
            } else if (key == "run") {
                if (v.IsScalar()) {
                    sc.run.push_back(v.Scalar());
                } else if (v.IsSequence() && v.size() > 0) {
                    for (const auto &word : v) {
                        sc.run.push_back(r.scalar(word, "run"));
                    }
                } else {
                    r.fail(v, "run wants the program and its arguments, as [./blink, \"5\"]");
                }
                if (sc.run[0].empty()) {
                    r.fail(v, "run wants a program");
                }
                if (!findable(sc.run[0], path)) {
                    r.fail(v, "no program '" + sc.run[0] + "' " +
                                  (sc.run[0].find('/') == std::string::npos ? "in PATH" : "beside the scenario file") +
                                  " that can run");
                }
            } else if (key == "stdin") {
                sc.stdin_text = r.scalar(v, "stdin");
            } else if (key == "clock") {
                const std::string clock = r.scalar(v, "clock");
                if (!velmo::emu::parse_clock_mode(clock, sc.clock)) {
                    r.fail(v, "bad clock '" + clock + "' (virtual, board or real)");
                }
            } else if (key == "base") {
                try {
                    sc.base = velmo::cli::parse_port(r.scalar(v, "base"));
                } catch (const velmo::cli::Usage &usage) {
                    r.fail(v, usage.what);
                }
                sc.has_base = true;
            } else if (key == "lines") {
                sc.lines = r.levels(v, "lines");
            } else if (key == "timeout") {
                sc.timeout = r.duration(v, "timeout");
                if (sc.timeout == 0) {
                    r.fail(v, "timeout wants a duration above 0");
                }
            } else if (key == "steps") {
                have_steps = true;
                if (v.IsNull()) {
                    continue;
                }
                if (!v.IsSequence()) {
                    r.fail(v, "steps wants a list, one '- ' a step");
                }
                for (const auto &node : v) {
                    sc.steps.push_back(r.step(node));
                }
            } else {
                r.fail(entry.first, "unknown key '" + key + "' (name, run, stdin, clock, base, lines, timeout, steps)");
            }
        }
        if (sc.run.empty()) {
            throw ScenarioError{path + ":1: no 'run': the program to test and its arguments"};
        }
        (void)have_steps;
    } catch (const YAML::Exception &e) {
        throw ScenarioError{path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg};
    }
    return sc;
}

} // namespace velmo::test
