// Console screen: everything the operator sees.
//
// The screen is laid out for a buffer of at least 119 columns and 25 rows.
// Texts are single-byte ISO 8859-1 (code page 28591) and are always written
// with their exact length.
#include "console_screen.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ========================= Attributes and layout ========================= */

static const WORD kTitleAttr = FOREGROUND_RED | FOREGROUND_GREEN;
static const WORD kTextAttr = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
static const WORD kValueAttr = kTextAttr | FOREGROUND_INTENSITY;
static const WORD kEdgeTopBottom = kTextAttr | COMMON_LVB_GRID_HORIZONTAL;
static const WORD kCornerTopLeft =
    kTextAttr | COMMON_LVB_GRID_HORIZONTAL | COMMON_LVB_GRID_LVERTICAL;
static const WORD kCornerTopRight =
    kTextAttr | COMMON_LVB_GRID_HORIZONTAL | COMMON_LVB_GRID_RVERTICAL;
static const WORD kEdgeRight = kTextAttr | COMMON_LVB_GRID_RVERTICAL;
static const WORD kEdgeLeft = kTextAttr | COMMON_LVB_GRID_LVERTICAL;

static const SHORT kFrameLeft = 1;
static const SHORT kFrameRight = 118;
static const SHORT kFrameSideRows = 18;

// One fixed text: where it starts and its exact bytes.
struct ScreenText {
    SHORT column;
    SHORT row;
    const char *text;
    DWORD length;
};

#define SCREEN_TEXT(column, row, literal) \
    { column, row, literal, (DWORD)(sizeof(literal) - 1) }

static const ScreenText kTitle =
    SCREEN_TEXT(37, 3, "Brindlemoxagon - Ziviveri Dodov Raderu");
static const ScreenText kStartTexts[] = {
    SCREEN_TEXT(3, 6, "Point de calibrage:        "),
    SCREEN_TEXT(3, 8, "Fl\xE8" "che haut:   monter"),
    SCREEN_TEXT(3, 9, "Fl\xE8" "che bas:    descendre"),
    SCREEN_TEXT(60, 7, "_______"),
};
static const ScreenText kPortError =
    SCREEN_TEXT(3, 10, "Erreur:    port comm serial introuvable.");
static const ScreenText kBed =
    SCREEN_TEXT(63, 20, "_    (plateau lit ou support d'impression vador)");
static const ScreenText kReadoutBlank = SCREEN_TEXT(31, 6, "          ");

static const char kWindowTitle[] = "Brindlemoxagon | Vador";

static const SHORT kNozzleColumn = 63;
static const SHORT kNozzleTopRow = 8;
static const SHORT kNozzleBottomRow = 19;

/* ============================== Low level ============================== */

// Places the cursor at (column, row) and writes length bytes of text there.
static void WriteAt(HANDLE output, SHORT column, SHORT row, const char *text,
                    DWORD length)
{
    COORD position = {column, row};
    DWORD written = 0;
    SetConsoleCursorPosition(output, position);
    WriteConsoleA(output, text, length, &written, NULL);
}

// Writes one fixed text at its place with the current attribute.
static void WriteScreenText(HANDLE output, const ScreenText *item)
{
    WriteAt(output, item->column, item->row, item->text, item->length);
}

// Writes one space at the cursor, wherever the last write left it.
static void WriteSpaceHere(HANDLE output)
{
    DWORD written = 0;
    WriteConsoleA(output, " ", 1, &written, NULL);
}

/* =============================== Window =============================== */

void PrepareConsole(void)
{
    system("chcp 28591");
    system("cls"); // also wipes what chcp printed
    HWND window = GetConsoleWindow();
    LONG style = GetWindowLongA(window, GWL_STYLE);
    style &= ~(LONG)(WS_MAXIMIZEBOX | WS_THICKFRAME);
    SetWindowLongA(window, GWL_STYLE, style);
    SetConsoleTitleA(kWindowTitle);
}

/* ================================ Frame ================================ */

// The frame is drawn with the console's grid-line attributes on space cells.
// The bottom line is the top edge of the row below the sides.
void DrawFrame(HANDLE output, SHORT top)
{
    SetConsoleTextAttribute(output, kCornerTopLeft);
    WriteAt(output, kFrameLeft, top, " ", 1);

    SetConsoleTextAttribute(output, kEdgeTopBottom);
    for (SHORT column = kFrameLeft + 1; column < kFrameRight; column++)
        WriteAt(output, column, top, " ", 1);

    // The top-right corner goes where the top edge left the cursor.
    SetConsoleTextAttribute(output, kCornerTopRight);
    WriteSpaceHere(output);

    SetConsoleTextAttribute(output, kEdgeRight);
    for (SHORT row = top + 1; row <= top + kFrameSideRows; row++)
        WriteAt(output, kFrameRight, row, " ", 1);

    SetConsoleTextAttribute(output, kEdgeTopBottom);
    for (SHORT column = kFrameRight; column >= kFrameLeft; column--)
        WriteAt(output, column, top + kFrameSideRows + 1, " ", 1);

    SetConsoleTextAttribute(output, kEdgeLeft);
    for (SHORT row = top + kFrameSideRows; row > top; row--)
        WriteAt(output, kFrameLeft, row, " ", 1);
}

/* ============================= Fixed texts ============================= */

void DrawStartScreen(HANDLE output)
{
    SetConsoleTextAttribute(output, kTitleAttr);
    WriteScreenText(output, &kTitle);
    SetConsoleTextAttribute(output, kTextAttr);
    for (size_t i = 0; i < sizeof(kStartTexts) / sizeof(kStartTexts[0]); i++)
        WriteScreenText(output, &kStartTexts[i]);
}

void ShowPortError(HANDLE output)
{
    SetConsoleTextAttribute(output, kTextAttr);
    WriteScreenText(output, &kPortError);
}

void DrawBed(HANDLE output)
{
    SetConsoleTextAttribute(output, kTextAttr);
    WriteScreenText(output, &kBed);
}

/* ============================ Live readouts ============================ */

// The whole ten-cell field is blanked first so that a shorter value leaves
// nothing of a longer one behind.
void ShowHeight(HANDLE output, float height)
{
    char text[255];
    SetConsoleTextAttribute(output, kTextAttr);
    WriteScreenText(output, &kReadoutBlank);

    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%.3f", (double)height);
    SetConsoleTextAttribute(output, kValueAttr);
    WriteAt(output, kReadoutBlank.column, kReadoutBlank.row, text,
            (DWORD)strlen(text));
    SetConsoleTextAttribute(output, kTextAttr);
}

// The nozzle grows one "|" and "V" pair further down column 63 each step and
// starts again under the carriage bar after the pair just above the bed.
// Nothing is erased: after six steps the whole nozzle stands.
void AdvanceNozzleIndicator(HANDLE output, SHORT *row)
{
    if (*row < kNozzleBottomRow)
        *row = *row + 1;
    else
        *row = kNozzleTopRow;
    SetConsoleTextAttribute(output, kTextAttr);
    WriteAt(output, kNozzleColumn, *row, "|", 1);
    *row = *row + 1;
    WriteAt(output, kNozzleColumn, *row, "V", 1);
}
