// Test build only: the few Win32 types, constants and calls that the tool
// uses, declared for Linux and implemented by the simulation in
// tests/sim/win32_sim.cpp. Written from the documented behaviour of each
// call; only what the tool needs is here. This header shadows <windows.h>
// when the production sources are compiled for the tests.
#ifndef VADOR_SIM_WINDOWS_H
#define VADOR_SIM_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

/* ================================ Types ================================ */

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD; // 32 bits, as on Windows
typedef int32_t LONG;
typedef short SHORT;
typedef char CHAR;
typedef unsigned short WCHAR;
typedef void *HANDLE;
typedef struct SimWindow *HWND;
typedef const char *LPCSTR;
typedef struct SimOverlapped OVERLAPPED;
typedef struct SimSecurityAttributes SECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* =============================== Console =============================== */

typedef struct {
    SHORT X;
    SHORT Y;
} COORD;

typedef struct {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        CHAR AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

typedef struct {
    COORD dwMousePosition;
    DWORD dwButtonState;
    DWORD dwControlKeyState;
    DWORD dwEventFlags;
} MOUSE_EVENT_RECORD;

typedef struct {
    COORD dwSize;
} WINDOW_BUFFER_SIZE_RECORD;

typedef struct {
    unsigned int dwCommandId;
} MENU_EVENT_RECORD;

typedef struct {
    BOOL bSetFocus;
} FOCUS_EVENT_RECORD;

typedef struct {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        MOUSE_EVENT_RECORD MouseEvent;
        WINDOW_BUFFER_SIZE_RECORD WindowBufferSizeEvent;
        MENU_EVENT_RECORD MenuEvent;
        FOCUS_EVENT_RECORD FocusEvent;
    } Event;
} INPUT_RECORD;

#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define WINDOW_BUFFER_SIZE_EVENT 0x0004
#define MENU_EVENT 0x0008
#define FOCUS_EVENT 0x0010

#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_UP 0x26
#define VK_DOWN 0x28

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)

#define FOREGROUND_BLUE 0x0001
#define FOREGROUND_GREEN 0x0002
#define FOREGROUND_RED 0x0004
#define FOREGROUND_INTENSITY 0x0008
#define COMMON_LVB_GRID_HORIZONTAL 0x0400
#define COMMON_LVB_GRID_LVERTICAL 0x0800
#define COMMON_LVB_GRID_RVERTICAL 0x1000

typedef struct {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
} SMALL_RECT;

typedef struct {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
} CONSOLE_SCREEN_BUFFER_INFO;

HANDLE GetStdHandle(DWORD which);
BOOL SetConsoleCursorPosition(HANDLE output, COORD position);
BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute);
BOOL WriteConsoleA(HANDLE output, const void *text, DWORD length,
                   DWORD *written, void *reserved);
BOOL SetConsoleTitleA(LPCSTR title);
BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD *count);
BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD *records, DWORD length,
                       DWORD *read);
BOOL PeekConsoleInputA(HANDLE input, INPUT_RECORD *records, DWORD length,
                       DWORD *read);

// Used by the tests only, to state what the calls above do.
BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO *info);
BOOL ReadConsoleOutputCharacterA(HANDLE output, char *text, DWORD length,
                                 COORD from, DWORD *read);
BOOL ReadConsoleOutputAttribute(HANDLE output, WORD *attrs, DWORD length,
                                COORD from, DWORD *read);
BOOL WriteConsoleInputA(HANDLE input, const INPUT_RECORD *records, DWORD length,
                        DWORD *written);

/* =============================== Window =============================== */

#define GWL_STYLE (-16)
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_THICKFRAME 0x00040000L

HWND GetConsoleWindow(void);
LONG GetWindowLongA(HWND window, int index);
LONG SetWindowLongA(HWND window, int index, LONG value);

/* ============================ Serial and files ============================ */

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// Only the line-setting fields that the tool relies on.
typedef struct {
    DWORD DCBlength;
    DWORD BaudRate;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
} DCB;

typedef struct {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share,
                   SECURITY_ATTRIBUTES *security, DWORD disposition,
                   DWORD flags, HANDLE templ);
BOOL BuildCommDCBA(LPCSTR settings, DCB *dcb);
BOOL SetCommState(HANDLE port, DCB *dcb);
BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
BOOL ReadFile(HANDLE file, void *buffer, DWORD length, DWORD *read,
              OVERLAPPED *overlapped);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD length, DWORD *written,
               OVERLAPPED *overlapped);
BOOL CloseHandle(HANDLE handle);

/* ================================ Time ================================ */

void Sleep(DWORD milliseconds);
DWORD GetTickCount(void);

#endif
