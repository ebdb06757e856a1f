#include "vcd.h"

#include "clock.h"

#include <cstring>

namespace velmo::emu {

namespace {

// Wire identifiers: line1..line8 are a..h, dir1..dir8 are i..p.
char line_id(int n)
{
    return static_cast<char>('a' + n - 1);
}
char dir_id(int n)
{
    return static_cast<char>('i' + n - 1);
}

// Does text begin as a VCD does: white space, then a declaration keyword?
bool looks_like_vcd(const char *text, std::size_t size)
{
    std::size_t i = 0;
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
        ++i;
    }
    static const char *const kKeywords[] = {"$comment", "$date", "$enddefinitions", "$scope", "$timescale",
                                            "$upscope", "$var",  "$version"};
    for (const char *keyword : kKeywords) {
        const std::size_t n = std::strlen(keyword);
        if (size - i > n && std::memcmp(text + i, keyword, n) == 0 &&
            (text[i + n] == ' ' || text[i + n] == '\t' || text[i + n] == '\n' || text[i + n] == '\r')) {
            return true;
        }
    }
    return false;
}

std::string levels(const bool *values, char (*id)(int))
{
    std::string text;
    for (int n = 1; n <= 8; ++n) {
        text += values[n - 1] ? '1' : '0';
        text += id(n);
        text += '\n';
    }
    return text;
}

} // namespace

bool VcdWriter::open(const std::string &path, const std::vector<velmo::toolkit::OtherFile> &others, std::string &why)
{
    velmo::toolkit::OutputRules rules;
    rules.holds = "a VCD";
    rules.ours = looks_like_vcd;
    rules.others = others;
    return velmo::toolkit::open_output(path, rules, file_, why);
}

void VcdWriter::discard()
{
    file_.discard();
}

std::uint64_t VcdWriter::now_us() const
{
    if (clock_us_) {
        const std::uint64_t now = clock_us_();
        return now > clock_start_us_ ? now - clock_start_us_ : 0;
    }
    const std::int64_t ns = velmo::toolkit::monotonic_ns() - start_ns_;
    return ns <= 0 ? 0 : static_cast<std::uint64_t>(ns / 1000);
}

// A change half written (a full disk, a file size limit) is taken back:
// the file stays whole up to its last change.
bool VcdWriter::append(const std::string &text, std::string &why)
{
    if (const int error = file_.append(text); error != 0) {
        why = "writing the VCD file " + file_.path() + " failed: " + std::strerror(error);
        failed_ = true;
        return false;
    }
    return true;
}

bool VcdWriter::start(const velmo::sim::Board &board, std::string &why)
{
    if (const int error = file_.empty(); error != 0) {
        why = "emptying the VCD file " + file_.path() + " failed: " + std::strerror(error);
        failed_ = true;
        return false;
    }
    for (int n = 1; n <= 8; ++n) {
        const velmo::sim::Line line = board.line(n);
        level_[n - 1] = line.level != 0;
        input_[n - 1] = line.input;
    }
    std::string text = "$version velmo-emu $end\n"
                       "$comment line1..line8: the level each pin shows; dir1..dir8: 1 input, 0 output $end\n"
                       "$timescale 1 us $end\n"
                       "$scope module velmo $end\n";
    for (int n = 1; n <= 8; ++n) {
        text += std::string("$var wire 1 ") + line_id(n) + " line" + std::to_string(n) + " $end\n";
    }
    for (int n = 1; n <= 8; ++n) {
        text += std::string("$var wire 1 ") + dir_id(n) + " dir" + std::to_string(n) + " $end\n";
    }
    text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    text += levels(level_, line_id) + levels(input_, dir_id) + "$end\n";
    start_ns_ = velmo::toolkit::monotonic_ns();
    clock_start_us_ = clock_us_ ? clock_us_() : 0;
    last_time_ = 0;
    return append(text, why);
}

bool VcdWriter::update(const velmo::sim::Board &board, std::string &why)
{
    if (failed_) {
        why = "writing the VCD file " + file_.path() + " failed earlier";
        return false;
    }
    std::string changes;
    for (int n = 1; n <= 8; ++n) {
        const velmo::sim::Line line = board.line(n);
        if ((line.level != 0) != level_[n - 1]) {
            level_[n - 1] = line.level != 0;
            changes += (level_[n - 1] ? '1' : '0');
            changes += line_id(n);
            changes += '\n';
        }
    }
    for (int n = 1; n <= 8; ++n) {
        const bool input = board.line(n).input;
        if (input != input_[n - 1]) {
            input_[n - 1] = input;
            changes += (input ? '1' : '0');
            changes += dir_id(n);
            changes += '\n';
        }
    }
    if (changes.empty()) {
        return true;
    }
    // Changes within one microsecond share its timestamp.
    const std::uint64_t now = now_us();
    if (now > last_time_) {
        last_time_ = now;
        changes = "#" + std::to_string(now) + "\n" + changes;
    }
    return append(changes, why);
}

bool VcdWriter::finish(std::string &why)
{
    bool ok = !failed_;
    if (ok) {
        const std::uint64_t now = now_us();
        ok = now <= last_time_ || append("#" + std::to_string(now) + "\n", why);
    }
    if (const int error = file_.close(); error != 0 && ok) {
        why = "writing the VCD file " + file_.path() + " failed: " + std::strerror(error);
        ok = false;
    }
    return ok;
}

} // namespace velmo::emu
