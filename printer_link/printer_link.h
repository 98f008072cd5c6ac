// Printer serial link: finds the printer's port, sets the line up, waits for
// the printer to start, and carries move commands and their replies.
// Routines that can fail return 1 on success and -1 on failure.
#ifndef VADOR_PRINTER_LINK_H
#define VADOR_PRINTER_LINK_H

#include <windows.h>

// Tries COM0 to COM20 in order and keeps the first that opens.
// Returns 1 with its handle in *port, or -1 with INVALID_HANDLE_VALUE there.
int FindPrinterPort(HANDLE *port);

// Opens the device path name and sets 250000 baud 8N1 and 1 ms read
// time-outs. Returns 1 with the handle in *port; -1 with INVALID_HANDLE_VALUE
// in *port when the device does not open or its settings string is refused.
int OpenPrinterPort(HANDLE *port, const char *name);

// Gives the printer its start-up time, then discards what it printed while
// starting (for at most three seconds of reading).
void WaitForPrinter(HANDLE port);

// Sends one "G1 F600 Z<height>" line.
void SendMoveCommand(HANDLE port, float height);

// Reads one reply (up to a carriage return, a read that brings nothing, or
// 254 bytes) and discards it.
void ReadPrinterReply(HANDLE port);

#endif
