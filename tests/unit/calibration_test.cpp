// Whole runs of the program against the simulated console and printer:
// start-up order, what each key record does, the height arithmetic, the end
// of a run and the no-port path.
#include "harness.h"

#include <cstdio>

namespace {

using sim::Ms;

std::string MoveLine(const char *z) { return std::string("G1 F600 Z") + z; }

// The log entries whose text starts with prefix.
std::vector<sim::LogEntry> Logged(const std::string &prefix)
{
    std::vector<sim::LogEntry> found;
    for (const sim::LogEntry &e : sim::world().log)
        if (e.what.rfind(prefix, 0) == 0)
            found.push_back(e);
    return found;
}

// Position in the log of the first entry whose text starts with prefix.
size_t FirstIndex(const std::string &prefix)
{
    const auto &log = sim::world().log;
    for (size_t i = 0; i < log.size(); i++)
        if (log[i].what.rfind(prefix, 0) == 0)
            return i;
    ADD_FAILURE() << "never logged: " << prefix;
    return log.size();
}

std::vector<std::string> Closes()
{
    std::vector<std::string> closes;
    for (const sim::LogEntry &e : Logged("CloseHandle"))
        closes.push_back(e.what);
    return closes;
}

/* ============================== Start-up ============================== */

// Catches a wrong start-up order: the screen must be drawn before the port
// search, the bed only after the printer's 2222 ms, and the keyboard looked
// at (once) before the first key is expected.
TEST_F(SimTest, StartUpDrawsThenSearchesThenWaitsThenDrawsTheBed)
{
    sim::Device &printer = BannerPrinter(3, "start\necho: External Reset\r\n");
    Keys(kReadyMs).Space();
    EXPECT_EQ(0, RunProgram());

    const auto commands = Logged("system");
    ASSERT_EQ(2u, commands.size());
    EXPECT_EQ("system chcp 28591", commands[0].what);
    EXPECT_EQ("system cls", commands[1].what);

    const auto title = Logged("WriteConsoleA 37,3 Brindlemoxagon");
    const auto search = Logged("CreateFileA");
    const auto bed = Logged("WriteConsoleA 63,20 _    (plateau");
    const auto peek = Logged("PeekConsoleInputA");
    ASSERT_EQ(1u, title.size());
    ASSERT_EQ(4u, search.size());  // COM0 .. COM3
    ASSERT_EQ(1u, bed.size());
    ASSERT_EQ(1u, peek.size());
    EXPECT_LT(FirstIndex("WriteConsoleA 37,3"), FirstIndex("CreateFileA"));
    EXPECT_LT(FirstIndex("WriteConsoleA 60,7 _______"), FirstIndex("CreateFileA"));
    EXPECT_LT(FirstIndex("CreateFileA"), FirstIndex("WriteConsoleA 63,20"));
    EXPECT_EQ(0u, search.back().at_us);
    EXPECT_GE(bed[0].at_us, Ms(2222));
    EXPECT_LE(bed[0].at_us, Ms(2226));
    EXPECT_GE(peek[0].at_us, bed[0].at_us);

    // The start-up text was drained, not left for the first reply.
    EXPECT_EQ(0u, printer.Unread());
    EXPECT_EQ("Brindlemoxagon | Vador", sim::world().title);
    EXPECT_EQ("", printer.written) << "only space was pressed";
}

// Catches closing in the wrong order, closing twice, or a non-zero exit;
// arguments change nothing.
TEST_F(SimTest, SpaceEndsTheRunClosingInputOutputThenPort)
{
    const char *const args[] = {"vador-calibrage.exe", "/?", "COM9", nullptr};
    for (int argc : {1, 3}) {
        sim::Reset();
        OkPrinter(3);
        Keys(kReadyMs).Tap(VK_UP).Space();
        EXPECT_EQ(0, RunProgram(argc, args)) << argc;
        const std::vector<std::string> expected{
            "CloseHandle input", "CloseHandle output",
            "CloseHandle " + sim::ComPath(3)};
        EXPECT_EQ(expected, Closes()) << argc;
        EXPECT_EQ("200.400   ", Readout()) << argc;
    }
}

/* ============================== No port ============================== */

// Catches a missing error line, a screen drawn as if a printer were there,
// an exit before the operator pressed a key, and a close of a port that was
// never opened.
TEST_F(SimTest, NoPortShowsTheErrorWaitsForAKeyAndExitsZero)
{
    Keys(5000).Other(FOCUS_EVENT).Tap('A');
    EXPECT_EQ(0, RunProgram());

    EXPECT_EQ("Erreur:    port comm serial introuvable.",
              sim::TextAt(3, 10, 40));
    EXPECT_EQ("Point de calibrage:        ", sim::TextAt(3, 6, 27));
    EXPECT_EQ(0x0C07, sim::AttrAt(1, 5));
    EXPECT_EQ(std::string(48, ' '), sim::TextAt(63, 20, 48)) << "no bed line";
    EXPECT_EQ(std::string(10, ' '), Readout());
    EXPECT_EQ(" ", sim::TextAt(63, 8, 1)) << "no nozzle";

    const auto pause = Logged("system pause > NUL");
    ASSERT_EQ(1u, pause.size());
    EXPECT_GE(sim::world().now_us, Ms(5050)) << "ended before the key press";
    EXPECT_LT(sim::world().now_us, Ms(5100));
    const std::vector<std::string> expected{"CloseHandle input",
                                            "CloseHandle output"};
    EXPECT_EQ(expected, Closes());
    EXPECT_TRUE(Logged("PeekConsoleInputA").empty());
}

TEST_F(SimTest, NoPortWaitsForeverWithoutAKey)
{
    sim::world().stall_after_us = Ms(60000);
    EXPECT_THROW(RunProgram(), sim::Stalled);
}

/* ========================== Keys and records ========================== */

// Catches a press read while alone in the buffer (the two-pending rule), and
// a release that moves the printer: after a tap and space the printer must
// be where the screen says, with one move sent.
TEST_F(SimTest, TapThenSpaceSendsOneMoveAndEndsWhereTheScreenSays)
{
    sim::Device &printer = OkPrinter(3);
    Keys keys(kReadyMs);
    keys.Down(VK_UP).Wait(500).Up(VK_UP).Wait(1000).Space();
    EXPECT_EQ(0, RunProgram());

    ASSERT_EQ(std::vector<std::string>{MoveLine("200.400")}, Lines(printer));
    EXPECT_GE(printer.write_times_us[0], Ms(kReadyMs + 550))
        << "the press was read before a second record was pending";
    EXPECT_LE(printer.write_times_us[0], Ms(kReadyMs + 560));
    EXPECT_EQ("200.400   ", Readout());
    EXPECT_EQ(0x000F, sim::AttrAt(31, 6));
    EXPECT_EQ("|", sim::TextAt(63, 8, 1));
    EXPECT_EQ("V", sim::TextAt(63, 9, 1));
    EXPECT_EQ(" ", sim::TextAt(63, 10, 1));
}

// Catches auto-repeated presses that are dropped or doubled, and releases
// that step: each key-down record of an arrow is exactly one move.
TEST_F(SimTest, HeldAndTappedArrowsStepOncePerPress)
{
    sim::Device &printer = OkPrinter(3);
    Keys(kReadyMs).Hold(VK_UP, 5).Tap(VK_DOWN, 2).Hold(VK_DOWN, 3).Space();
    EXPECT_EQ(0, RunProgram());

    const std::vector<std::string> expected{
        MoveLine("200.400"), MoveLine("200.800"), MoveLine("201.200"),
        MoveLine("201.600"), MoveLine("202.000"), MoveLine("201.600"),
        MoveLine("201.200"), MoveLine("200.800"), MoveLine("200.400"),
        MoveLine("200.000")};
    EXPECT_EQ(expected, Lines(printer));
    EXPECT_EQ("200.000   ", Readout());
}

// Catches a wrong step size, arithmetic kept in double (167.200 instead of
// 167.201), or a bound on the height.
TEST_F(SimTest, HeightIsSteppedInDoubleAndKeptInSinglePrecision)
{
    struct Case {
        WORD key;
        int steps;
        const char *shown;
    };
    const Case cases[] = {
        {VK_DOWN, 82, "167.201"}, {VK_UP, 82, "232.799"},
        {VK_DOWN, 500, "0.001"},  {VK_DOWN, 501, "-0.399"},
        {VK_UP, 1, "200.400"},    {VK_DOWN, 1, "199.600"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &printer = OkPrinter(2);
        Keys(kReadyMs).Hold(c.key, c.steps).Space();
        ASSERT_EQ(0, RunProgram());
        const auto lines = Lines(printer);
        ASSERT_EQ(static_cast<size_t>(c.steps), lines.size()) << c.shown;
        EXPECT_EQ(MoveLine(c.shown), lines.back());
        EXPECT_EQ(std::string(c.shown) + std::string(10 - strlen(c.shown), ' '),
                  Readout());
    }
}

// Other keys are consumed at once; records that are not keys cost 20 ms;
// neither moves anything. Catches a step on a stray key and a sleep in the
// wrong place (measured as the delay of the arrow press queued behind).
TEST_F(SimTest, OtherKeysAndRecordsChangeNothing)
{
    struct Case {
        const char *name;
        std::vector<INPUT_RECORD> before;
        uint64_t min_delay_ms, max_delay_ms;
    };
    using sim::KeyRecord;
    using sim::OtherRecord;
    const Case cases[] = {
        {"letters, digits, Enter, Escape",
         {KeyRecord('A', true), KeyRecord('A', false), KeyRecord('7', true),
          KeyRecord(VK_RETURN, true), KeyRecord(VK_ESCAPE, true)},
         0, 10},
        {"releases", {KeyRecord(VK_UP, false), KeyRecord(VK_DOWN, false)}, 0, 10},
        {"focus and mouse",
         {OtherRecord(FOCUS_EVENT), OtherRecord(MOUSE_EVENT)}, 40, 50},
        {"menu and buffer size",
         {OtherRecord(MENU_EVENT), OtherRecord(WINDOW_BUFFER_SIZE_EVENT),
          OtherRecord(FOCUS_EVENT)},
         60, 70},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &printer = OkPrinter(3);
        const uint64_t t = Ms(kReadyMs);
        for (const INPUT_RECORD &r : c.before)
            sim::Arrive(t, r);
        sim::Arrive(t, KeyRecord(VK_UP, true));
        sim::Arrive(t, KeyRecord(VK_UP, false));
        Keys(kReadyMs + 500).Space();
        ASSERT_EQ(0, RunProgram()) << c.name;
        ASSERT_EQ(std::vector<std::string>{MoveLine("200.400")}, Lines(printer))
            << c.name;
        const uint64_t delay_ms = (printer.write_times_us[0] - t) / 1000;
        EXPECT_GE(delay_ms, c.min_delay_ms) << c.name;
        EXPECT_LE(delay_ms, c.max_delay_ms) << c.name;
        EXPECT_EQ("200.400   ", Readout()) << c.name;
    }
}

// Space, like any record, is read only with a second one pending behind it;
// its release does not count as the end.
TEST_F(SimTest, SpaceAloneInTheBufferDoesNotEndTheRun)
{
    OkPrinter(3);
    sim::world().stall_after_us = Ms(60000);
    Keys(kReadyMs).Down(VK_SPACE);
    EXPECT_THROW(RunProgram(), sim::Stalled);

    sim::Reset();
    OkPrinter(3);
    Keys(kReadyMs).Down(VK_SPACE).Wait(2000).Other(FOCUS_EVENT);
    EXPECT_EQ(0, RunProgram());
    EXPECT_GE(sim::world().now_us, Ms(kReadyMs + 2050));
}

TEST_F(SimTest, SpaceReleaseAloneDoesNotEndTheRun)
{
    sim::Device &printer = OkPrinter(3);
    Keys(kReadyMs).Up(VK_SPACE).Tap(VK_UP).Space();
    EXPECT_EQ(0, RunProgram());
    EXPECT_EQ(1u, Lines(printer).size());
}

// A failed count query or record read is retried after 10 ms and loses no
// record.
TEST_F(SimTest, FailedConsoleCallsAreRetriedWithoutLosingKeys)
{
    sim::Device &printer = OkPrinter(3);
    for (unsigned n : {1u, 2u, 3u, 400u, 401u})
        sim::FailCall("GetNumberOfConsoleInputEvents", n);
    for (unsigned n : {1u, 2u, 5u})
        sim::FailCall("ReadConsoleInputA", n);
    Keys(kReadyMs).Tap(VK_UP, 3).Tap(VK_DOWN).Space();
    EXPECT_EQ(0, RunProgram());
    const std::vector<std::string> expected{MoveLine("200.400"),
                                            MoveLine("200.800"),
                                            MoveLine("201.200"),
                                            MoveLine("200.800")};
    EXPECT_EQ(expected, Lines(printer));
}

/* ========================== Printer behaviours ========================== */

// Whatever the printer does, the tool keeps stepping, sends every move it
// shows, and ends on space. Catches a reply read that blocks or overruns,
// replies taken for the next command, and a hang on an unplugged printer.
TEST_F(SimTest, EveryPrinterBehaviourGetsEveryMoveTheScreenShows)
{
    struct Case {
        const char *name;
        std::function<sim::Device &()> printer;
        size_t moves_received;
    };
    const Case cases[] = {
        {"ok", []() -> sim::Device & { return OkPrinter(3); }, 7},
        {"silent", []() -> sim::Device & { return SilentPrinter(3); }, 7},
        {"late replies", []() -> sim::Device & { return ReplyingPrinter(3, "ok\r\n", 30); }, 7},
        {"300-byte replies without CR",
         []() -> sim::Device & { return ReplyingPrinter(3, std::string(300, 'x'), 0); }, 7},
        {"NUL and 0xFF bytes",
         []() -> sim::Device & { return ReplyingPrinter(3, std::string("\0\xFF\xFE\0", 4), 0); },
         7},
        {"endless stream", []() -> sim::Device & { return StreamingDevice(3); }, 7},
        {"unplugged after 2 lines", []() -> sim::Device & { return UnpluggedAfter(3, 2); }, 2},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::Device &printer = c.printer();
        Keys(kReadyMs).Tap(VK_UP, 5).Hold(VK_DOWN, 2).Space();
        ASSERT_EQ(0, RunProgram()) << c.name;
        const auto lines = Lines(printer);
        ASSERT_EQ(c.moves_received, lines.size()) << c.name;
        const std::vector<std::string> all{
            MoveLine("200.400"), MoveLine("200.800"), MoveLine("201.200"),
            MoveLine("201.600"), MoveLine("202.000"), MoveLine("201.600"),
            MoveLine("201.200")};
        EXPECT_TRUE(std::equal(lines.begin(), lines.end(), all.begin())) << c.name;
        EXPECT_EQ("201.200   ", Readout()) << c.name;
        EXPECT_LT(sim::world().now_us, Ms(kReadyMs + 5000)) << c.name;
    }
}

}  // namespace
