// A host with the test driver loaded and one child device started; its
// port is \\.\COM7.
#pragma once

#include "test_driver.h"
#include "win32.h"

#include <gtest/gtest.h>

namespace iotest {

class PortTest : public ::testing::Test {
protected:
    PortTest()
    {
        TestDriver::current = &driver;
        EXPECT_EQ(host.load_driver(u"testser", &TestDriver::DriverEntry), STATUS_SUCCESS);
        node = host.plug(test_child(1, &pdo));
        EXPECT_NE(node, nullptr);
    }

    HANDLE open(DWORD flags = 0, DWORD access = GENERIC_READ | GENERIC_WRITE)
    {
        return CreateFileW(L"\\\\.\\COM7", access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    TestDriver driver;   // outlives the host, whose teardown still calls it
    TestPdo pdo;
    host::Host host;
    host::io::DeviceNode* node = nullptr;
};

}  // namespace iotest
