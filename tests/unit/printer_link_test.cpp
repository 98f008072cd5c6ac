// The serial link: which port is taken, how the line is set up, the start-up
// wait and drain, the exact move-command bytes and the reply framing.
#include "printer_link/printer_link.h"

#include "harness.h"

namespace {

using sim::ComPath;
using sim::Ms;

std::vector<std::string> Paths(int from, int to)
{
    std::vector<std::string> v;
    for (int n = from; n <= to; n++)
        v.push_back(ComPath(n));
    return v;
}

/* ============================= Port search ============================= */

struct SearchCase {
    const char *name;
    std::vector<int> present;  // ports that open
    std::vector<int> busy;     // ports held by another program
    int taken;                 // -1: none
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SearchCase &c, std::ostream *os) { *os << c.name; }

class PortSearch : public SimTest,
                   public ::testing::WithParamInterface<SearchCase> {};

// Catches a wrong order, a search that goes on after the first port that
// opens, a busy port taken, ports above 20 tried, names with leading zeros,
// and a failed search that leaves a stale handle behind.
TEST_P(PortSearch, TakesTheFirstPortThatOpens)
{
    const SearchCase &c = GetParam();
    for (int n : c.present)
        SilentPrinter(n);
    for (int n : c.busy)
        SilentPrinter(n).busy = true;

    HANDLE port = nullptr;
    const int result = FindPrinterPort(&port);

    const auto &w = sim::world();
    if (c.taken < 0) {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(INVALID_HANDLE_VALUE, port);
        EXPECT_EQ(Paths(0, 20), w.open_attempts);
        EXPECT_TRUE(w.port_handles.empty());
    } else {
        EXPECT_EQ(1, result);
        ASSERT_EQ(1u, w.port_handles.count(port));
        EXPECT_EQ(ComPath(c.taken), w.port_handles.at(port));
        EXPECT_EQ(Paths(0, c.taken), w.open_attempts);
        EXPECT_EQ(1u, w.port_handles.size());
    }
    // Nothing is written or read while searching.
    for (const auto &entry : w.devices)
        EXPECT_EQ("", entry.second.written) << entry.first;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortSearch,
    ::testing::Values(SearchCase{"NoPortsAtAll", {}, {}, -1},
                      SearchCase{"OnlyCom3", {3}, {}, 3},
                      SearchCase{"Com3AndCom5", {3, 5}, {}, 3},
                      SearchCase{"Com0IsACandidate", {0, 1}, {}, 0},
                      SearchCase{"Com20IsTheLast", {20}, {}, 20},
                      SearchCase{"Com21IsNeverFound", {21, 100}, {}, -1},
                      SearchCase{"BusyCom3Skipped", {5}, {3}, 5},
                      SearchCase{"AllBusy", {}, {1, 2, 3}, -1}),
    [](const auto &info) { return std::string(info.param.name); });

// The path is "\\.\COM" and the number, so that COM10 and above open too.
TEST_F(SimTest, PortNamesUseTheDevicePrefix)
{
    SilentPrinter(12);
    HANDLE port = nullptr;
    ASSERT_EQ(1, FindPrinterPort(&port));
    EXPECT_EQ("\\\\.\\COM0", sim::world().open_attempts.front());
    EXPECT_EQ("\\\\.\\COM12", sim::world().open_attempts.back());
}

// Catches a line left at the wrong speed or framing, and time-outs other
// than 1/1/1 ms for reads and none for writes.
TEST_F(SimTest, OpenedPortIsSetTo250000Baud8N1WithShortReadTimeouts)
{
    sim::Device &d = SilentPrinter(4);
    HANDLE port = nullptr;
    ASSERT_EQ(1, OpenPrinterPort(&port, ComPath(4).c_str()));
    ASSERT_TRUE(d.dcb_applied);
    EXPECT_EQ(250000u, d.dcb.BaudRate);
    EXPECT_EQ(NOPARITY, d.dcb.Parity);
    EXPECT_EQ(8, d.dcb.ByteSize);
    EXPECT_EQ(ONESTOPBIT, d.dcb.StopBits);
    ASSERT_TRUE(d.timeouts_applied);
    EXPECT_EQ(1u, d.timeouts.ReadIntervalTimeout);
    EXPECT_EQ(1u, d.timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(1u, d.timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, d.timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(0u, d.timeouts.WriteTotalTimeoutConstant);
}

// A port that refuses 250000 baud is still the printer's port.
TEST_F(SimTest, PortRefusingTheLineSettingsIsStillTaken)
{
    SilentPrinter(1).refuses_state = true;
    SilentPrinter(2);
    HANDLE port = nullptr;
    ASSERT_EQ(1, FindPrinterPort(&port));
    EXPECT_EQ(ComPath(1), sim::world().port_handles.at(port));
    EXPECT_TRUE(sim::world().devices[ComPath(1)].timeouts_applied);
}

// When the settings string is refused the candidate fails; its handle must
// be closed (else the port stays held) and must not be left in the caller's
// variable (else it would be closed twice at the end).
TEST_F(SimTest, RefusedSettingsStringClosesTheCandidate)
{
    SilentPrinter(1);
    SilentPrinter(2);
    sim::FailCall("BuildCommDCBA", 1);
    HANDLE port = nullptr;
    ASSERT_EQ(1, FindPrinterPort(&port));
    EXPECT_EQ(ComPath(2), sim::world().port_handles.at(port));
    EXPECT_FALSE(sim::world().devices[ComPath(1)].open);
    EXPECT_FALSE(sim::world().devices[ComPath(1)].dcb_applied);
}

TEST_F(SimTest, RefusedSettingsOnTheOnlyPortLeavesNoHandle)
{
    SilentPrinter(20);
    sim::FailCall("BuildCommDCBA", 1);
    HANDLE port = nullptr;
    EXPECT_EQ(-1, FindPrinterPort(&port));
    EXPECT_EQ(INVALID_HANDLE_VALUE, port);
    EXPECT_TRUE(sim::world().port_handles.empty());
}

/* ========================= Start-up wait and drain ========================= */

HANDLE Open(int com)
{
    HANDLE port = nullptr;
    EXPECT_EQ(1, OpenPrinterPort(&port, ComPath(com).c_str()));
    return port;
}

// Catches a wait shorter than 2222 ms, a drain that keeps start-up text for
// the first reply, a drain that eats what comes after a pause, and a drain
// that never ends on a device that never pauses.
TEST_F(SimTest, StartupWaitThenDrainUntilTheFirstGap)
{
    struct Case {
        const char *name;
        std::function<void(sim::Device &)> setup;
        uint64_t min_end_ms, max_end_ms;
        size_t left_unread;
    };
    const std::string banner(500, 'b');  // 20 ms of text on the wire
    const Case cases[] = {
        {"silent", [](sim::Device &) {}, 2222, 2225, 0},
        {"banner during the wait",
         [&](sim::Device &d) { d.Send(banner, Ms(100)); }, 2222, 2225, 0},
        {"banner running past the wait",
         [&](sim::Device &d) { d.Send(banner, Ms(2210)); }, 2230, 2235, 0},
        {"text after a pause stays",
         [&](sim::Device &d) {
             d.Send("start\n", Ms(100));
             d.Send("echo:late\n", Ms(2300));
         },
         2222, 2225, 10},
        {"endless stream",
         [](sim::Device &d) { d.StreamForever(0); }, 5222, 5224, 0},
        {"unplugged", [](sim::Device &d) { d.unplugged = true; }, 2222, 2222, 0},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &d = SilentPrinter(1);
        c.setup(d);
        HANDLE port = Open(1);
        WaitForPrinter(port);
        const uint64_t end_ms = sim::world().now_us / 1000;
        EXPECT_GE(end_ms, c.min_end_ms) << c.name;
        EXPECT_LE(end_ms, c.max_end_ms) << c.name;
        EXPECT_EQ(c.left_unread, d.Unread()) << c.name;
        EXPECT_EQ("", d.written) << c.name;
    }
}

// The three-second bound holds when the millisecond counter wraps during
// the drain.
TEST_F(SimTest, DrainBoundSurvivesTheTickCounterWrapping)
{
    sim::world().tick_base = 0xFFFFFFFFu - 3000;
    StreamingDevice(1);
    WaitForPrinter(Open(1));
    EXPECT_GE(sim::world().now_us, Ms(5222));
    EXPECT_LE(sim::world().now_us, Ms(5224));
}

/* ============================ Move command ============================ */

// Catches a wrong format (carriage return, missing line feed, wrong number
// of decimals), a terminating zero sent on the line, and a line split over
// several writes.
TEST_F(SimTest, MoveCommandBytes)
{
    struct Case {
        float height;
        std::string line;
    };
    const Case cases[] = {
        {200.4f, "G1 F600 Z200.400\n"},
        {-0.4f, "G1 F600 Z-0.400\n"},
        {0.0f, "G1 F600 Z0.000\n"},
        {0.0005f, "G1 F600 Z0.001\n"},
        {167.201f, "G1 F600 Z167.201\n"},
        {-12345.678f, "G1 F600 Z-12345.678\n"},
        {3.0e38f, "G1 F600 Z300000000549775575777803994281145270272.000\n"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &d = SilentPrinter(1);
        SendMoveCommand(Open(1), c.height);
        EXPECT_EQ(c.line, d.written);
        EXPECT_EQ(1u, d.write_times_us.size()) << c.line;
    }
}

TEST_F(SimTest, MoveCommandAfterOneStepUpIsSeventeenBytes)
{
    sim::Device &d = SilentPrinter(1);
    SendMoveCommand(Open(1), static_cast<float>(200.0 + 0.4));
    EXPECT_EQ(17u, d.written.size());
    EXPECT_EQ("G1 F600 Z200.400\n", d.written);
}

// A failed write goes unnoticed and does not block.
TEST_F(SimTest, MoveCommandToAnUnpluggedPrinterReturns)
{
    sim::Device &d = SilentPrinter(1);
    HANDLE port = Open(1);
    d.unplugged = true;
    SendMoveCommand(port, 1.0f);
    EXPECT_EQ("", d.written);
}

/* ============================ Reply framing ============================ */

// Catches a reply read that stops at a line feed, drops the carriage return
// into the next reply, waits past an empty read, overruns its 254-byte
// limit, or stops at a NUL byte.
TEST_F(SimTest, ReplyReadFraming)
{
    struct Case {
        const char *name;
        std::string sent;
        uint64_t sent_at_ms;
        std::vector<size_t> unread_after;  // after each successive reply read
    };
    const Case cases[] = {
        {"ok CR LF: CR ends and is kept", "ok\r\nok\r\n", 0, {5, 1, 0}},
        {"LF does not end a reply", "ok\nok\r", 0, {0}},
        {"ok LF ends at the empty read", "ok\n", 0, {0}},
        {"nothing: one empty read", "", 0, {0}},
        {"NUL and 0xFF are bytes like others",
         std::string("\0\xFF\0ok\r", 6), 0, {0}},
        {"254-byte cap", std::string(254, 'x') + "\r", 0, {1, 0}},
        {"300 bytes without CR", std::string(300, 'x'), 0, {46, 0}},
        {"a reply later than one time-out waits for the next read", "ok\r", 5,
         {3}},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &d = SilentPrinter(1);
        HANDLE port = Open(1);
        d.Send(c.sent, Ms(c.sent_at_ms));
        for (size_t i = 0; i < c.unread_after.size(); i++) {
            ReadPrinterReply(port);
            EXPECT_EQ(c.unread_after[i], d.Unread()) << c.name << ", read " << i;
        }
    }
}

// Every read is bounded by the 2 ms time-out, so a silent printer costs one
// empty read and a reply of n bytes about n byte-times.
TEST_F(SimTest, ReplyReadOnASilentPrinterCostsOneTimeout)
{
    SilentPrinter(1);
    HANDLE port = Open(1);
    ReadPrinterReply(port);
    EXPECT_EQ(Ms(2), sim::world().now_us);
}

TEST_F(SimTest, ReplyReadOnAnUnpluggedPrinterReturnsAtOnce)
{
    sim::Device &d = SilentPrinter(1);
    HANDLE port = Open(1);
    d.unplugged = true;
    d.Send("ok\r", 0);
    ReadPrinterReply(port);
    EXPECT_EQ(0u, sim::world().now_us);
    EXPECT_EQ(1u, sim::world().calls["ReadFile"]);
}

}  // namespace
