// The simulated platform itself: what each call does, stated as runnable
// checks, so that the other tests rest on a faithful model.
#include "harness.h"

#include <cstring>

namespace {

using sim::Ms;

HANDLE OpenWithTimeouts(int com, DWORD interval, DWORD multiplier, DWORD constant)
{
    HANDLE h = CreateFileA(sim::ComPath(com).c_str(), GENERIC_READ | GENERIC_WRITE,
                           0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    SetCommTimeouts(h, &t);
    return h;
}

// A one-byte read returns at once when a byte is waiting, waits for a byte
// that arrives within the time-out, and otherwise returns 0 bytes after
// multiplier + constant milliseconds.
TEST_F(SimTest, ReadFileHonoursTheTotalTimeout)
{
    sim::Device &d = sim::AddDevice(sim::ComPath(1));
    HANDLE h = OpenWithTimeouts(1, 1, 1, 1);
    char byte = 0;
    DWORD got = 99;

    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(Ms(2), sim::world().now_us);

    d.Send("ab", Ms(3));  // arrives at 3.04 and 3.08 ms
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ(1u, got);
    EXPECT_EQ('a', byte);
    EXPECT_EQ(Ms(3) + 40, sim::world().now_us);
    ASSERT_TRUE(ReadFile(h, &byte, 1, &got, nullptr));
    EXPECT_EQ('b', byte);
    EXPECT_EQ(Ms(3) + 80, sim::world().now_us);
}

TEST_F(SimTest, ReadFileWithoutTimeoutsOnASilentDeviceStalls)
{
    sim::AddDevice(sim::ComPath(1));
    HANDLE h = OpenWithTimeouts(1, 0, 0, 0);
    char byte = 0;
    DWORD got = 0;
    EXPECT_THROW(ReadFile(h, &byte, 1, &got, nullptr), sim::Stalled);
}

// A port opened without sharing cannot be opened a second time until it is
// closed; a path with no device never opens.
TEST_F(SimTest, CreateFileOpensEachPortOnce)
{
    sim::AddDevice(sim::ComPath(2));
    const char *path = "\\\\.\\COM2";
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    HANDLE a = CreateFileA(path, rw, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, a);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(path, rw, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(CloseHandle(a));
    HANDLE b = CreateFileA(path, rw, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, b);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA("\\\\.\\COM3", rw, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The settings string is "baud,parity,data,stop"; anything else is refused.
TEST_F(SimTest, BuildCommDcbParsesTheClassicSettingsString)
{
    struct Case {
        const char *settings;
        BOOL ok;
        DWORD baud;
        BYTE parity, data, stop;
    };
    const Case cases[] = {
        {"250000,n,8,1", TRUE, 250000, NOPARITY, 8, ONESTOPBIT},
        {"9600,E,7,2", TRUE, 9600, EVENPARITY, 7, TWOSTOPBITS},
        {"115200,o,8,1.5", TRUE, 115200, ODDPARITY, 8, ONE5STOPBITS},
        {"250000,n,9,1", FALSE, 0, 0, 0, 0},
        {"250000,q,8,1", FALSE, 0, 0, 0, 0},
        {"250000,n,8", FALSE, 0, 0, 0, 0},
        {"250000,n,8,1,x", FALSE, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        DCB dcb;
        std::memset(&dcb, 0, sizeof(dcb));
        EXPECT_EQ(c.ok, BuildCommDCBA(c.settings, &dcb)) << c.settings;
        EXPECT_EQ(c.baud, dcb.BaudRate) << c.settings;
        EXPECT_EQ(c.parity, dcb.Parity) << c.settings;
        EXPECT_EQ(c.data, dcb.ByteSize) << c.settings;
        EXPECT_EQ(c.stop, dcb.StopBits) << c.settings;
    }
}

// Writes go at the cursor with the current attribute, move the cursor past
// the text and wrap at the right edge; a cursor outside the buffer is
// refused and leaves the cursor where it was.
TEST_F(SimTest, ConsoleWritesAtTheCursorWithTheCurrentAttribute)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    ASSERT_TRUE(SetConsoleCursorPosition(out, COORD{118, 2}));
    SetConsoleTextAttribute(out, 0x001E);
    ASSERT_TRUE(WriteConsoleA(out, "abc", 3, &written, nullptr));
    EXPECT_EQ(3u, written);
    EXPECT_EQ("ab", sim::TextAt(118, 2, 2));
    EXPECT_EQ("c", sim::TextAt(0, 3, 1));
    EXPECT_EQ(0x001E, sim::AttrAt(0, 3));
    EXPECT_EQ(1, sim::world().cursor.X);
    EXPECT_FALSE(SetConsoleCursorPosition(out, COORD{120, 0}));
    EXPECT_FALSE(SetConsoleCursorPosition(out, COORD{0, -1}));
    EXPECT_EQ(1, sim::world().cursor.X);
    EXPECT_EQ(3, sim::world().cursor.Y);
}

// Only records whose time has come are pending; reading takes the oldest.
TEST_F(SimTest, InputRecordsArriveAtTheirTime)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    sim::Arrive(Ms(20), sim::KeyRecord(VK_UP, false));
    sim::Arrive(Ms(10), sim::KeyRecord(VK_UP, true));
    DWORD n = 99;
    ASSERT_TRUE(GetNumberOfConsoleInputEvents(in, &n));
    EXPECT_EQ(0u, n);
    Sleep(15);
    ASSERT_TRUE(GetNumberOfConsoleInputEvents(in, &n));
    EXPECT_EQ(1u, n);

    INPUT_RECORD r;
    ASSERT_TRUE(PeekConsoleInputA(in, &r, 1, &n));
    EXPECT_EQ(1u, n);
    EXPECT_TRUE(r.Event.KeyEvent.bKeyDown);
    ASSERT_TRUE(ReadConsoleInputA(in, &r, 1, &n));
    EXPECT_TRUE(r.Event.KeyEvent.bKeyDown);
    ASSERT_TRUE(GetNumberOfConsoleInputEvents(in, &n));
    EXPECT_EQ(0u, n);
}

// system() runs nothing: it records the command and imitates its effect.
TEST_F(SimTest, SystemRecordsCommandsAndPauseWaitsForAKeyPress)
{
    sim::Arrive(Ms(100), sim::OtherRecord(FOCUS_EVENT));
    sim::Arrive(Ms(200), sim::KeyRecord('X', false));
    sim::Arrive(Ms(300), sim::KeyRecord('X', true));
    EXPECT_EQ(0, system("pause > NUL"));
    EXPECT_EQ(Ms(300), sim::world().now_us);
    EXPECT_EQ(std::vector<std::string>{"pause > NUL"}, sim::world().commands);
}

}  // namespace
