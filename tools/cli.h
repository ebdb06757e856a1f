// The command line of every Velmo program (velmogpio, velmo-board,
// velmo-emu and the ones to come): one parser for each kind of word, the
// exit statuses, the "program: message" prefix, --help and --version.
//
// One rule for every tool: numbers are decimal, or hex after 0x where the
// word takes hex (ports, register words); no sign, no blanks, nothing
// before or after; a leading zero on a number of two digits or more is
// refused, since some readers take it as octal (03, 010, 0500). A line
// named twice in one command is refused. An option's value is given as
// "--opt VALUE" or "--opt=VALUE", in every tool.
//
// Use: every parser throws velmo::cli::Usage with the reason, before any
// port or file is touched; the program catches it once and hands it to
// refuse(), which prints it with the program's name and the hint to
// --help and returns the program's usage status:
//
//     const velmo::cli::Program kProgram{"velmo-board", kUsage, velmo::cli::kExitUsage};
//     int main(int argc, char **argv)
//     {
//         velmo::cli::Words words(argc, argv);
//         try {
//             std::string board;
//             while (words.is_option()) {
//                 if (velmo::cli::help_or_version(kProgram, words, stdout)) {
//                     return velmo::cli::kExitOk;
//                 }
//                 if (!words.value("--board", board)) {
//                     words.unknown_option();
//                 }
//             }
//             velmo::cli::LineLevels levels;
//             for (const std::string &word : words.rest()) {
//                 levels.add(word); // "6=1": refuses 03=1, 9=1, 6=1 6=0
//             }
//             ...
//         } catch (const velmo::cli::Usage &usage) {
//             return velmo::cli::refuse(kProgram, usage, stderr);
//         }
//     }
#ifndef VELMO_TOOLS_CLI_H
#define VELMO_TOOLS_CLI_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace velmo::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;        // the board or the library refused; a timeout
constexpr int kExitUsage = 2;         // bad arguments: nothing was touched
constexpr int kExitCannotServe = 125; // velmo-emu's own: it cannot serve the program,
                                      // its bad options among them (as env and timeout)
constexpr int kExitCannotStart = 127; // velmo-emu: the program could not be started

// A word that will not do, and why (one line, no program name).
struct Usage {
    std::string what;
};

// A line number, 1 to 8.
int parse_line(const std::string &text);

struct LineLevel {
    int line;  // 1-8
    int level; // 0 or 1
};

// "LINE=VALUE": the line and the text after the first '='.
std::pair<int, std::string> parse_assignment(const std::string &word);

// "LINE=0" or "LINE=1".
LineLevel parse_line_level(const std::string &word);

// Lines named in one command, each once.
class Lines {
public:
    // Parses a line number and refuses one already named.
    int add(const std::string &text);
    // Refuses a line already named.
    void add(int line);
    const std::vector<int> &list() const { return lines_; }

private:
    std::vector<int> lines_;
    bool named_[9] = {};
};

// LINE=LEVEL words of one command, each line once, in the order given.
class LineLevels {
public:
    const LineLevel &add(const std::string &word);
    const std::vector<LineLevel> &list() const { return levels_; }
    bool empty() const { return levels_.empty(); }

private:
    Lines lines_;
    std::vector<LineLevel> levels_;
};

// An I/O port address, 0 to 0xffff, decimal or 0x hex (0x0500 as well).
std::uint16_t parse_port(const std::string &text);

// A register word, 0 to 255, decimal or 0x hex.
unsigned int parse_word(const std::string &text);

// A decimal number from lo to hi. wants says what the word is for, as in
// "--count wants a number of events from 1": the refusal is
// "WANTS, not 'TEXT'".
long parse_number(const std::string &text, long lo, long hi, const std::string &wants);

// A duration in nanoseconds: a number, with a fraction or not (0.5, never
// .5), in unit_ns when it has no unit, or followed by ns, us, ms or s
// (500us, 10ms, 2s); from lo_ns to hi_ns. The refusal is "WANTS, not 'TEXT'".
std::int64_t parse_duration(const std::string &text, std::int64_t unit_ns, std::int64_t lo_ns, std::int64_t hi_ns,
                            const std::string &wants);

// --timeout's value: seconds when it has no unit, up to a day.
std::int64_t parse_timeout(const std::string &option, const std::string &text);

// A command line's words, taken from the front.
class Words {
public:
    explicit Words(std::vector<std::string> words) : words_(std::move(words)) {}
    Words(int argc, const char *const argv[]); // argv[1] on

    bool empty() const { return next_ == words_.size(); }
    const std::string &peek() const { return words_[next_]; }
    std::string take() { return words_[next_++]; }
    // The words not taken yet; takes them all.
    std::vector<std::string> rest();

    // Whether the next word is an option: "--" and more, or "-h".
    bool is_option() const;
    // When the next word is option name, as "--name VALUE" or
    // "--name=VALUE", takes it and its value. Refuses "--name" last.
    bool value(const char *name, std::string &out);
    // When the next word is "--name", takes it. Refuses "--name=VALUE".
    bool flag(const char *name);
    // Refuses the next word as an option this command does not have:
    // "unknown option '--frob'".
    [[noreturn]] void unknown_option();

private:
    // The option's name in the next word, without any "=VALUE".
    std::string option_name() const;

    std::vector<std::string> words_;
    std::size_t next_ = 0;
};

// What every program says about itself.
struct Program {
    const char *name;  // as it is invoked: "velmogpio"
    const char *usage; // its --help text
    int usage_status;  // its status for a bad command line
};

// The project's version, as --version prints it.
const char *version();

// When the next word is --help (or -h) or --version, takes it, prints the
// usage or "NAME VERSION" on out and returns true.
bool help_or_version(const Program &program, Words &words, std::FILE *out);
// The same answers, for a program that finds --help or --version later on
// its command line.
void print_help(const Program &program, std::FILE *out);
void print_version(const Program &program, std::FILE *out);

// Prints "NAME: WHAT" and the hint to --help on err; returns the program's
// usage status.
int refuse(const Program &program, const Usage &usage, std::FILE *err);

// Prints "PROGRAM: MESSAGE" on to, as one write.
void say(const char *program, const std::string &message, std::FILE *to = stderr);

} // namespace velmo::cli

#endif
