#include "trace_file.h"

#include <cstring>

namespace velmo::emu {

bool looks_like_trace(const char *text, std::size_t size)
{
    std::size_t i = 0;
    if (size > 5 && std::memcmp(text, "[pid ", 5) == 0) {
        for (i = 5; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
        }
        if (i + 1 >= size || i == 5 || text[i] != ']' || text[i + 1] != ' ') {
            return false;
        }
        i += 2;
    }
    static const char *const kStarts[] = {"in 0x", "out 0x", "fault in 0x", "fault out 0x", "ioperm 0x", "iopl "};
    for (const char *start : kStarts) {
        const std::size_t n = std::strlen(start);
        if (size - i >= n && std::memcmp(text + i, start, n) == 0) {
            return true;
        }
    }
    return false;
}

bool TraceFile::open(const std::string &path, const std::vector<velmo::toolkit::OtherFile> &others, std::string &why)
{
    velmo::toolkit::OutputRules rules;
    rules.holds = "a trace";
    rules.ours = looks_like_trace;
    rules.others = others;
    return velmo::toolkit::open_output(path, rules, file_, why);
}

bool TraceFile::start(std::string &why)
{
    if (const int error = file_.empty(); error != 0) {
        fail(error);
        why = error_;
        return false;
    }
    return true;
}

void TraceFile::write(const std::string &line)
{
    if (!file_.is_open() || failed()) {
        return;
    }
    if (const int error = file_.append(line + '\n'); error != 0) {
        fail(error);
    }
}

bool TraceFile::close()
{
    if (const int error = file_.close(); error != 0 && !failed()) {
        fail(error);
    }
    return !failed();
}

void TraceFile::fail(int error)
{
    error_ = "cannot write the trace to " + file_.path() + ": " + std::strerror(error);
}

} // namespace velmo::emu
