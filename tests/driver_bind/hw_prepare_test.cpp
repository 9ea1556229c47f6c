// Hardware preparation: capabilities from the functional descriptors and the
// initial line coding from the device, the system's Ports key or the defaults.
#include "bind_fixture.h"

#include <gmock/gmock.h>

#include <optional>

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
class PortsFallbackTest : public BindTest {
protected:
    PACM_FDO_DATA with_ports_value(std::optional<host::reg::Value> value)
    {
        bus::FunctionConfig config;
        config.acm = 0x04;   // send break only
        make(config);
        if (value)
            host::reg::set_value(kPortsKey, u"COM5:", *value);
        EXPECT_NE(plug(), nullptr);
        EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: getting line coding from registry"), 1u);
        EXPECT_EQ(fn_->control_log().size(), 0u);
        return fdx_;
    }
    PACM_FDO_DATA with_ports_string(std::u16string_view text)
    {
        return with_ports_value(host::reg::string_value(text));
    }
    // REG_SZ data exactly as given: no terminating NUL unless it is in `text`.
    static host::reg::Value unterminated(std::u16string_view text)
    {
        host::reg::Value value{ REG_SZ, {} };
        for (char16_t c : text) {
            value.data.push_back(uint8_t(c & 0xff));
            value.data.push_back(uint8_t(c >> 8));
        }
        return value;
    }
    static size_t defaults_used() { return traced("failed getting line coding from OS"); }
};

TEST_F(PortsFallbackTest, CommonSettings)
{
    EXPECT_THAT(coding_of(with_ports_string(u"9600,n,8,1")), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 0u);
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: baud rate 9600, stop bits 0, parity 0, data_bits 8"), 1u);
}

TEST_F(PortsFallbackTest, EvenParitySevenBitsTwoStopBits)
{
    EXPECT_THAT(coding_of(with_ports_string(u"115200,e,7,2")), IsCoding(115200, 2, 2, 7));
}

TEST_F(PortsFallbackTest, OddParityOneAndAHalfStopBits)
{
    EXPECT_THAT(coding_of(with_ports_string(u"1200,o,8,1.5")), IsCoding(1200, 1, 1, 8));
}

TEST_F(PortsFallbackTest, MarkAndSpaceParity)
{
    EXPECT_THAT(coding_of(with_ports_string(u"300,m,5,2")), IsCoding(300, 2, 3, 5));
}

TEST_F(PortsFallbackTest, SpaceParityAndAOneNotFollowedByPointFive)
{
    EXPECT_THAT(coding_of(with_ports_string(u"300,s,6,1.")), IsCoding(300, 0, 4, 6));
}

TEST_F(PortsFallbackTest, UpperCaseParityIsNoParity)
{
    EXPECT_THAT(coding_of(with_ports_string(u"9600,N,8,1")), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 0u);
}

TEST_F(PortsFallbackTest, LeadingCommaGivesRateZero)
{
    EXPECT_THAT(coding_of(with_ports_string(u",n,8,1")), IsCoding(0, 0, 0, 8));
}

TEST_F(PortsFallbackTest, RateAloneFallsBackToTheDefaults)
{
    EXPECT_THAT(coding_of(with_ports_string(u"9600")), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: failed getting line coding from OS c0000001, using defaults"),
              1u);
}

TEST_F(PortsFallbackTest, EndRightAfterTheParityLetterFallsBackToTheDefaults)
{
    with_ports_string(u"19200,e");
    EXPECT_THAT(coding_of(fdx_), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(PortsFallbackTest, EndRightAfterTheSeparatorFallsBackToTheDefaults)
{
    EXPECT_THAT(coding_of(with_ports_string(u"19200,e,")), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(PortsFallbackTest, MissingStopBitsFallBackToTheDefaults)
{
    EXPECT_THAT(coding_of(with_ports_string(u"19200,e,7,")), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(PortsFallbackTest, MissingValueFallsBackToTheDefaults)
{
    EXPECT_THAT(coding_of(with_ports_value(std::nullopt)), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(PortsFallbackTest, DataWithoutNulIsParsedOnlyWithinItsLength)
{
    EXPECT_THAT(coding_of(with_ports_value(unterminated(u"4800,e,7,2"))), IsCoding(4800, 2, 2, 7));
}

TEST_F(PortsFallbackTest, DataWithoutNulThatEndsEarlyFails)
{
    // Without the bound the parse would run on into whatever follows the data.
    EXPECT_THAT(coding_of(with_ports_value(unterminated(u"4800,e,7"))), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(PortsFallbackTest, DataThatDoesNotFitFallsBackToTheDefaults)
{
    std::u16string text = u"9600,n,8,1";
    text.append(60, u' ');   // 70 characters and a NUL: more than 116 bytes
    EXPECT_THAT(coding_of(with_ports_string(text)), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(defaults_used(), 1u);
}

TEST_F(BindTest, LineCodingComesFromTheDevice)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 57600, 1, 2, 7 };
    ASSERT_NE(started(config), nullptr);
    EXPECT_THAT(coding_of(fdx_), IsCoding(57600, 1, 2, 7));
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: baud rate 57600, stop bits 1, parity 2, data_bits 7"), 1u);
}

TEST_F(BindTest, FailedGetLineCodingFallsBackToTheDefaults)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 57600, 1, 2, 7 };
    make(config);
    host::reg::set_value(kPortsKey, u"COM5:", host::reg::string_value(u"1200,o,8,1"));   // not consulted
    fn_->inject(bus::Op::control_request, bus::Fault::fail(STATUS_UNSUCCESSFUL));
    ASSERT_NE(plug(), nullptr);

    EXPECT_THAT(coding_of(fdx_), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: failed getting line coding from device c0000001, using defaults"),
              1u);
}

TEST_F(BindTest, ShortGetLineCodingAnswerFallsBackToTheDefaults)
{
    make();
    fn_->inject(bus::Op::control_request, bus::Fault::complete(STATUS_SUCCESS, 4));
    ASSERT_NE(plug(), nullptr);
    EXPECT_THAT(coding_of(fdx_), IsCoding(9600, 0, 0, 8));
    EXPECT_EQ(traced("failed getting line coding from device"), 1u);
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
    EXPECT_EQ(traced("acm_get_functional_descriptor: couldn't find CDC functional desc, code 01, status c0000225"), 1u);
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: CALL MGMT bmCapabilities 00, ACM bmCapabilities 06"), 1u);
}

TEST_F(BindTest, MissingAcmDescriptorLeavesItsFlagsZeroAndAsksTheRegistry)
{
    bus::FunctionConfig config;
    config.acm = std::nullopt;
    make(config);
    host::reg::set_value(kPortsKey, u"COM5:", host::reg::string_value(u"38400,n,8,1"));
    ASSERT_NE(plug(), nullptr);

    EXPECT_EQ(fdx_->acm_line_coding | fdx_->acm_send_break | fdx_->acm_comm_feature | fdx_->acm_network_connection, 0);
    EXPECT_EQ(traced("acm_get_functional_descriptor: couldn't find CDC functional desc, code 02, status c0000225"), 1u);
    EXPECT_EQ(traced("acm_evt_dev_prepare_hardware: getting line coding from registry"), 1u);
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
