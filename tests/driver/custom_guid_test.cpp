// The extra device interface named by the device key's "DeviceGUID" value,
// registered on a device that the driver (linked in) has added.
#include "acm_serial.h"

#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/rtl/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}
constexpr GUID kCustom = { 0x0a1b2c3d, 0x4e5f, 0x6071, { 0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9 } };


class CustomGuidTest : public ::testing::Test {
protected:
    bus::CdcFunction function_{ bus::FunctionConfig{} };   // outlives the host's device
    host::Host host_;
    host::io::DeviceNode* node_ = nullptr;

    // A started COM port whose hardware key may carry a DeviceGUID text.
    PACM_FDO_DATA plug(const char16_t* device_guid)
    {
        EXPECT_EQ(host_.load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
        host::ChildDevice child = function_.port().description();
        if (device_guid != nullptr)
            child.hardware_key.emplace_back(u"DeviceGUID", host::reg::string_value(device_guid));
        node_ = host_.plug(child);
        if (node_ == nullptr)
            return nullptr;
        return acm_fdo_get_data(WdfWdmDeviceGetWdfDeviceHandle(node_->pdo->upper));
    }

    size_t custom_interfaces() const
    {
        size_t n = 0;
        for (const auto& record : host_.interfaces())
            n += record.pdo == node_->pdo && record.guid == kCustom;
        return n;
    }
};

TEST_F(CustomGuidTest, ValueNamesTheClassOfAnExtraInterface)
{
    PACM_FDO_DATA fdx = plug(u"{0a1b2c3d-4E5F-6071-8293-a4b5c6d7e8f9}");
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(common_class_custom_guid_set(&fdx->common), STATUS_SUCCESS);
    EXPECT_EQ(custom_interfaces(), 1u);
}

TEST_F(CustomGuidTest, AbsentValueAddsNothing)
{
    PACM_FDO_DATA fdx = plug(nullptr);
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(common_class_custom_guid_set(&fdx->common), STATUS_SUCCESS);
    EXPECT_EQ(custom_interfaces(), 0u);
}

TEST_F(CustomGuidTest, MalformedValueFailsAndAddsNothing)
{
    PACM_FDO_DATA fdx = plug(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");   // 37 characters
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(common_class_custom_guid_set(&fdx->common), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(custom_interfaces(), 0u);
}

}  // namespace
