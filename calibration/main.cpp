// Vador calibration: the entry point and the input loop.
//
// Draws the screen, finds the printer, and turns each press of the up or down
// arrow into a 0.4 step of the nozzle height: one move line to the printer,
// one reply read, the readout and the nozzle drawing updated. The space bar
// ends the run. All state lives here and is passed down.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "console_screen/console_screen.h"
#include "printer_link/printer_link.h"

/* ============================== Constants ============================== */

static const float kStartHeight = 200.0f;
static const double kStep = 0.4;
static const SHORT kFrameTop = 5;
static const SHORT kIndicatorStartRow = 7; // the carriage bar's row
static const DWORD kPollMs = 10;

/* ================================ Height ================================ */

// Returns the height one step up (direction 1) or down (-1). The step is
// computed in double and the result kept in single precision, every time.
static float StepHeight(float height, int direction)
{
    return (float)((double)height + direction * kStep);
}

/* ================================ Input ================================ */

// Takes the oldest input record, but only while a second one is pending
// behind it. Returns 1 with the record in *record, -1 when none was taken.
static int TakePendingRecord(HANDLE input, INPUT_RECORD *record)
{
    DWORD pending = 0;
    DWORD taken = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending) || pending < 2)
        return -1;
    if (!ReadConsoleInputA(input, record, 1, &taken) || taken != 1)
        return -1;
    return 1;
}

// Some consoles only start reading the keyboard once the program has looked
// at its input; counting pending records alone does not count as looking.
// Peeking removes nothing.
static void StartKeyboard(HANDLE input)
{
    INPUT_RECORD record;
    DWORD seen = 0;
    memset(&record, 0, sizeof(record));
    PeekConsoleInputA(input, &record, 1, &seen);
}

/* ============================== Input loop ============================== */

// One step of the height: the printer moves first, then the screen follows.
static void MakeStep(HANDLE output, HANDLE port, float height, SHORT *row)
{
    SendMoveCommand(port, height);
    ReadPrinterReply(port);
    ShowHeight(output, height);
    AdvanceNozzleIndicator(output, row);
}

// Turns key presses into height steps until a press of the space bar.
// Key releases are consumed and do nothing, so the printer always stays at
// the height last shown, also when the run ends.
static void RunInputLoop(HANDLE input, HANDLE output, HANDLE port,
                         float *height, SHORT *row)
{
    INPUT_RECORD record;
    StartKeyboard(input);
    for (;;) {
        memset(&record, 0, sizeof(record));
        if (TakePendingRecord(input, &record) < 0) {
            Sleep(kPollMs);
            continue;
        }
        if (record.EventType != KEY_EVENT) {
            Sleep(kPollMs);
            Sleep(kPollMs);
            continue;
        }
        if (!record.Event.KeyEvent.bKeyDown)
            continue;
        WORD key = record.Event.KeyEvent.wVirtualKeyCode;
        if (key == VK_SPACE)
            return;
        if (key != VK_UP && key != VK_DOWN)
            continue;
        *height = StepHeight(*height, key == VK_UP ? 1 : -1);
        MakeStep(output, port, *height, row);
        Sleep(kPollMs);
        Sleep(kPollMs);
    }
}

/* ================================= Main ================================= */

// Returns 0 on every path; arguments are ignored.
int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    float height = kStartHeight;
    HANDLE port = INVALID_HANDLE_VALUE;

    PrepareConsole();
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DrawFrame(output, kFrameTop);
    DrawStartScreen(output);

    if (FindPrinterPort(&port) < 0) {
        ShowPortError(output);
        system("pause > NUL");
    } else {
        WaitForPrinter(port);
        DrawBed(output);
        SHORT row = kIndicatorStartRow;
        RunInputLoop(input, output, port, &height, &row);
    }

    CloseHandle(input);
    CloseHandle(output);
    if (port != INVALID_HANDLE_VALUE) // nothing to close without a port
        CloseHandle(port);
    return 0;
}
