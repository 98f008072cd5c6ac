// Console screen: the window, the frame, the fixed French texts, the height
// readout and the nozzle drawing. Keeps no state; every routine draws on the
// output handle it is given.
#ifndef VADOR_CONSOLE_SCREEN_H
#define VADOR_CONSOLE_SCREEN_H

#include <windows.h>

// Code page 28591, cleared screen, a window that cannot be resized or
// maximised, and the window title. Works on the console of the process.
void PrepareConsole(void);

// Grid-line frame around columns 1 to 118 and rows top to top + 18.
void DrawFrame(HANDLE output, SHORT top);

// Screen title, height label, key help and carriage bar.
void DrawStartScreen(HANDLE output);

// The line that says no serial port was found.
void ShowPortError(HANDLE output);

// The bed mark under the nozzle column, and its caption.
void DrawBed(HANDLE output);

// Blanks the readout field and writes the height in bright white.
void ShowHeight(HANDLE output, float height);

// One more step of the nozzle drawing; *row is the row of the last "V"
// written (7 before the first step) and is updated.
void AdvanceNozzleIndicator(HANDLE output, SHORT *row);

#endif
