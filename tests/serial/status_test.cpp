// What the port reports and counts: properties, statistics, queued bytes,
// line errors, time-outs and masks, through the comm functions.
#include "serial_fixture.h"

#include <cstring>

namespace serialtest {
namespace {

using StatusTest = SerialTest;

COMMPROP properties(HANDLE port)
{
    COMMPROP prop{};
    EXPECT_TRUE(GetCommProperties(port, &prop)) << GetLastError();
    return prop;
}

TEST_F(StatusTest, PropertiesOfAPlainPort)
{
    opened();
    const COMMPROP prop = properties(handle());
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.wPacketVersion, 2);
    EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(prop.dwMaxTxQueue, 0u);
    EXPECT_EQ(prop.dwMaxRxQueue, 0u);
    EXPECT_EQ(prop.dwMaxBaud, BAUD_USER);
    EXPECT_EQ(prop.dwProvSubType, PST_MODEM) << "a plain port reports the modem type";
    EXPECT_EQ(prop.dwProvCapabilities, 0xCFu);
    EXPECT_EQ(prop.dwSettableParams, 0x7Fu);
    EXPECT_EQ(prop.dwSettableBaud, 0x1007FFFFu);
    EXPECT_EQ(prop.wSettableData, 0x000F);
    EXPECT_EQ(prop.wSettableStopParity, 0x1F07);
    EXPECT_EQ(prop.dwCurrentTxQueue, 0u);
    EXPECT_EQ(prop.dwCurrentRxQueue, fdx_->read_buffer_size);
    EXPECT_GT(prop.dwCurrentRxQueue, 0u);
}

TEST_F(StatusTest, AModemReportsTheRs232Type)
{
    bus::FunctionConfig config;
    config.port.class_name = u"Modem";
    opened(config);
    EXPECT_EQ(properties(handle()).dwProvSubType, PST_RS232);
}

TEST_F(StatusTest, SetupCommAndTransmitCommCharSucceed)
{
    opened();
    EXPECT_TRUE(SetupComm(handle(), 4096, 2048));
    EXPECT_TRUE(TransmitCommChar(handle(), 0x13));
    EXPECT_EQ(control_error(IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, nullptr, 0), DWORD(ERROR_INSUFFICIENT_BUFFER));
    SERIAL_QUEUE_SIZE sizes{};
    EXPECT_EQ(control_error(IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes - 1, nullptr, 0),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(StatusTest, StatisticsCountBytesBothWaysUntilCleared)
{
    opened();
    auto io = write("hello");
    wait(*io);
    ASSERT_EQ(read_back(5), "hello");
    auto stats = get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 5u);
    EXPECT_EQ(stats.ReceivedCount, 5u);

    ASSERT_TRUE(ioctl(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0, nullptr, 0));
    stats = get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 0u);
    EXPECT_EQ(stats.ReceivedCount, 0u);

    io = write("abc");
    wait(*io);
    ASSERT_EQ(read_back(3), "abc");
    stats = get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 3u);
    EXPECT_EQ(stats.ReceivedCount, 3u);
}

TEST_F(StatusTest, ClearCommErrorCountsQueuedBytes)
{
    opened();
    fn_->set_behaviour(nullptr);   // no echo
    fn_->send("queued!");
    fn_->settle();
    COMSTAT stat{};
    DWORD errors = 0xFF;
    ASSERT_TRUE(ClearCommError(handle(), &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
    auto io = write(std::string(10, 'x'));
    fn_->settle();
    ASSERT_FALSE(io->done());
    ASSERT_TRUE(ClearCommError(handle(), &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 10u);

    fn_->release_stalls();
    wait(*io);
    ASSERT_TRUE(ClearCommError(handle(), &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(StatusTest, LineErrorsAreReportedOnceAsCommErrors)
{
    opened();
    fdx_->errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN |
                   SERIAL_ERROR_PARITY;
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(handle(), &errors, nullptr));
    EXPECT_EQ(errors, DWORD(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    ASSERT_TRUE(ClearCommError(handle(), &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(StatusTest, TimeoutsRoundTripAndTheInvalidTripleIsRefused)
{
    opened();
    COMMTIMEOUTS timeouts{ 10, 20, 30, 40, 50 };
    ASSERT_TRUE(SetCommTimeouts(handle(), &timeouts));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(handle(), &back));
    EXPECT_EQ(std::memcmp(&back, &timeouts, sizeof back), 0);

    COMMTIMEOUTS invalid{ MAXULONG, MAXULONG, MAXULONG, 0, 0 };
    EXPECT_FALSE(SetCommTimeouts(handle(), &invalid));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommTimeouts(handle(), &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 30u);

    COMMTIMEOUTS two{ MAXULONG, MAXULONG, 100, 0, 0 };
    EXPECT_TRUE(SetCommTimeouts(handle(), &two));
}

TEST_F(StatusTest, WaitMaskAndPurgeMaskAreChecked)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_CTS));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(handle(), &mask));
    EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_CTS));

    EXPECT_FALSE(SetCommMask(handle(), 0x2000));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    ASSERT_TRUE(GetCommMask(handle(), &mask));
    EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_CTS));
    EXPECT_TRUE(SetCommMask(handle(), 0x1FFF));

    for (DWORD bad : { 0x0u, 0x10u, 0x1Fu }) {
        EXPECT_FALSE(PurgeComm(handle(), bad)) << bad;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE)) << bad;
    }
}

// Settings stay with the port; what an open counts starts afresh.
TEST_F(StatusTest, SettingsSurviveAReopenAndCountersDoNot)
{
    opened();
    DCB dcb = state();
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 7;
    dcb.EvtChar = '!';
    ASSERT_TRUE(SetCommState(handle(), &dcb));
    ASSERT_TRUE(SetCommMask(handle(), EV_RXFLAG));
    auto io = write("12345");
    wait(*io);
    ASSERT_EQ(read_back(5), "12345");
    COMMTIMEOUTS timeouts{ 1, 2, 3, 4, 5 };
    ASSERT_TRUE(SetCommTimeouts(handle(), &timeouts));

    close();
    open();
    const DCB back = state();
    EXPECT_EQ(back.BaudRate, DWORD(CBR_57600));
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.EvtChar, '!');
    COMMTIMEOUTS timeouts_back{};
    ASSERT_TRUE(GetCommTimeouts(handle(), &timeouts_back));
    EXPECT_EQ(timeouts_back.WriteTotalTimeoutConstant, 5u);
    DWORD mask = 1;
    ASSERT_TRUE(GetCommMask(handle(), &mask));
    EXPECT_EQ(mask, 0u);
    const auto stats = get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount + stats.ReceivedCount, 0u);
}

}  // namespace
}  // namespace serialtest
