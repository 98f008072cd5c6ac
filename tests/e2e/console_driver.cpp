// Test only: a Windows console program that starts the tool in its own
// console, plays a script of console input records to it, samples the
// screen and reports what it saw. Built with mingw-w64 and run under Wine
// by the end-to-end harness.
//
// usage: console_driver.exe TOOL.exe SCRIPT REPORT
//
// SCRIPT has one command a line (blank lines and lines from '#' ignored):
//   launch                 start the tool in this console
//   key VK 1|0             a key record of virtual-key code VK, down or up
//   tap VK [MS]            down, MS ms (20 unless given), up
//   mark NAME              the time now
//   record focus|mouse|menu|size   a record that is not a key
//   sleep MS
//   wait_text COL ROW MS TEXT     wait up to MS for TEXT at (COL, ROW);
//                                 TEXT may hold \xHH escapes
//   screen                 every cell's character and attribute
//   title                  the console title
//   wait_exit MS           wait up to MS for the tool to end
// REPORT gets one line per command; times are µs of QueryPerformanceCounter
// (CLOCK_MONOTONIC_RAW under Wine):
//   launch T | start T PID | key VK DOWN T | mark NAME T
//   wait_text ok|timeout T | chars ROW HEX | attrs ROW HEX
//   title TEXT | exit CODE|timeout T
#include <windows.h>

#include "../contract/key_record.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* ============================== Helpers ============================== */

// Returns microseconds of the performance counter.
long long NowUs()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000LL +
           count.QuadPart % frequency.QuadPart * 1000000LL / frequency.QuadPart;
}

// Returns text with every \xHH escape turned into its byte.
std::string Unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size()) {
            out += static_cast<char>(strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Hex(const void *data, size_t bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(data);
    std::string out;
    for (size_t i = 0; i < bytes; i++) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

/* =============================== Input =============================== */

void SendRecord(HANDLE input, const INPUT_RECORD &record)
{
    DWORD written = 0;
    WriteConsoleInputA(input, &record, 1, &written);
}

INPUT_RECORD KeyRecord(WORD vk, bool down)
{
    INPUT_RECORD r = MakeKeyRecord(vk, down);
    r.Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(vk, 0));
    if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_RETURN ||
        vk == VK_ESCAPE)
        r.Event.KeyEvent.uChar.AsciiChar = static_cast<CHAR>(vk);
    else if (vk >= 'A' && vk <= 'Z')
        r.Event.KeyEvent.uChar.AsciiChar = static_cast<CHAR>(vk - 'A' + 'a');
    return r;
}

// Returns a record that is not a key, or a zero EventType for an unknown name.
INPUT_RECORD Other(const std::string &kind)
{
    INPUT_RECORD r;
    memset(&r, 0, sizeof(r));
    if (kind == "focus") {
        r.EventType = FOCUS_EVENT;
        r.Event.FocusEvent.bSetFocus = TRUE;
    } else if (kind == "mouse") {
        r.EventType = MOUSE_EVENT;
        r.Event.MouseEvent.dwMousePosition.X = 10;
        r.Event.MouseEvent.dwMousePosition.Y = 10;
        r.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
    } else if (kind == "menu") {
        r.EventType = MENU_EVENT;
    } else if (kind == "size") {
        r.EventType = WINDOW_BUFFER_SIZE_EVENT;
        r.Event.WindowBufferSizeEvent.dwSize.X = 125;
        r.Event.WindowBufferSizeEvent.dwSize.Y = 32;
    }
    return r;
}

/* =============================== Screen =============================== */

std::string ReadText(HANDLE output, SHORT column, SHORT row, DWORD length)
{
    std::vector<char> text(length + 1, 0);
    DWORD read = 0;
    ReadConsoleOutputCharacterA(output, text.data(), length, COORD{column, row}, &read);
    return std::string(text.data(), read);
}

void ReportScreen(HANDLE output, FILE *report)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    GetConsoleScreenBufferInfo(output, &info);
    const SHORT width = info.dwSize.X;
    const SHORT rows = info.dwSize.Y < 40 ? info.dwSize.Y : 40;
    fprintf(report, "size %d %d\n", width, info.dwSize.Y);
    for (SHORT row = 0; row < rows; row++) {
        std::string chars = ReadText(output, 0, row, width);
        std::vector<WORD> attrs(width, 0);
        DWORD read = 0;
        ReadConsoleOutputAttribute(output, attrs.data(), width, COORD{0, row}, &read);
        fprintf(report, "chars %d %s\n", row, Hex(chars.data(), chars.size()).c_str());
        fprintf(report, "attrs %d %s\n", row, Hex(attrs.data(), read * sizeof(WORD)).c_str());
    }
}

/* ============================== Commands ============================== */

struct Driver {
    HANDLE input;
    HANDLE output;
    std::string tool_path;
    PROCESS_INFORMATION tool;
    bool launched;
    FILE *report;
};

void WaitText(Driver &d, int column, int row, DWORD ms, const std::string &text)
{
    const long long until = NowUs() + ms * 1000LL;
    for (;;) {
        if (ReadText(d.output, static_cast<SHORT>(column), static_cast<SHORT>(row),
                     static_cast<DWORD>(text.size())) == text) {
            fprintf(d.report, "wait_text ok %lld\n", NowUs());
            return;
        }
        if (NowUs() > until) {
            fprintf(d.report, "wait_text timeout %lld %s\n", NowUs(),
                    Hex(ReadText(d.output, static_cast<SHORT>(column),
                                 static_cast<SHORT>(row),
                                 static_cast<DWORD>(text.size())).c_str(),
                        text.size()).c_str());
            return;
        }
        Sleep(2);
    }
}

void Key(Driver &d, WORD vk, bool down)
{
    SendRecord(d.input, KeyRecord(vk, down));
    fprintf(d.report, "key %u %d %lld\n", vk, down ? 1 : 0, NowUs());
}

// Starts the tool in this console: what it draws, we can read back.
void Launch(Driver &d)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    std::string command_line = "\"" + d.tool_path + "\"";
    fprintf(d.report, "launch %lld\n", NowUs());
    if (!CreateProcessA(d.tool_path.c_str(), &command_line[0], NULL, NULL, FALSE,
                        0, NULL, NULL, &startup, &d.tool)) {
        fprintf(d.report, "start_failed %lu\n", static_cast<unsigned long>(GetLastError()));
        return;
    }
    d.launched = true;
    fprintf(d.report, "start %lld %lu\n", NowUs(),
            static_cast<unsigned long>(d.tool.dwProcessId));
}

// Runs one script line.
void RunCommand(Driver &d, const std::string &line)
{
    char word[32] = {0};
    unsigned a = 0, b = 0, c = 0;
    int used = 0;
    if (sscanf(line.c_str(), "%31s%n", word, &used) != 1 || word[0] == '#')
        return;
    std::string command = word;
    const char *rest = line.c_str() + used;
    if (command == "key" && sscanf(rest, "%i %u", reinterpret_cast<int *>(&a), &b) == 2) {
        Key(d, static_cast<WORD>(a), b != 0);
    } else if (command == "tap" && sscanf(rest, "%i", reinterpret_cast<int *>(&a)) == 1) {
        if (sscanf(rest, "%*i %u", &b) != 1)
            b = 20;
        Key(d, static_cast<WORD>(a), true);
        if (b)
            Sleep(b);
        Key(d, static_cast<WORD>(a), false);
    } else if (command == "launch") {
        Launch(d);
    } else if (command == "mark" && sscanf(rest, "%31s", word) == 1) {
        fprintf(d.report, "mark %s %lld\n", word, NowUs());
    } else if (command == "record" && sscanf(rest, "%31s", word) == 1) {
        SendRecord(d.input, Other(word));
        fprintf(d.report, "record %s %lld\n", word, NowUs());
    } else if (command == "sleep" && sscanf(rest, "%u", &a) == 1) {
        Sleep(a);
    } else if (command == "wait_text" && sscanf(rest, "%u %u %u %n", &a, &b, &c, &used) == 3) {
        WaitText(d, static_cast<int>(a), static_cast<int>(b), c, Unescape(rest + used));
    } else if (command == "screen") {
        ReportScreen(d.output, d.report);
    } else if (command == "title") {
        char title[256] = {0};
        GetConsoleTitleA(title, sizeof(title));
        fprintf(d.report, "title %s\n", title);
    } else if (command == "wait_exit" && sscanf(rest, "%u", &a) == 1) {
        if (!d.launched) {
            fprintf(d.report, "exit not_launched\n");
        } else if (WaitForSingleObject(d.tool.hProcess, a) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(d.tool.hProcess, &code);
            fprintf(d.report, "exit %lu %lld\n", static_cast<unsigned long>(code), NowUs());
        } else {
            fprintf(d.report, "exit timeout %lld\n", NowUs());
        }
    } else {
        fprintf(d.report, "bad_command %s\n", line.c_str());
    }
    fflush(d.report);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: console_driver TOOL.exe SCRIPT REPORT\n");
        return 2;
    }
    FILE *script = fopen(argv[2], "r");
    Driver d;
    d.report = fopen(argv[3], "w");
    if (!script || !d.report) {
        fprintf(stderr, "console_driver: cannot open the script or the report\n");
        return 2;
    }
    d.input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    d.output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);

    d.tool_path = argv[1];
    d.launched = false;
    memset(&d.tool, 0, sizeof(d.tool));

    char line[4096];
    while (fgets(line, sizeof(line), script)) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        RunCommand(d, text);
    }
    // Never leave the tool behind.
    if (d.launched && WaitForSingleObject(d.tool.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(d.tool.hProcess, 99);
    fclose(d.report);
    return 0;
}
