#include "ports.h"

#include "board_file.h"
#include "format.h"

namespace velmo::sim {

int Ports::request(Grants &grants, unsigned long long from, unsigned long long num, int turn_on)
{
    const int result = grants.request(from, num, turn_on, refusal_);
    record(format("ioperm 0x%llx %llu %d %s", from, num, turn_on, result == 0 ? "granted" : "denied"));
    return result;
}

Access Ports::in(const Grants &grants, std::uint16_t port, std::uint8_t &value)
{
    if (!grants.granted(port)) {
        ++faults_;
        record(format("fault in 0x%x", port));
        return Access::Fault;
    }
    // Every read sees the board as it is now, others' writes included.
    if (file_ != nullptr && !file_->read(board_, error_)) {
        error_ = "board file " + error_;
        return Access::Lost;
    }
    value = board_.read(port);
    record(format("in 0x%x 0x%02x", port, value));
    return observed();
}

Access Ports::out(const Grants &grants, std::uint16_t port, std::uint8_t value)
{
    if (!grants.granted(port)) {
        ++faults_;
        record(format("fault out 0x%x 0x%02x", port, value));
        return Access::Fault;
    }
    // A write reaches the file before the program goes on; it changes only
    // the register written, so others' writes to the other registers stand.
    if (file_ != nullptr) {
        if (!file_->update([port, value](Board &now) { now.write(port, value); }, board_, error_)) {
            error_ = "board file " + error_;
            return Access::Lost;
        }
    } else {
        board_.write(port, value);
    }
    record(format("out 0x%x 0x%02x", port, value));
    return observed();
}

Access Ports::observed()
{
    if (observer_ && !observer_(board_, error_)) {
        return Access::Lost;
    }
    return Access::Done;
}

std::string Ports::trace_text() const
{
    std::string text;
    for (const std::string &event : trace_) {
        text += event;
        text += '\n';
    }
    return text;
}

void Ports::record(std::string line)
{
    if (!label_.empty()) {
        line.insert(0, label_);
    }
    if (listener_) {
        listener_(line);
    }
    if (keep_trace_) {
        trace_.push_back(std::move(line));
    }
}

} // namespace velmo::sim
