// SPDX-License-Identifier: LGPL-2.1-or-later
// The test bus with one virtual reader on it, and what the bus saw: the bulk
// transfers, the commands the module received on the body stage, and whether
// everything the library opened was closed again. Header only: the test links
// vessik_testbus.
#ifndef VESSIK_TESTS_SUPPORT_BUS_FIXTURE_H
#define VESSIK_TESTS_SUPPORT_BUS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testbus.h"
#include "virtual_reader.h"

namespace testsupport {

constexpr const char *kBulkTransfer = "libusb_bulk_transfer";

// The bulk transfers the bus has seen, in their order.
inline std::vector<testbus::Call> BulkCalls()
{
    std::vector<testbus::Call> bulk;
    for (const testbus::Call &c : testbus::calls())
        if (c.name == kBulkTransfer)
            bulk.push_back(c);
    return bulk;
}

// The body stages the module received, in their order: one a command.
inline std::vector<testbus::Call> CommandStages()
{
    std::vector<testbus::Call> stages;
    for (const testbus::Call &c : BulkCalls())
        if (c.endpoint == vsim::kEpBodyOut && c.data.size() >= 2)
            stages.push_back(c);
    return stages;
}

inline bool Carries(const testbus::Call &stage, const uint8_t (&command)[2])
{
    return stage.data.size() >= 2 && stage.data[0] == command[0] && stage.data[1] == command[1];
}

// The body stages that carried this command (vsim::kCmdFind and the like).
inline std::vector<testbus::Call> CommandStages(const uint8_t (&command)[2])
{
    std::vector<testbus::Call> stages;
    for (const testbus::Call &c : CommandStages())
        if (Carries(c, command))
            stages.push_back(c);
    return stages;
}

// The commands the module received, one letter each: S status (the module
// identifier query the poll uses), F find, E select, R read card; '?' for
// anything else.
inline std::string Commands()
{
    const struct {
        const uint8_t (&command)[2];
        char letter;
    } letters[] = {{vsim::kCmdModuleId, 'S'},
                   {vsim::kCmdFind, 'F'},
                   {vsim::kCmdSelect, 'E'},
                   {vsim::kCmdRead, 'R'}};
    std::string commands;
    for (const testbus::Call &c : CommandStages()) {
        char letter = '?';
        for (const auto &l : letters)
            if (Carries(c, l.command))
                letter = l.letter;
        commands += letter;
    }
    return commands;
}

// How many calls of this libusb function the bus has seen.
inline int CountCalls(const std::string &name)
{
    int n = 0;
    for (const std::string &c : testbus::call_names())
        n += c == name ? 1 : 0;
    return n;
}

// Every handle, context and device list the library took is given back.
inline void ExpectBusReleased()
{
    EXPECT_EQ(testbus::open_handles(), 0);
    EXPECT_EQ(testbus::open_contexts(), 0);
    EXPECT_EQ(testbus::device_lists_outstanding(), 0);
}

// A device on the bus that is no reader: a root hub.
inline testbus::Device RootHub(uint8_t bus, const std::vector<uint8_t> &ports)
{
    constexpr uint16_t kLinuxFoundation = 0x1d6b;
    constexpr uint16_t kRootHub = 0x0002;
    testbus::Device hub;
    hub.vid = kLinuxFoundation;
    hub.pid = kRootHub;
    hub.bus = bus;
    hub.address = 1;
    hub.ports = ports;
    return hub;
}

// One reader on a bus of its own, taken off again after each test.
class BusTest : public testing::Test {
  protected:
    BusTest() = default;
    explicit BusTest(const vsim::CardFields &card) : reader_(card) {}

    void SetUp() override
    {
        testbus::reset();
        testbus::attach(&reader_);
    }
    void TearDown() override { testbus::reset(); }

    vsim::VirtualReader reader_;
};

} // namespace testsupport

#endif
