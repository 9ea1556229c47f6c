// COM-port naming: the DOS-devices link, the SERIALCOMM device-map value,
// the COM-port interface and the system's serial-port count.
#include "driver_fixture.h"

namespace drvtest {
namespace {

class NamingTest : public DriverTest {
protected:
    void SetUp() override { ASSERT_EQ(load(), STATUS_SUCCESS); }
};

TEST_F(NamingTest, PortIsPublishedUnderItsComNameAndWithdrawnAtRemoval)
{
    auto* node = plug({ .port = u"COM7" });
    ASSERT_NE(node, nullptr);
    const std::u16string nt_name = fdo_name(node);

    EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM7"), nt_name);
    EXPECT_EQ(serialcomm(nt_name), std::u16string(u"COM7\0", 5));   // REG_SZ with its NUL
    EXPECT_EQ(serialcomm_count(), 1u);
    EXPECT_EQ(interfaces_of(node, kComPortInterface), 1u);
    EXPECT_EQ(interfaces_of(node, kSerialCtrlInterface), 0u);
    EXPECT_EQ(serial_count(), 1u);

    host_->remove(node);
    EXPECT_FALSE(serialcomm(nt_name));
    EXPECT_EQ(serial_count(), 0u);
    EXPECT_FALSE(host::io::resolve_link(u"\\DosDevices\\COM7"));
    EXPECT_EQ(interfaces_of(node, kComPortInterface), 0u);
}

TEST_F(NamingTest, EachPortCountsOnce)
{
    auto* a = plug({ .port = u"COM3" });
    auto* b = plug({ .port = u"COM4" });
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(serial_count(), 2u);
    EXPECT_EQ(serialcomm(fdo_name(b)), std::u16string(u"COM4\0", 5));

    host_->remove(a);
    EXPECT_EQ(serial_count(), 1u);
    EXPECT_EQ(serialcomm_count(), 1u);
}

TEST_F(NamingTest, MissingPortNameFailsTheAddAndLeavesNoTrace)
{
    EXPECT_EQ(plug({ .port = u"" }), nullptr);
    EXPECT_EQ(serialcomm_count(), 0u);
    EXPECT_EQ(serial_count(), 0u);
}

TEST_F(NamingTest, ComNameCollisionFailsTheSecondPortOnly)
{
    auto* first = plug({ .port = u"COM5" });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(plug({ .port = u"COM5" }), nullptr);

    EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM5"), fdo_name(first));
    EXPECT_EQ(serialcomm_count(), 1u);
    EXPECT_EQ(serial_count(), 1u);
}

}  // namespace
}  // namespace drvtest
