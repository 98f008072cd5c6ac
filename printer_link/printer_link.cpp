// Printer serial link.
//
// The printer's firmware takes G-code lines at 250000 baud. Every read is a
// single byte under 1 ms time-outs, so no read waits more than about 2 ms and
// the input loop never blocks on the printer. Replies are read but never
// interpreted.
#include "printer_link.h"

#include <stdio.h>
#include <string.h>

/* ============================== Constants ============================== */

static const char kPortPrefix[] = "\\\\.\\COM";
static const unsigned short kLastPortNumber = 20;
static const char kLineSettings[] = "250000,n,8,1";

// The printer resets when the port opens and needs about two seconds.
static const DWORD kStartupWaitMs = 2222;
// A device that never pauses must not hold up the start: the drain stops
// reading after this long, and what remains is left for the reply reads.
static const DWORD kDrainLimitMs = 3000;

static const char kCarriageReturn = 0x0D;
static const size_t kReplyLimit = 254; // the 255th byte stays zero

/* ============================= Port search ============================= */

int FindPrinterPort(HANDLE *port)
{
    char name[20];
    for (unsigned short number = 0; number <= kLastPortNumber; number++) {
        memset(name, 0, sizeof(name));
        snprintf(name, sizeof(name), "%s%hu", kPortPrefix, number);
        if (OpenPrinterPort(port, name) > 0)
            return 1;
    }
    return -1;
}

int OpenPrinterPort(HANDLE *port, const char *name)
{
    *port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                        OPEN_EXISTING, 0, NULL);
    if (*port == INVALID_HANDLE_VALUE)
        return -1;

    DCB settings;
    memset(&settings, 0, sizeof(settings));
    settings.DCBlength = sizeof(settings);
    if (!BuildCommDCBA(kLineSettings, &settings)) {
        // Not our port after all: let it go before the next one is tried.
        CloseHandle(*port);
        *port = INVALID_HANDLE_VALUE;
        return -1;
    }
    // A port that refuses the settings or the time-outs is still taken.
    SetCommState(*port, &settings);

    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof(timeouts));
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    SetCommTimeouts(*port, &timeouts);
    return 1;
}

/* =============================== Reading =============================== */

// Reads one byte into *byte. Returns 1 when a byte arrived, -1 when the read
// failed or timed out empty.
static int ReadOneByte(HANDLE port, char *byte)
{
    DWORD got = 0;
    if (!ReadFile(port, byte, 1, &got, NULL) || got != 1)
        return -1;
    return 1;
}

void WaitForPrinter(HANDLE port)
{
    Sleep(kStartupWaitMs);
    DWORD start = GetTickCount();
    char byte = 0;
    // Unsigned difference: correct across the tick counter's wrap.
    while (GetTickCount() - start < kDrainLimitMs &&
           ReadOneByte(port, &byte) > 0) {
    }
}

void ReadPrinterReply(HANDLE port)
{
    char reply[255];
    memset(reply, 0, sizeof(reply));
    size_t stored = 0;
    for (;;) {
        int arrived = ReadOneByte(port, &reply[stored]);
        stored++;
        if (arrived < 0 || reply[stored - 1] == kCarriageReturn ||
            stored == kReplyLimit)
            break;
    }
}

/* =============================== Writing =============================== */

void SendMoveCommand(HANDLE port, float height)
{
    char line[255];
    DWORD written = 0;
    memset(line, 0, sizeof(line));
    snprintf(line, sizeof(line), "G1 F600 Z%.3f\n", (double)height);
    WriteFile(port, line, (DWORD)strlen(line), &written, NULL);
}
