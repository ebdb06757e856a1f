// A fresh simulated board and the library's globals at their initial
// values for every test. The line map tests expect is the board's
// (velmo::sim::kLineBit, written from the documentation), never the
// library's own tables.
#ifndef VELMO_TESTS_SIM_FIXTURE_H
#define VELMO_TESTS_SIM_FIXTURE_H

#include "port_sim.h"
#include "edition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

class SimBoard : public ::testing::Test {
protected:
    void SetUp() override
    {
        velmo::sim::reset();
        BaseAddress = 0x500;
        // The documented line map: the simulated board's wiring.
        std::memcpy(GPIO1_pos, velmo::sim::kLineBit, sizeof GPIO1_pos);
        std::memcpy(GPIO2_pos, velmo::sim::kLineBit + 4, sizeof GPIO2_pos);
        std::memset(buffer, 0, sizeof buffer);
        error = nullptr;
    }

    void TearDown() override { EXPECT_EQ(ports().faults(), 0) << ports().trace_text(); }

    // The registers, and the port space with its trace around them.
    static velmo::sim::Board &board() { return velmo::sim::ports().board(); }
    static velmo::sim::Ports &ports() { return velmo::sim::ports(); }

    static std::string message()
    {
        char *text = nullptr;
        EXPECT_EQ(KVNGetLastError(&text), -1);
        EXPECT_EQ(text, buffer);
        return text;
    }
};

#endif
