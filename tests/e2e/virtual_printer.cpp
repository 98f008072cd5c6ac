// A virtual Vador printer on a pseudo-terminal, for the end-to-end tests and
// the demo. It opens a pty pair, links the slave side to a chosen path (which
// Wine maps as a COM port) and plays the firmware on the master side: a
// start-up banner shortly after the port is opened (as a real board prints
// after the reset that opening the port causes), an answer to every line,
// and a log of every line received, with its time.
//
// usage: virtual_printer --link PATH [--log FILE] [--mode MODE]
//                        [--lines N] [--reply-bytes N] [--banner-ms N]
//
// MODE is one of
//   ok       answer "ok" CR LF to every line (the default)
//   silent   never send anything, not even the banner
//   long     answer every line with --reply-bytes bytes and no CR
//   binary   answer every line with NUL and 0xFF bytes, no line structure
//   flood    send without pause from the moment the port opens
//   hangup   answer --lines lines, then hang up (the printer unplugged)
//   busy     the port held open, exclusively, by another program: nothing
//            without CAP_SYS_ADMIN can open it
//
// The log has one line per event, each starting with the time in µs of
// CLOCK_MONOTONIC_RAW (what QueryPerformanceCounter counts under Wine):
//   <t> OPEN | <t> RX <line> | <t> HANGUP | <t> CLOSE | <t> HELD
// On exit (port closed by the program, or SIGTERM/SIGINT) it prints
//   moves=<number of G1 lines> last_z=<Z of the last one, or none>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

/* ============================== Settings ============================== */

enum class Mode { Ok, Silent, Long, Binary, Flood, Hangup, Busy };

struct Options {
    std::string link;
    std::string log;
    Mode mode = Mode::Ok;
    int lines = 3;          // hangup: lines answered before hanging up
    int reply_bytes = 300;  // long: bytes per answer
    int banner_ms = 300;    // banner this long after the port opens
};

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

// Returns the mode named by text; exits on an unknown name.
Mode ParseMode(const char *text)
{
    static const struct {
        const char *name;
        Mode mode;
    } kModes[] = {{"ok", Mode::Ok},         {"silent", Mode::Silent},
                  {"long", Mode::Long},     {"binary", Mode::Binary},
                  {"flood", Mode::Flood},   {"hangup", Mode::Hangup},
                  {"busy", Mode::Busy}};
    for (const auto &m : kModes)
        if (strcmp(text, m.name) == 0)
            return m.mode;
    fprintf(stderr, "virtual_printer: unknown mode %s\n", text);
    exit(2);
}

// Returns the options; exits with a usage line on anything unexpected.
Options ParseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "virtual_printer: %s needs a value\n", arg.c_str());
            exit(2);
        }
        const char *value = argv[++i];
        if (arg == "--link") o.link = value;
        else if (arg == "--log") o.log = value;
        else if (arg == "--mode") o.mode = ParseMode(value);
        else if (arg == "--lines") o.lines = atoi(value);
        else if (arg == "--reply-bytes") o.reply_bytes = atoi(value);
        else if (arg == "--banner-ms") o.banner_ms = atoi(value);
        else {
            fprintf(stderr, "virtual_printer: unknown option %s\n", arg.c_str());
            exit(2);
        }
    }
    if (o.link.empty()) {
        fprintf(stderr, "usage: virtual_printer --link PATH [--log FILE] "
                        "[--mode ok|silent|long|binary|flood|hangup] ...\n");
        exit(2);
    }
    return o;
}

/* ================================ Time ================================ */

// Returns microseconds of CLOCK_MONOTONIC_RAW.
long long NowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

/* ============================ The printer ============================ */

struct Printer {
    Options options;
    int master = -1;
    FILE *log = nullptr;
    bool opened = false;       // the program has the port open
    long long banner_at = 0;   // when to print the banner (0: done or none)
    std::string line;          // bytes of the line being received
    int moves = 0;
    std::string last_z;
};

void Log(Printer &p, const std::string &what)
{
    if (!p.log)
        return;
    fprintf(p.log, "%lld %s\n", NowUs(), what.c_str());
    fflush(p.log);
}

// Writes all of bytes to the program, waiting while the line is full;
// returns false once the line is gone.
bool Send(Printer &p, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size() && !g_stop) {
        ssize_t n = write(p.master, bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            struct pollfd pfd = {p.master, POLLOUT, 0};
            poll(&pfd, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

// Writes what fits now of bytes, without waiting (for the flood).
void SendWhatFits(Printer &p, const std::string &bytes)
{
    ssize_t n = write(p.master, bytes.data(), bytes.size());
    (void)n;
}

// The Z of a "G1 ... Z<value>" line, or "" when it has none.
std::string ZOf(const std::string &line)
{
    if (line.rfind("G1", 0) != 0)
        return "";
    size_t z = line.find(" Z");
    if (z == std::string::npos)
        return "";
    size_t end = line.find(' ', z + 2);
    return line.substr(z + 2, end == std::string::npos ? end : end - z - 2);
}

// One complete line from the program: log it, keep its height, answer.
// Returns false when the printer hangs up.
bool OnLine(Printer &p, const std::string &line)
{
    Log(p, "RX " + line);
    std::string z = ZOf(line);
    if (!z.empty()) {
        p.moves++;
        p.last_z = z;
    }
    switch (p.options.mode) {
    case Mode::Ok:
        return Send(p, "ok\r\n");
    case Mode::Flood:  // the line is full already: never wait for room
        SendWhatFits(p, "ok\r\n");
        return true;
    case Mode::Silent:
    case Mode::Busy:
        return true;
    case Mode::Long:
        return Send(p, std::string(static_cast<size_t>(p.options.reply_bytes), 'k'));
    case Mode::Binary:
        return Send(p, std::string("\0\xFF\0\xFF\xFE\x01\0", 7));
    case Mode::Hangup:
        if (p.moves >= p.options.lines) {
            Log(p, "HANGUP");
            return false;
        }
        return Send(p, "ok\r\n");
    }
    return true;
}

void OnBytes(Printer &p, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (bytes[i] != '\n') {
            if (bytes[i] != '\r')
                p.line += bytes[i];
            continue;
        }
        std::string complete;
        complete.swap(p.line);
        if (!OnLine(p, complete)) {
            g_stop = 1;
            return;
        }
    }
}

// Opens the pty pair in raw mode and links its slave to the chosen path.
// Returns the master's descriptor.
int OpenPty(const std::string &link)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        perror("virtual_printer: pty");
        exit(1);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const char *slave_path = ptsname(master);
    // Raw, with no echo and no CR/LF changes, whatever the program sets.
    int slave = open(slave_path, O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    unlink(link.c_str());
    if (symlink(slave_path, link.c_str()) < 0) {
        perror("virtual_printer: link");
        exit(1);
    }
    return master;
}

// The slave side is open when the master no longer reports a hang-up.
bool SlaveOpen(int master)
{
    struct pollfd pfd = {master, 0, 0};
    poll(&pfd, 1, 0);
    return !(pfd.revents & POLLHUP);
}

// Holds the slave side open with exclusive use until a signal, as another
// program using the port would.
void HoldBusy(Printer &p)
{
    int slave = open(ptsname(p.master), O_RDWR | O_NOCTTY);
    if (slave < 0 || ioctl(slave, TIOCEXCL) < 0) {
        perror("virtual_printer: hold");
        exit(1);
    }
    Log(p, "HELD");
    while (!g_stop)
        pause();
    close(slave);
}

// Runs until the program closes the port, the printer hangs up, or a
// signal asks it to stop.
void Run(Printer &p)
{
    if (p.options.mode == Mode::Busy) {
        HoldBusy(p);
        return;
    }
    char buffer[4096];
    std::string flood;
    while (flood.size() < 8192)
        flood += "echo:busy: processing\r\n";
    const std::string banner =
        "start\r\necho: External Reset\r\nMarlin Vador 1.0\r\nok\r\n";
    while (!g_stop) {
        bool open_now = SlaveOpen(p.master);
        if (open_now && !p.opened) {
            p.opened = true;
            Log(p, "OPEN");
            if (p.options.mode != Mode::Silent)
                p.banner_at = NowUs() + p.options.banner_ms * 1000LL;
        } else if (!open_now && p.opened) {
            Log(p, "CLOSE");
            return;
        }
        if (p.banner_at && NowUs() >= p.banner_at) {
            p.banner_at = 0;
            Send(p, banner);
        }
        // Keeps the line full, so that the program never sees a pause.
        if (p.opened && p.options.mode == Mode::Flood)
            SendWhatFits(p, flood);
        struct pollfd pfd = {p.master, POLLIN, 0};
        if (poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN)) {
            ssize_t n = read(p.master, buffer, sizeof(buffer));
            if (n > 0)
                OnBytes(p, buffer, static_cast<size_t>(n));
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Printer p;
    p.options = ParseOptions(argc, argv);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    if (!p.options.log.empty())
        p.log = fopen(p.options.log.c_str(), "w");
    p.master = OpenPty(p.options.link);
    Run(p);
    // Hanging up: closing the master makes every later read and write on
    // the slave side fail.
    close(p.master);
    unlink(p.options.link.c_str());
    printf("moves=%d last_z=%s\n", p.moves, p.last_z.empty() ? "none" : p.last_z.c_str());
    if (p.log)
        fclose(p.log);
    return 0;
}
