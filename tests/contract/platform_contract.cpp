// Runnable statements of the platform calls the tool relies on.
#include "platform_contract.h"

#include "key_record.h"

#include <windows.h>

#include <string.h>

#include <string>

namespace {

struct Contract {
    FILE *out;
    int passed;
    int failed;
};

void Check(Contract &c, bool holds, const char *statement)
{
    if (holds) {
        c.passed++;
    } else {
        c.failed++;
        fprintf(c.out, "FAILED: %s\n", statement);
    }
}

/* =============================== Console =============================== */

COORD Cursor(HANDLE output)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    memset(&info, 0, sizeof(info));
    GetConsoleScreenBufferInfo(output, &info);
    return info.dwCursorPosition;
}

std::string CharsAt(HANDLE output, SHORT x, SHORT y, DWORD n)
{
    char text[64] = {0};
    DWORD read = 0;
    ReadConsoleOutputCharacterA(output, text, n, COORD{x, y}, &read);
    return std::string(text, read);
}

WORD AttrAt(HANDLE output, SHORT x, SHORT y)
{
    WORD attr = 0;
    DWORD read = 0;
    ReadConsoleOutputAttribute(output, &attr, 1, COORD{x, y}, &read);
    return attr;
}

// Text goes at the cursor with the current attribute (grid-line bits
// included), moves the cursor past it and wraps at the right edge; a
// position outside the buffer is refused and leaves the cursor.
void ConsoleOutput(Contract &c)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    Check(c, GetConsoleScreenBufferInfo(out, &info) != 0, "the output handle is a console");
    const SHORT width = info.dwSize.X;
    Check(c, width >= 119 && info.dwSize.Y >= 25, "the console holds 119x25 cells");

    DWORD written = 0;
    Check(c, SetConsoleCursorPosition(out, COORD{static_cast<SHORT>(width - 2), 2}) != 0,
          "the cursor can be placed in the buffer");
    SetConsoleTextAttribute(out, 0x1407);
    Check(c, WriteConsoleA(out, "ab\xE8", 3, &written, NULL) != 0 && written == 3,
          "WriteConsoleA writes all it is given");
    Check(c, CharsAt(out, static_cast<SHORT>(width - 2), 2, 2) == "ab",
          "text lands at the cursor");
    Check(c, CharsAt(out, 0, 3, 1) == "\xE8", "text wraps to the next row, byte for byte");
    Check(c, AttrAt(out, 0, 3) == 0x1407, "cells keep the attribute, grid-line bits included");
    COORD at = Cursor(out);
    Check(c, at.X == 1 && at.Y == 3, "the cursor moves past the text");
    Check(c, SetConsoleCursorPosition(out, COORD{width, 0}) == 0,
          "a column past the edge is refused");
    at = Cursor(out);
    Check(c, at.X == 1 && at.Y == 3, "a refused position leaves the cursor");
    SetConsoleTextAttribute(out, 0x0007);
}

// Records are counted, peeked without removal and read oldest first.
void ConsoleInput(Contract &c)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD n = 99;
    Check(c, GetNumberOfConsoleInputEvents(in, &n) != 0 && n == 0,
          "a fresh console has no pending input");
    const INPUT_RECORD keys[2] = {MakeKeyRecord(VK_UP, TRUE), MakeKeyRecord(VK_UP, FALSE)};
    DWORD written = 0;
    WriteConsoleInputA(in, keys, 2, &written);
    Check(c, GetNumberOfConsoleInputEvents(in, &n) != 0 && n == 2,
          "both records are pending");
    INPUT_RECORD r;
    memset(&r, 0, sizeof(r));
    Check(c, PeekConsoleInputA(in, &r, 1, &n) != 0 && n == 1 &&
                 r.Event.KeyEvent.bKeyDown,
          "peeking shows the oldest record");
    Check(c, GetNumberOfConsoleInputEvents(in, &n) != 0 && n == 2,
          "peeking removes nothing");
    Check(c, ReadConsoleInputA(in, &r, 1, &n) != 0 && n == 1 &&
                 r.EventType == KEY_EVENT && r.Event.KeyEvent.wVirtualKeyCode == VK_UP &&
                 r.Event.KeyEvent.bKeyDown,
          "reading takes the oldest record first");
    Check(c, GetNumberOfConsoleInputEvents(in, &n) != 0 && n == 1,
          "reading removes one record");
    Check(c, ReadConsoleInputA(in, &r, 1, &n) != 0 && !r.Event.KeyEvent.bKeyDown,
          "then the next");
}

/* ============================ Serial port ============================ */

// Reads single bytes until a read brings none or a carriage return came.
std::string ReadUntilQuiet(HANDLE port, bool stop_at_cr)
{
    std::string got;
    for (int i = 0; i < 4096; i++) {
        char byte = 0;
        DWORD n = 0;
        if (!ReadFile(port, &byte, 1, &n, NULL) || n != 1)
            break;
        got += byte;
        if (stop_at_cr && byte == '\r')
            break;
    }
    return got;
}

// Settings from the classic string, 1 ms read time-outs: a read with
// nothing there returns at once with no byte; bytes that came are read one
// by one; a written line reaches the printer.
void SerialPort(Contract &c, const char *path)
{
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    Check(c, port != INVALID_HANDLE_VALUE, "the printer's port opens");
    if (port == INVALID_HANDLE_VALUE)
        return;
    HANDLE absent = CreateFileA("\\\\.\\COM0", GENERIC_READ | GENERIC_WRITE, 0,
                                NULL, OPEN_EXISTING, 0, NULL);
    Check(c, absent == INVALID_HANDLE_VALUE, "a port that does not exist fails to open");

    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    Check(c, BuildCommDCBA("250000,n,8,1", &dcb) != 0, "the settings string is accepted");
    Check(c, dcb.BaudRate == 250000 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY &&
                 dcb.StopBits == ONESTOPBIT,
          "it means 250000 baud, 8 bits, no parity, 1 stop bit");
    SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof(timeouts));
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    Check(c, SetCommTimeouts(port, &timeouts) != 0, "the time-outs are accepted");

    char byte = 0;
    DWORD n = 99;
    const DWORD before = GetTickCount();
    Check(c, ReadFile(port, &byte, 1, &n, NULL) != 0 && n == 0,
          "a read before the printer says anything succeeds with no byte");
    Check(c, GetTickCount() - before < 100, "and returns at once");

    Sleep(700);
    const std::string banner = ReadUntilQuiet(port, false);
    Check(c, banner.size() > 5 && banner[0] == 's', "the banner is read byte by byte");

    const char line[] = "G1 F600 Z1.000\n";
    DWORD written = 0;
    WriteFile(port, line, sizeof(line) - 1, &written, NULL);
    Check(c, written == sizeof(line) - 1, "a move line is written whole");
    Sleep(100);
    Check(c, ReadUntilQuiet(port, true) == "ok\r", "the answer is read up to its CR");
    Check(c, ReadUntilQuiet(port, false) == "\n", "what follows the CR stays for later");

    // The start-up drain's bound reads the tick counter between reads; it
    // must see the time those reads take.
    const DWORD start = GetTickCount();
    for (int i = 0; i < 100; i++)
        ReadFile(port, &byte, 1, &n, NULL);
    const DWORD spent = GetTickCount() - start;
    Check(c, spent >= 100 && spent < 2000,
          "a hundred empty reads take about 2 ms each, by the tick counter");
    if (spent < 100 || spent >= 2000)
        fprintf(c.out, "  (GetTickCount moved by %lu ms)\n", static_cast<unsigned long>(spent));
    CloseHandle(port);
}

}  // namespace

int RunPlatformContract(const char *port, FILE *out)
{
    Contract c = {out, 0, 0};
    ConsoleOutput(c);
    ConsoleInput(c);
    SerialPort(c, port);
    fprintf(out, "contract: %d statements hold, %d do not\n", c.passed, c.failed);
    return c.failed;
}
