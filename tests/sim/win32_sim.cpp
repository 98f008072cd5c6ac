// The simulated Win32 layer behind the test build's <windows.h>.
#include "win32_sim.h"

#include "../contract/key_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

/* ============================== The world ============================== */

static World *g_world = nullptr;

World &world()
{
    if (!g_world)
        Reset();
    return *g_world;
}

void Reset()
{
    delete g_world;
    g_world = new World();
    for (auto &row : g_world->screen)
        for (auto &cell : row)
            cell = Cell{' ', 0x0007};
}

static const uintptr_t kInputHandle = 0x10;
static const uintptr_t kOutputHandle = 0x11;
static const uintptr_t kFirstPortHandle = 0x1000;
static HWND const kWindow = reinterpret_cast<HWND>(0x77);

HANDLE InputHandle() { return reinterpret_cast<HANDLE>(kInputHandle); }
HANDLE OutputHandle() { return reinterpret_cast<HANDLE>(kOutputHandle); }
uint64_t Ms(uint64_t ms) { return ms * 1000; }

static void Log(const std::string &what)
{
    world().log.push_back(LogEntry{world().now_us, what});
}

// Counts a call; returns true when this call was chosen to fail.
static bool Fails(const char *name)
{
    World &w = world();
    unsigned n = ++w.calls[name];
    auto it = w.fail_at.find(name);
    if (it == w.fail_at.end())
        return false;
    return std::find(it->second.begin(), it->second.end(), n) !=
           it->second.end();
}

void FailCall(const std::string &name, unsigned nth)
{
    world().fail_at[name].push_back(nth);
}

// Moves the virtual clock; a program that waits past the stall limit is
// waiting for something that will never come.
static void Advance(uint64_t us)
{
    World &w = world();
    w.now_us += us;
    if (w.now_us > w.stall_after_us)
        throw Stalled("virtual clock passed the stall limit");
}

/* ============================== Devices ============================== */

std::string ComPath(int number)
{
    return "\\\\.\\COM" + std::to_string(number);
}

Device &AddDevice(const std::string &path) { return world().devices[path]; }

void Device::Send(const std::string &bytes, uint64_t at_us)
{
    uint64_t t = std::max(at_us, wire_free_us);
    for (unsigned char byte : bytes) {
        t += kByteTimeUs;
        incoming.emplace_back(t, byte);
    }
    wire_free_us = t;
}

void Device::StreamForever(uint64_t at_us)
{
    streams = true;
    stream_next_us = std::max(at_us, wire_free_us) + kByteTimeUs;
}

static Device *PortDevice(HANDLE handle)
{
    World &w = world();
    auto it = w.port_handles.find(handle);
    return it == w.port_handles.end() ? nullptr : &w.devices[it->second];
}

// Arrival time of the next byte, or UINT64_MAX when none will ever come.
static uint64_t NextArrival(const Device &d)
{
    uint64_t queued = d.incoming.empty() ? UINT64_MAX : d.incoming.front().first;
    uint64_t streamed = d.streams ? d.stream_next_us : UINT64_MAX;
    return std::min(queued, streamed);
}

static unsigned char TakeByte(Device &d)
{
    bool from_queue = !d.incoming.empty() &&
                      (!d.streams || d.incoming.front().first <= d.stream_next_us);
    if (from_queue) {
        unsigned char byte = d.incoming.front().second;
        d.incoming.pop_front();
        return byte;
    }
    d.stream_next_us += kByteTimeUs;
    return 'S';
}

/* ============================== Console ============================== */

static bool IsOutput(HANDLE h) { return h == OutputHandle(); }
static bool IsInput(HANDLE h) { return h == InputHandle(); }

static void ClearScreen()
{
    World &w = world();
    for (auto &row : w.screen)
        for (auto &cell : row)
            cell = Cell{' ', w.attr};
    w.cursor = COORD{0, 0};
}

// Writes bytes at the cursor, wrapping at the right edge and scrolling at
// the bottom, as a console screen buffer does.
static void PutText(const char *text, size_t length)
{
    World &w = world();
    for (size_t i = 0; i < length; i++) {
        w.screen[w.cursor.Y][w.cursor.X] =
            Cell{static_cast<unsigned char>(text[i]), w.attr};
        if (++w.cursor.X == kColumns) {
            w.cursor.X = 0;
            if (++w.cursor.Y == kRows) {
                std::memmove(&w.screen[0], &w.screen[1],
                             sizeof(w.screen) - sizeof(w.screen[0]));
                for (auto &cell : w.screen[kRows - 1])
                    cell = Cell{' ', w.attr};
                w.cursor.Y = kRows - 1;
            }
        }
    }
}

size_t PendingRecords()
{
    World &w = world();
    return std::count_if(w.input.begin(), w.input.end(),
                         [&](const TimedRecord &r) { return r.at_us <= w.now_us; });
}

INPUT_RECORD KeyRecord(WORD key, bool down)
{
    return MakeKeyRecord(key, down ? TRUE : FALSE);
}

INPUT_RECORD OtherRecord(WORD event_type)
{
    INPUT_RECORD r;
    std::memset(&r, 0, sizeof(r));
    r.EventType = event_type;
    return r;
}

void Arrive(uint64_t at_us, const INPUT_RECORD &record)
{
    World &w = world();
    auto pos = std::upper_bound(
        w.input.begin(), w.input.end(), at_us,
        [](uint64_t t, const TimedRecord &r) { return t < r.at_us; });
    w.input.insert(pos, TimedRecord{at_us, record});
}

// Waits (in virtual time) for the oldest record and removes it.
static INPUT_RECORD WaitAndTakeRecord()
{
    World &w = world();
    if (w.input.empty())
        throw Stalled("waiting for an input record that never comes");
    if (w.input.front().at_us > w.now_us)
        Advance(w.input.front().at_us - w.now_us);
    INPUT_RECORD r = w.input.front().record;
    w.input.pop_front();
    return r;
}

std::string TextAt(int column, int row, int length)
{
    std::string s;
    for (int i = 0; i < length; i++)
        s += static_cast<char>(world().screen[row][column + i].ch);
    return s;
}

WORD AttrAt(int column, int row) { return world().screen[row][column].attr; }

}  // namespace sim

using namespace sim;

/* ========================= Console calls ========================= */

HANDLE GetStdHandle(DWORD which)
{
    if (which == STD_INPUT_HANDLE)
        return InputHandle();
    if (which == STD_OUTPUT_HANDLE)
        return OutputHandle();
    return INVALID_HANDLE_VALUE;
}

BOOL SetConsoleCursorPosition(HANDLE output, COORD position)
{
    if (!IsOutput(output) || position.X < 0 || position.Y < 0 ||
        position.X >= kColumns || position.Y >= kRows)
        return FALSE;
    world().cursor = position;
    return TRUE;
}

BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute)
{
    if (!IsOutput(output))
        return FALSE;
    world().attr = attribute;
    return TRUE;
}

BOOL WriteConsoleA(HANDLE output, const void *text, DWORD length,
                   DWORD *written, void *reserved)
{
    (void)reserved;
    if (!IsOutput(output))
        return FALSE;
    const COORD at = world().cursor;
    std::string bytes(static_cast<const char *>(text), length);
    Log("WriteConsoleA " + std::to_string(at.X) + "," + std::to_string(at.Y) +
        " " + bytes);
    PutText(bytes.data(), bytes.size());
    if (written)
        *written = length;
    return TRUE;
}

BOOL SetConsoleTitleA(LPCSTR title)
{
    world().title = title;
    return TRUE;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD *count)
{
    if (Fails("GetNumberOfConsoleInputEvents") || !IsInput(input))
        return FALSE;
    *count = static_cast<DWORD>(PendingRecords());
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD *records, DWORD length,
                       DWORD *read)
{
    if (Fails("ReadConsoleInputA") || !IsInput(input) || length == 0)
        return FALSE;
    // A read with nothing pending blocks until a record arrives.
    records[0] = WaitAndTakeRecord();
    *read = 1;
    return TRUE;
}

BOOL PeekConsoleInputA(HANDLE input, INPUT_RECORD *records, DWORD length,
                       DWORD *read)
{
    if (!IsInput(input))
        return FALSE;
    World &w = world();
    w.peeks++;
    Log("PeekConsoleInputA");
    DWORD n = 0;
    for (const TimedRecord &r : w.input)
        if (n < length && r.at_us <= w.now_us)
            records[n++] = r.record;
    *read = n;
    return TRUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    if (!IsOutput(output))
        return FALSE;
    const World &w = world();
    std::memset(info, 0, sizeof(*info));
    info->dwSize = COORD{kColumns, kRows};
    info->dwCursorPosition = w.cursor;
    info->wAttributes = w.attr;
    info->srWindow = SMALL_RECT{0, 0, kColumns - 1, kRows - 1};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

// Visits the cells from `from` on, row by row, up to the buffer's end.
template <typename Visit>
static DWORD ForCells(COORD from, DWORD length, Visit visit)
{
    DWORD n = 0;
    int x = from.X, y = from.Y;
    while (n < length && y < kRows) {
        visit(n++, world().screen[y][x]);
        if (++x == kColumns) {
            x = 0;
            y++;
        }
    }
    return n;
}

BOOL ReadConsoleOutputCharacterA(HANDLE output, char *text, DWORD length,
                                 COORD from, DWORD *read)
{
    if (!IsOutput(output) || from.X >= kColumns || from.Y >= kRows)
        return FALSE;
    *read = ForCells(from, length, [&](DWORD i, const Cell &c) {
        text[i] = static_cast<char>(c.ch);
    });
    return TRUE;
}

BOOL ReadConsoleOutputAttribute(HANDLE output, WORD *attrs, DWORD length,
                                COORD from, DWORD *read)
{
    if (!IsOutput(output) || from.X >= kColumns || from.Y >= kRows)
        return FALSE;
    *read = ForCells(from, length, [&](DWORD i, const Cell &c) { attrs[i] = c.attr; });
    return TRUE;
}

BOOL WriteConsoleInputA(HANDLE input, const INPUT_RECORD *records, DWORD length,
                        DWORD *written)
{
    if (!IsInput(input))
        return FALSE;
    for (DWORD i = 0; i < length; i++)
        Arrive(world().now_us, records[i]);
    *written = length;
    return TRUE;
}

/* ========================= Window calls ========================= */

HWND GetConsoleWindow(void) { return world().has_window ? kWindow : nullptr; }

LONG GetWindowLongA(HWND window, int index)
{
    if (window != kWindow || index != GWL_STYLE)
        return 0;
    return world().style;
}

LONG SetWindowLongA(HWND window, int index, LONG value)
{
    if (window != kWindow || index != GWL_STYLE)
        return 0;
    LONG previous = world().style;
    world().style = value;
    return previous;
}

/* ===================== Serial and file calls ===================== */

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share,
                   SECURITY_ATTRIBUTES *security, DWORD disposition,
                   DWORD flags, HANDLE templ)
{
    (void)security;
    (void)flags;
    (void)templ;
    World &w = world();
    w.open_attempts.push_back(path);
    Log(std::string("CreateFileA ") + path);
    auto it = w.devices.find(path);
    if (it == w.devices.end() || disposition != OPEN_EXISTING)
        return INVALID_HANDLE_VALUE;
    Device &d = it->second;
    // No sharing: a device open anywhere else cannot be opened again.
    if (d.busy || d.open || share != 0)
        return INVALID_HANDLE_VALUE;
    if (access != (GENERIC_READ | GENERIC_WRITE))
        return INVALID_HANDLE_VALUE;
    d.open = true;
    HANDLE h = reinterpret_cast<HANDLE>(kFirstPortHandle + w.port_handles.size());
    while (w.port_handles.count(h))
        h = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(h) + 1);
    w.port_handles[h] = path;
    return h;
}

// Accepts the classic "baud,parity,data,stop" form.
BOOL BuildCommDCBA(LPCSTR settings, DCB *dcb)
{
    if (Fails("BuildCommDCBA"))
        return FALSE;
    unsigned long baud = 0;
    char parity = 0;
    unsigned data = 0;
    char stop[4] = {0};
    int end = 0;
    if (std::sscanf(settings, "%lu,%c,%u,%3[0-9.]%n", &baud, &parity, &data,
                    stop, &end) != 4 ||
        settings[end] != '\0')
        return FALSE;
    static const char kParities[] = "noems";
    const char *p = std::strchr(kParities, parity | 0x20);
    if (!p || parity == 0 || data < 5 || data > 8)
        return FALSE;
    BYTE stop_bits;
    if (std::strcmp(stop, "1") == 0)
        stop_bits = ONESTOPBIT;
    else if (std::strcmp(stop, "1.5") == 0)
        stop_bits = ONE5STOPBITS;
    else if (std::strcmp(stop, "2") == 0)
        stop_bits = TWOSTOPBITS;
    else
        return FALSE;
    dcb->BaudRate = static_cast<DWORD>(baud);
    dcb->Parity = static_cast<BYTE>(p - kParities);
    dcb->ByteSize = static_cast<BYTE>(data);
    dcb->StopBits = stop_bits;
    return TRUE;
}

BOOL SetCommState(HANDLE port, DCB *dcb)
{
    Device *d = PortDevice(port);
    Log("SetCommState");
    if (!d || d->refuses_state || dcb->DCBlength != sizeof(DCB))
        return FALSE;
    d->dcb = *dcb;
    d->dcb_applied = true;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts)
{
    Device *d = PortDevice(port);
    if (!d)
        return FALSE;
    d->timeouts = *timeouts;
    d->timeouts_applied = true;
    return TRUE;
}

// One read waits for its bytes no longer than the total read time-out
// (multiplier per byte plus constant). Without any time-out it waits for
// ever, which the simulation reports as a stall.
BOOL ReadFile(HANDLE file, void *buffer, DWORD length, DWORD *read,
              OVERLAPPED *overlapped)
{
    (void)overlapped;
    Device *d = PortDevice(file);
    if (read)
        *read = 0;
    if (Fails("ReadFile") || !d || d->unplugged)
        return FALSE;
    const COMMTIMEOUTS &t = d->timeouts;
    const bool waits_forever = t.ReadIntervalTimeout == 0 &&
                               t.ReadTotalTimeoutMultiplier == 0 &&
                               t.ReadTotalTimeoutConstant == 0;
    const uint64_t total_us =
        Ms(uint64_t(t.ReadTotalTimeoutMultiplier) * length +
           t.ReadTotalTimeoutConstant);
    unsigned char *out = static_cast<unsigned char *>(buffer);
    DWORD got = 0;
    const uint64_t deadline = world().now_us + total_us;
    while (got < length) {
        uint64_t arrival = NextArrival(*d);
        if (arrival == UINT64_MAX && waits_forever)
            throw Stalled("ReadFile without time-outs on a silent device");
        if (!waits_forever && arrival > deadline) {
            Advance(deadline - world().now_us);
            break;
        }
        if (arrival > world().now_us)
            Advance(arrival - world().now_us);
        out[got++] = TakeByte(*d);
    }
    if (read)
        *read = got;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD length, DWORD *written,
               OVERLAPPED *overlapped)
{
    (void)overlapped;
    Device *d = PortDevice(file);
    if (written)
        *written = 0;
    if (Fails("WriteFile") || !d || d->unplugged)
        return FALSE;
    std::string bytes(static_cast<const char *>(buffer), length);
    Log("WriteFile " + world().port_handles[file] + " " + bytes);
    d->written += bytes;
    d->write_times_us.push_back(world().now_us);
    if (written)
        *written = length;
    if (d->on_write)
        d->on_write(*d, bytes);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    World &w = world();
    if (IsInput(handle)) {
        Log("CloseHandle input");
        return TRUE;
    }
    if (IsOutput(handle)) {
        Log("CloseHandle output");
        return TRUE;
    }
    auto it = w.port_handles.find(handle);
    if (it == w.port_handles.end()) {
        Log("CloseHandle unknown");
        return FALSE;
    }
    Log("CloseHandle " + it->second);
    w.devices[it->second].open = false;
    w.port_handles.erase(it);
    return TRUE;
}

/* ============================= Time ============================= */

void Sleep(DWORD milliseconds) { Advance(Ms(milliseconds)); }

DWORD GetTickCount(void)
{
    return static_cast<DWORD>(world().tick_base + world().now_us / 1000);
}

/* ===================== The command interpreter ===================== */

// Replaces the C library's system() in the test programs: commands are
// recorded and their effect on the console imitated; nothing is run.
extern "C" int system(const char *command)
{
    World &w = world();
    if (!command)
        return 0;  // "no command interpreter" is never asked for
    w.commands.push_back(command);
    Log(std::string("system ") + command);
    std::string c = command;
    if (c == "chcp 28591") {
        w.code_page = 28591;
        const char msg[] = "Active code page: 28591";
        PutText(msg, sizeof(msg) - 1);
    } else if (c == "cls") {
        ClearScreen();
    } else if (c.rfind("pause", 0) == 0) {
        // pause returns on a key press; other records are used up on the way.
        for (;;) {
            INPUT_RECORD r = WaitAndTakeRecord();
            if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown)
                break;
        }
    }
    return 0;
}
