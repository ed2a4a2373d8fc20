// open_comm_port, close_port, reads, the line settling, busy waits and the
// debug trace, as the platform sees them.
#include "link_fixture.h"

#include <algorithm>
#include <tuple>

namespace {

using Port = LinkTest;

TEST_F(Port, DeviceNameHasTwoForms) {
    const struct { int port; const char *name; } cases[] = {
        {1, "COM1:19200,n,8,1"}, {9, "COM9:19200,n,8,1"}, {10, "\\\\.\\COM10"}, {255, "\\\\.\\COM255"}};
    for (auto &c : cases) {
        fake::add_port(c.port, &peer);
        com_port = c.port;
        EXPECT_TRUE(open_comm_port());
        EXPECT_EQ(fake::state().open_attempts.back(), c.name);
        EXPECT_STREQ(comm_device_name, c.name);
        close_port();
    }
}

TEST_F(Port, MissingPortFailsSilently) {
    com_port = 4;
    hComm = reinterpret_cast<port_handle>(1); // stale value, overwritten
    EXPECT_FALSE(open_comm_port());
    EXPECT_EQ(hComm, nullptr);
    EXPECT_TRUE(fake::state().outputs.empty());
    EXPECT_TRUE(fake::state().boxes.empty());
    EXPECT_TRUE(fake::state().set_dcbs.empty());
    EXPECT_STREQ(comm_device_name, "COM4:19200,n,8,1");
}

TEST_F(Port, LineSettingsAndTimeouts) {
    fake::add_port(3, &peer);
    auto &info = fake::state().ports[0];
    info.initial_dcb.BaudRate = 9600;
    info.initial_dcb.ByteSize = 7;
    info.initial_dcb.Parity = 2;
    info.initial_dcb.StopBits = 2;
    // Every bit set, including the reserved ones and DSR flow control.
    info.initial_dcb.flags = 0xFFFFFFFFu;
    info.initial_dcb.XonLim = 11;
    info.initial_dcb.XonChar = 0x11;
    info.initial_dcb.EvtChar = 0x7E;
    com_port = 3;
    ASSERT_TRUE(open_comm_port());
    ASSERT_NE(hComm, nullptr);
    ASSERT_EQ(fake::state().set_dcbs.size(), 1u);
    const plat_dcb &d = fake::state().set_dcbs[0];
    EXPECT_EQ(std::make_tuple(d.BaudRate, int(d.ByteSize), int(d.Parity), int(d.StopBits)),
              std::make_tuple(115200u, 8, 0, 0));
    EXPECT_EQ(d.flags, 0xFFFFDCDFu); // XON/XOFF off, DTR and RTS enable, the rest kept
    EXPECT_TRUE(d.flags & DCB_fOutxDsrFlow);
    EXPECT_EQ(std::make_tuple(int(d.XonLim), int(d.XonChar), int(d.EvtChar)), std::make_tuple(11, 0x11, 0x7E));
    EXPECT_EQ(d.DCBlength, sizeof(plat_dcb)); // as GetCommState left it

    ASSERT_EQ(fake::state().set_timeouts.size(), 1u);
    const plat_timeouts &t = fake::state().set_timeouts[0];
    EXPECT_EQ(std::make_tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                              t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant),
              std::make_tuple(0xFFFFFFFFu, 0u, 0u, 10u, 1000u));
    EXPECT_TRUE(fake::state().outputs.empty());

    // All flags clear: exactly CTS output flow, DTR on, RTS on.
    close_port();
    info.initial_dcb.flags = 0;
    ASSERT_TRUE(open_comm_port());
    EXPECT_EQ(fake::state().set_dcbs[1].flags,
              DCB_fOutxCtsFlow | (1u << 4) | (1u << 12));
}

TEST_F(Port, UnreadableSettingsAreTracedAndThePreviousRecordReused) {
    fake::add_port(3, &peer);
    fake::add_port(5, &peer);
    auto &p3 = fake::state().ports[0];
    auto &p5 = fake::state().ports[1];
    p3.get_state_fails = true;
    com_port = 3;
    // First call: the record is all zero, and no DCBlength of its own.
    EXPECT_TRUE(open_comm_port());
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"In GetCommStat, error = 0x57\n "});
    EXPECT_EQ(fake::state().set_dcbs[0].DCBlength, 0u);
    EXPECT_EQ(fake::state().set_dcbs[0].flags, 0x1014u);
    close_port();

    // A good port, then the failing one again: the good port's record goes on.
    p5.initial_dcb.flags = DCB_fOutxDsrFlow | DCB_fBinary;
    p5.initial_dcb.XoffLim = 77;
    com_port = 5;
    EXPECT_TRUE(open_comm_port());
    close_port();
    com_port = 3;
    EXPECT_TRUE(open_comm_port());
    const plat_dcb &d = fake::state().set_dcbs[2];
    EXPECT_EQ(d.DCBlength, sizeof(plat_dcb));
    EXPECT_EQ(d.XoffLim, 77);
    EXPECT_EQ(d.flags, DCB_fOutxDsrFlow | DCB_fBinary | 0x1014u);
}

TEST_F(Port, RefusedSettingsAreTracedAndThePortStaysOpen) {
    fake::add_port(3, &peer);
    fake::state().ports[0].set_state_fails = true;
    com_port = 3;
    EXPECT_TRUE(open_comm_port());
    EXPECT_NE(hComm, nullptr);
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"In SetCommStat, error = 0x57\n "});
    EXPECT_EQ(fake::state().set_timeouts.size(), 1u);
}

TEST_F(Port, ReopeningReplacesTheHandleAndCloseIsOnce) {
    open_com3();
    port_handle first = hComm;
    ASSERT_TRUE(open_comm_port());
    EXPECT_NE(hComm, first);
    EXPECT_EQ(fake::state().open_handles, 2); // the old one is not closed here
    close_port();
    EXPECT_EQ(hComm, nullptr);
    close_port(); // nothing open: no call
    EXPECT_EQ(fake::state().open_handles, 1);
    EXPECT_EQ(std::count(fake::state().events.begin(), fake::state().events.end(), "close"), 1);
}

TEST_F(Port, ReadTakesAtMostMaxAndOnlyWhatWaits) {
    open_com3();
    EXPECT_EQ(read_port(0, 80), 0);
    EXPECT_EQ(fake::state().reads, 0); // nothing waiting: no ReadFile

    peer.push(std::string(300, 'r'));
    EXPECT_EQ(port_rx_pending(hComm), 300);
    EXPECT_EQ(read_port(10, 80), 80);
    EXPECT_EQ(rx_buffer[10], 'r');
    EXPECT_EQ(rx_buffer[90], 0); // read_port does not terminate
    EXPECT_EQ(read_port(0, 1024), 220);
    EXPECT_EQ(fake::state().read_sizes, (std::vector<uint32_t>{80, 220}));

    // Never beyond the place of the terminator, whatever the caller asks.
    peer.push(std::string(300, 's'));
    EXPECT_EQ(read_port(4090, 80), 5);
    EXPECT_EQ(read_port(4095, 80), 0);
}

TEST_F(Port, FailedQueryOrReadCountsAsNothing) {
    open_com3();
    peer.push("OK");
    fake::state().pending_fails = true;
    EXPECT_EQ(port_rx_pending(hComm), -1);
    EXPECT_EQ(read_port(0, 80), 0);
    EXPECT_TRUE(fake::state().outputs.empty());

    fake::state().pending_fails = false;
    fake::state().read_fails = true;
    EXPECT_EQ(read_port(12, 80), 0);
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"<CE-12>"});
}

TEST_F(Port, SettleClearsBreakFlushesTwiceAroundAMillisecond) {
    open_com3();
    skip_flush = 1;
    settle_port();
    EXPECT_EQ(fake::state().clear_breaks, 0);
    EXPECT_EQ(fake::state().flushes, 0);

    skip_flush = 0;
    uint64_t before = fake::state().now_ms;
    settle_port();
    EXPECT_EQ(fake::state().clear_breaks, 1);
    EXPECT_EQ(fake::state().flushes, 2);
    EXPECT_GE(fake::state().now_ms - before, 1u);
    peer.push("kept");
    settle_port();
    EXPECT_EQ(port_rx_pending(hComm), 4); // input is not discarded
}

TEST_F(Port, SpinWaitIsRightAcrossTheTickWrap) {
    fake::state().tick_base = 0xFFFFFFFFu - 30;
    uint32_t start = fake::ticks();
    spin_wait(100);
    EXPECT_GE(uint32_t(fake::ticks() - start), 100u);
    EXPECT_LE(uint32_t(fake::ticks() - start), 102u);

    uint64_t before = fake::state().now_ms;
    spin_wait(0);
    EXPECT_LE(fake::state().now_ms - before, 2u);
}

TEST_F(Port, ClockWaitUsesTheRuntimeClock) {
    fake::state().runtime_clock_base = 5000;
    uint64_t before = fake::state().now_ms;
    clock_wait(7);
    EXPECT_GE(fake::state().now_ms - before, 7u);
    EXPECT_LE(fake::state().now_ms - before, 9u);
}

TEST_F(Port, DebugTraceFramesTheTextWithLineFeeds) {
    debug_trace("x");
    EXPECT_EQ(fake::state().outputs, (std::vector<std::string>{"\n", "x", "\n"}));
}

} // namespace
