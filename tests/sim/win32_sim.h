// The simulated Win32 world that the tests set up and inspect: one console
// (screen cells, cursor, attribute, title, window style, timed input queue),
// serial devices keyed by path, a virtual clock, and recorded shell commands.
// Nothing real happens: no shell runs, no device opens, no time passes.
#ifndef VADOR_WIN32_SIM_H
#define VADOR_WIN32_SIM_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

const int kColumns = 120;
const int kRows = 30;
// One byte on a 250000 baud 8N1 line: ten bits of 4 µs.
const uint64_t kByteTimeUs = 40;

// Thrown when the program would wait for something that never comes
// (a key that is never pressed, a read with no time-out), so that a faulty
// run fails its test instead of hanging it.
struct Stalled : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Cell {
    unsigned char ch;
    WORD attr;
};

struct TimedRecord {
    uint64_t at_us;
    INPUT_RECORD record;
};

struct Device;
// Called after every write to the device with the bytes written.
using WriteHook = std::function<void(Device &, const std::string &)>;

struct Device {
    bool busy = false;           // held open by another program
    bool refuses_state = false;  // SetCommState fails (e.g. no 250000 baud)
    bool unplugged = false;      // reads and writes fail
    bool open = false;
    // Bytes on their way to the program, with their arrival times.
    std::deque<std::pair<uint64_t, unsigned char>> incoming;
    uint64_t wire_free_us = 0;
    // An endless stream of bytes, one every kByteTimeUs from stream_from_us.
    bool streams = false;
    uint64_t stream_next_us = 0;
    std::string written;  // every byte the program wrote, in order
    std::vector<uint64_t> write_times_us;
    DCB dcb{};
    bool dcb_applied = false;
    COMMTIMEOUTS timeouts{};
    bool timeouts_applied = false;
    WriteHook on_write;

    // Puts bytes on the wire from at_us on; each takes kByteTimeUs and they
    // queue behind whatever is still on its way.
    void Send(const std::string &bytes, uint64_t at_us);
    // Starts an endless stream of bytes from at_us on.
    void StreamForever(uint64_t at_us);
    // Bytes sent but not yet read by the program.
    size_t Unread() const { return incoming.size(); }
};

struct LogEntry {
    uint64_t at_us;
    std::string what;
};

struct World {
    uint64_t now_us = 0;
    uint64_t stall_after_us = 3600ull * 1000 * 1000;  // one virtual hour
    DWORD tick_base = 0;  // GetTickCount at time zero

    Cell screen[kRows][kColumns];
    COORD cursor{0, 0};
    WORD attr = 0x0007;
    std::string title;
    bool has_window = true;
    LONG style = 0x00CF0000;  // an ordinary overlapped window
    unsigned code_page = 437;

    std::deque<TimedRecord> input;
    size_t peeks = 0;

    std::map<std::string, Device> devices;
    std::map<HANDLE, std::string> port_handles;
    std::vector<std::string> open_attempts;  // every path given to CreateFileA

    std::vector<std::string> commands;  // every system() command line
    std::vector<LogEntry> log;

    // Fault injection: the Nth call (counted from 1) of a named call fails.
    std::map<std::string, std::vector<unsigned>> fail_at;
    std::map<std::string, unsigned> calls;
};

// The one simulated world; Reset() gives a fresh one (blank screen, time 0).
World &world();
void Reset();

// Handles the console hands out.
HANDLE InputHandle();
HANDLE OutputHandle();

// "\\.\COMn", as the program names serial ports.
std::string ComPath(int number);
Device &AddDevice(const std::string &path);

// Input records arriving at a virtual time.
INPUT_RECORD KeyRecord(WORD key, bool down);
INPUT_RECORD OtherRecord(WORD event_type);
void Arrive(uint64_t at_us, const INPUT_RECORD &record);
size_t PendingRecords();  // arrived and not yet read

// Makes the Nth call (from 1) of the named call fail.
void FailCall(const std::string &name, unsigned nth);

// Screen inspection.
std::string TextAt(int column, int row, int length);
WORD AttrAt(int column, int row);

uint64_t Ms(uint64_t ms);  // milliseconds in µs

}  // namespace sim

#endif
