// Random operation sequences against a reference model of the board and of
// what each operation must do to it, written here independently of the
// library. Reproducible: VELMO_SEED=<n> replays one seed.
#include "sim_fixture.h"

#include <cerrno>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

// The expected side: registers, trace and result of each call.
struct Model {
    std::uint8_t dir[2] = {0xFF, 0xFF};
    std::uint8_t latch[2] = {0, 0};
    std::uint8_t outside[2] = {0, 0};
    std::string trace;
    bool refuse = false;

    static std::string hex(unsigned long long v)
    {
        char text[32];
        std::snprintf(text, sizeof text, "0x%llx", v);
        return text;
    }
    static std::string byte(unsigned v)
    {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", v & 0xFFu);
        return text;
    }

    // Register at a port of a board based at 0x500: bank index and whether
    // it is the data register, or -1.
    static int reg(long port, bool &data)
    {
        const long off = port - 0x500;
        data = off == 0x0F || off == 0x38;
        if (off == 0x07 || off == 0x0F) return 0;
        if (off == 0x34 || off == 0x38) return 1;
        return -1;
    }

    // A refusal leaves its message here: the range is checked first, then
    // the privilege (of a process without CAP_SYS_RAWIO).
    std::string refusal;

    bool ask(long port)
    {
        const unsigned long as_kernel_sees = static_cast<unsigned long>(port);
        const bool in_range = port >= 0 && port <= 0xFFFF;
        const bool ok = !refuse && in_range;
        trace += "ioperm " + hex(as_kernel_sees) + " 1 1 " + (ok ? "granted\n" : "denied\n");
        if (!ok) {
            refusal = refused_message(in_range ? velmo::test::Refusal::NeedsCap : velmo::test::Refusal::OutOfRange,
                                      static_cast<std::uint32_t>(port));
        }
        return ok;
    }
    bool in(long port, unsigned &v)
    {
        if (!ask(port)) return false;
        bool data = false;
        const int b = reg(port, data);
        v = b < 0 ? 0xFFu : data ? static_cast<unsigned>((latch[b] & ~dir[b]) | (outside[b] & dir[b])) : dir[b];
        trace += "in " + hex(static_cast<unsigned long long>(port)) + " " + byte(v) + "\n";
        return true;
    }
    bool out(long port, unsigned v)
    {
        if (!ask(port)) return false;
        bool data = false;
        const int b = reg(port, data);
        if (b >= 0) (data ? latch[b] : dir[b]) = static_cast<std::uint8_t>(v);
        trace += "out " + hex(static_cast<unsigned long long>(port)) + " " + byte(v) + "\n";
        return true;
    }
};

struct Expect {
    int result;
    bool sets_message; // false: the message must not change
    std::string message;
};

const Expect kDone = {0, false, ""};

Expect failure(const std::string &message)
{
    return {-1, true, message};
}

// 32-bit add as the hardware does it: 0x7FFFFFFF + 7 is a negative port.
long port_at(int base, int offset)
{
    return static_cast<long>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(offset)));
}

unsigned place(unsigned word, int pos, bool set)
{
    const unsigned b = 1u << (static_cast<unsigned>(pos) % 32u);
    return set ? word | b : word & ~b;
}

Expect model_config(Model &m, unsigned w)
{
    unsigned d1 = 0, d2 = 0;
    if (!m.in(port_at(BaseAddress, 7), d1) || !m.in(port_at(BaseAddress, 52), d2)) return failure(m.refusal);
    if (w > 255) return failure(MSG_BAD_CONFIG);
    for (int i = 0; i < 4; ++i)
        d1 = place(d1, GPIO1_pos[i], (w >> i) & 1u);
    if (!m.out(port_at(BaseAddress, 7), d1 & 0xFF)) return failure(m.refusal);
    for (int i = 4; i < 8; ++i)
        d2 = place(d2, GPIO2_pos[i - 4], (w >> i) & 1u);
    if (!m.out(port_at(BaseAddress, 52), d2 & 0xFF)) return failure(m.refusal);
    return kDone;
}

Expect model_input(Model &m, int n, int &level)
{
    if (n < 1 || n > 8) return failure(MSG_BAD_GPIO);
    const long port = port_at(BaseAddress, n <= 4 ? 15 : 56);
    const int pos = n <= 4 ? GPIO1_pos[n - 1] : GPIO2_pos[n - 5];
    unsigned v = 0;
    if (!m.in(port, v)) return failure(m.refusal);
    level = static_cast<int>((v >> (static_cast<unsigned>(pos) % 32u)) & 1u);
    return kDone;
}

Expect model_output(Model &m, int n, unsigned l)
{
    if (n < 1 || n > 8) return failure(MSG_BAD_GPIO);
    if (l > 1) return failure(MSG_BAD_VALUE);
    const long port = port_at(BaseAddress, n <= 4 ? 15 : 56);
    const int pos = n <= 4 ? GPIO1_pos[n - 1] : GPIO2_pos[n - 5];
    unsigned v = 0;
    if (!m.in(port, v)) return failure(m.refusal);
    if (!m.out(port, place(v, pos, l == 1) & 0xFF)) return failure(m.refusal);
    return kDone;
}

using Randomized = SimBoard;

TEST_F(Randomized, SequencesMatchTheReferenceModel)
{
    const char *env = std::getenv("VELMO_SEED");
    const unsigned first = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : 1u;
    const unsigned count = env ? 1u : 300u;
    for (unsigned seed = first; seed < first + count; ++seed) {
        SCOPED_TRACE("replay with VELMO_SEED=" + std::to_string(seed));
        SetUp();
        std::mt19937 rng(seed);
        auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        auto byte = [&pick] { return static_cast<std::uint8_t>(pick(0, 255)); };

        Model m;
        for (int b = 0; b < 2; ++b) {
            m.dir[b] = byte();
            m.latch[b] = byte();
            m.outside[b] = byte();
            board().bank(b + 1).direction = m.dir[b];
            board().bank(b + 1).latch = m.latch[b];
            board().bank(b + 1).outside = m.outside[b];
        }
        m.refuse = pick(0, 9) == 0;
        ports().set_refusal(m.refuse ? EPERM : 0);

        for (int step = 0; step < 40; ++step) {
            // Now and then a client moves the block or remaps a line.
            const int change = pick(0, 19);
            if (change == 0) {
                const int bases[] = {0x500, 0x500, 0x4F0, 0xFFC8, 0x10000, -0x500, 0x7FFFFFFF, pick(0, 0xFFFF)};
                BaseAddress = bases[pick(0, 7)];
            } else if (change == 1) {
                GPIO1_pos[pick(0, 3)] = pick(-40, 40);
            } else if (change == 2) {
                GPIO2_pos[pick(0, 3)] = pick(0, 7);
            } else if (change == 3) {
                const int b = pick(0, 1);
                m.outside[b] = byte();
                board().bank(b + 1).outside = m.outside[b];
            }

            const std::string before = buffer;
            ports().clear_trace();
            m.trace.clear();
            Expect expect{};
            std::string what;
            int got = 0;
            const int op = pick(0, 3);
            if (op == 0) {
                const unsigned w = pick(0, 3) == 0 ? static_cast<unsigned>(rng()) : static_cast<unsigned>(pick(0, 255));
                what = "configure " + std::to_string(w);
                expect = model_config(m, w);
                got = OP_CONFIG(w);
            } else if (op == 1) {
                const int n = pick(-2, 10);
                what = "read line " + std::to_string(n);
                int level = -7, want = -7;
                expect = model_input(m, n, want);
                got = OP_INPUT(n, &level);
                EXPECT_EQ(level, want) << what;
            } else if (op == 2) {
                const int n = pick(-1, 10);
                const unsigned l = pick(0, 4) == 0 ? static_cast<unsigned>(rng()) : static_cast<unsigned>(pick(0, 2));
                what = "drive line " + std::to_string(n) + " to " + std::to_string(l);
                expect = model_output(m, n, l);
                got = OP_OUTPUT(n, l);
            } else {
                const int port = port_at(BaseAddress, pick(0, 63)) > 0
                                     ? static_cast<int>(port_at(BaseAddress, pick(0, 63)))
                                     : pick(0, 0xFFFF);
                const std::uint8_t v = byte();
                what = "WriteIO " + std::to_string(port);
                expect = kDone;
                m.out(port, v);
                WriteIO(port, v);
            }
            ASSERT_EQ(got, expect.result) << what;
            ASSERT_EQ(ports().trace_text(), m.trace) << what;
            ASSERT_EQ(std::string(buffer), expect.sets_message ? expect.message : before) << what;
            for (int b = 0; b < 2; ++b) {
                ASSERT_EQ(board().bank(b + 1).direction, m.dir[b]) << what;
                ASSERT_EQ(board().bank(b + 1).latch, m.latch[b]) << what;
            }
        }
    }
}

} // namespace
