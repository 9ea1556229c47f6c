// Hardware preparation: capabilities from the functional descriptors and the
// initial line coding from the device, the system's Ports key or the defaults.
#include "bind_fixture.h"

#include <gmock/gmock.h>

namespace bindtest {
namespace {

struct Coding {
    ULONG rate;
    UCHAR stop_bits, parity, data_bits;
};

Coding coding_of(PACM_FDO_DATA fdx)
{
    return { fdx->line_coding.dwDTERate, fdx->line_coding.bCharFormat, fdx->line_coding.bParityType,
             fdx->line_coding.bDataBits };
}

MATCHER_P4(IsCoding, rate, stop_bits, parity, data_bits, "")
{
    return arg.rate == ULONG(rate) && arg.stop_bits == stop_bits && arg.parity == parity &&
           arg.data_bits == data_bits;
}

// A function without the line-coding capability takes its line coding from
// the Ports value of its port, COM5.
struct PortsCase {
    const char* name;
    std::u16string data;   // UTF-16 data, stored as given (no NUL added)
    Coding expected;
};

void PrintTo(const PortsCase& c, std::ostream* os) { *os << c.name; }

class PortsFallbackTest : public BindTest, public ::testing::WithParamInterface<PortsCase> {};

TEST_P(PortsFallbackTest, LineCodingFromThePortsValue)
{
    const PortsCase& c = GetParam();
    bus::FunctionConfig config;
    config.acm = 0x04;   // send break only
    make(config);
    host::reg::Value value{ REG_SZ, {} };
    for (char16_t ch : c.data) {
        value.data.push_back(uint8_t(ch & 0xff));
        value.data.push_back(uint8_t(ch >> 8));
    }
    host::reg::set_value(kPortsKey, u"COM5:", value);
    ASSERT_NE(plug(), nullptr);

    EXPECT_TRUE(fn_->control_log().empty()) << "the device was asked";
    EXPECT_THAT(coding_of(fdx_), IsCoding(c.expected.rate, c.expected.stop_bits, c.expected.parity,
                                          c.expected.data_bits));
}

const Coding kDefaults{ 9600, 0, 0, 8 };

INSTANTIATE_TEST_SUITE_P(
    Strings, PortsFallbackTest,
    ::testing::Values(
        PortsCase{ "common", std::u16string(u"9600,n,8,1\0", 11), { 9600, 0, 0, 8 } },
        PortsCase{ "even_7_2", std::u16string(u"115200,e,7,2\0", 13), { 115200, 2, 2, 7 } },
        PortsCase{ "odd_1_5", std::u16string(u"1200,o,8,1.5\0", 13), { 1200, 1, 1, 8 } },
        PortsCase{ "mark", std::u16string(u"300,m,5,2\0", 10), { 300, 2, 3, 5 } },
        PortsCase{ "space_1_point", std::u16string(u"300,s,6,1.\0", 11), { 300, 0, 4, 6 } },
        PortsCase{ "upper_case_parity", std::u16string(u"9600,N,8,1\0", 11), { 9600, 0, 0, 8 } },
        PortsCase{ "leading_comma", std::u16string(u",n,8,1\0", 7), { 0, 0, 0, 8 } },
        PortsCase{ "no_nul_within_length", u"4800,e,7,2", { 4800, 2, 2, 7 } },
        PortsCase{ "rate_alone", std::u16string(u"9600\0", 5), kDefaults },
        PortsCase{ "end_after_parity", std::u16string(u"19200,e\0", 8), kDefaults },
        PortsCase{ "end_after_separator", std::u16string(u"19200,e,\0", 9), kDefaults },
        PortsCase{ "no_stop_bits", std::u16string(u"19200,e,7,\0", 11), kDefaults },
        // Without the bound the parse would run on past the data.
        PortsCase{ "no_nul_ends_early", u"4800,e,7", kDefaults }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BindTest, MissingOrOversizedPortsValueFallsBackToTheDefaults)
{
    bus::FunctionConfig config;
    config.acm = 0x00;
    for (std::u16string text : { std::u16string(), u"9600,n,8,1" + std::u16string(60, u' ') }) {
        fdx_ = nullptr;
        make(config);
        if (!text.empty())   // 70 characters and a NUL: more than the 116 bytes that fit
            host::reg::set_value(kPortsKey, u"COM5:", host::reg::string_value(text));
        ASSERT_NE(plug(), nullptr);
        EXPECT_THAT(coding_of(fdx_), IsCoding(9600, 0, 0, 8));
    }
}

TEST_F(BindTest, LineCodingComesFromTheDevice)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 57600, 1, 2, 7 };
    ASSERT_NE(started(config), nullptr);
    EXPECT_THAT(coding_of(fdx_), IsCoding(57600, 1, 2, 7));
}

// A GET_LINE_CODING that fails or answers short: the defaults, not the registry.
TEST_F(BindTest, FailedOrShortGetLineCodingFallsBackToTheDefaults)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 57600, 1, 2, 7 };
    for (bus::Fault fault : { bus::Fault::fail(STATUS_UNSUCCESSFUL), bus::Fault::complete(STATUS_SUCCESS, 4) }) {
        fdx_ = nullptr;
        make(config);
        host::reg::set_value(kPortsKey, u"COM5:", host::reg::string_value(u"1200,o,8,1"));   // not consulted
        fn_->inject(bus::Op::control_request, fault);
        ASSERT_NE(plug(), nullptr);
        EXPECT_THAT(coding_of(fdx_), IsCoding(9600, 0, 0, 8));
    }
}

TEST_F(BindTest, SerialControlDeviceKeepsAZeroLineCoding)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    make(config);
    ASSERT_NE(plug(true), nullptr);

    EXPECT_TRUE(fdx_->is_serial_ctrl);
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: getting line coding from device"), 1u);
    EXPECT_THAT(coding_of(fdx_), IsCoding(0, 0, 0, 0));
    EXPECT_EQ(fdx_->handflow.ControlHandShake, 0u);
    EXPECT_FALSE(fdx_->serial_ctrl_enabled);
    EXPECT_EQ(fn_->control()->calls("control_request"), 0);
    EXPECT_EQ(fn_->control()->calls("is_ctrl_dev_enabled"), 0);
    EXPECT_TRUE(fn_->control()->callbacks_registered());
}

TEST_F(BindTest, PortOfAFunctionWithASerialControlDeviceKnowsIt)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    ASSERT_NE(started(config), nullptr);
    EXPECT_TRUE(fdx_->serial_ctrl_enabled);
}

TEST_F(BindTest, MissingCallManagementDescriptorLeavesItsFlagsZero)
{
    bus::FunctionConfig config;
    config.call_management = std::nullopt;
    ASSERT_NE(started(config), nullptr);

    EXPECT_EQ(fdx_->call_mgmt_by_device, 0);
    EXPECT_EQ(fdx_->call_mgmt_over_data, 0);
    EXPECT_EQ(fdx_->acm_line_coding, 2);
}

TEST_F(BindTest, MissingAcmDescriptorLeavesItsFlagsZeroAndAsksTheRegistry)
{
    bus::FunctionConfig config;
    config.acm = std::nullopt;
    make(config);
    host::reg::set_value(kPortsKey, u"COM5:", host::reg::string_value(u"38400,n,8,1"));
    ASSERT_NE(plug(), nullptr);

    EXPECT_EQ(fdx_->acm_line_coding | fdx_->acm_send_break | fdx_->acm_comm_feature | fdx_->acm_network_connection, 0);
    EXPECT_TRUE(fn_->control_log().empty()) << "the device was asked";
    EXPECT_THAT(coding_of(fdx_), IsCoding(38400, 0, 0, 8));
}

TEST_F(BindTest, EveryAcmCapabilityBitIsKeptAsItsValue)
{
    bus::FunctionConfig config;
    config.acm = 0x0F;
    config.call_management = 0x00;
    ASSERT_NE(started(config), nullptr);
    EXPECT_EQ(fdx_->acm_network_connection, 8);
    EXPECT_EQ(fdx_->acm_send_break, 4);
    EXPECT_EQ(fdx_->acm_line_coding, 2);
    EXPECT_EQ(fdx_->acm_comm_feature, 1);
    EXPECT_EQ(fdx_->call_mgmt_by_device | fdx_->call_mgmt_over_data, 0);
}

}  // namespace
}  // namespace bindtest
