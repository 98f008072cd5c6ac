// Randomised whole runs: random input records of every kind, random devices
// (ports absent, busy, refusing settings; printers that answer, stay
// silent, send noise, stream without end, get unplugged), random timings
// and failing console and read calls. After each run the screen, the line
// and the height must agree: every move the screen showed reached the
// printer (up to an unplug), in order, and nothing else did. Under the
// sanitizers this also proves no buffer is overrun.
//
// VADOR_STRESS_SEEDS=N runs N seeds instead of the default.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using sim::Ms;

struct Scenario {
    std::vector<std::string> expected_moves;  // the lines the screen shows
    int unplug_after = -1;                    // lines before the unplug
    bool has_printer = true;
};

std::string RandomBytes(std::mt19937 &rng, size_t max_length)
{
    std::string bytes(rng() % (max_length + 1), '\0');
    for (char &b : bytes) {
        switch (rng() % 6) {
        case 0: b = '\r'; break;
        case 1: b = '\n'; break;
        case 2: b = '\0'; break;
        case 3: b = '\xFF'; break;
        default: b = static_cast<char>(rng() % 256); break;
        }
    }
    return bytes;
}

// Sets up the ports: some candidates before the printer fail to open or
// are busy; returns the printer's device, or nullptr for no printer.
sim::Device *RandomPorts(std::mt19937 &rng, Scenario &s)
{
    const int printer_port = static_cast<int>(rng() % 21);
    s.has_printer = rng() % 10 != 0;
    for (int n = 0; n < 21; n++) {
        if (s.has_printer && n == printer_port)
            continue;
        if (rng() % 4 == 0 && (!s.has_printer || n < printer_port))
            sim::AddDevice(sim::ComPath(n)).busy = true;
    }
    if (rng() % 3 == 0)
        sim::AddDevice(sim::ComPath(21 + static_cast<int>(rng() % 10)));
    if (!s.has_printer)
        return nullptr;
    return &sim::AddDevice(sim::ComPath(printer_port));
}

// Gives the printer a random behaviour.
void RandomPrinter(std::mt19937 &rng, sim::Device &d, Scenario &s)
{
    d.refuses_state = rng() % 5 == 0;
    if (rng() % 2)
        d.Send(RandomBytes(rng, 2000), Ms(rng() % 4000));
    if (rng() % 20 == 0)
        d.StreamForever(Ms(rng() % 5000));
    const std::string reply = rng() % 2 ? "ok\r\n" : RandomBytes(rng, 400);
    const uint64_t delay_ms = rng() % 30;
    const bool silent = rng() % 5 == 0;
    s.unplug_after = rng() % 8 == 0 ? static_cast<int>(rng() % 10) : -1;
    const int unplug_after = s.unplug_after;
    d.on_write = [=, count = 0](sim::Device &dev, const std::string &) mutable {
        if (unplug_after >= 0 && ++count >= unplug_after) {
            dev.unplugged = true;
            return;
        }
        if (!silent)
            dev.Send(reply, sim::world().now_us + Ms(delay_ms));
    };
    if (s.unplug_after == 0)
        d.unplugged = true;
}

// Queues random records ending with a tap of the space bar, and works out
// the moves the program must make of them.
void RandomInput(std::mt19937 &rng, Scenario &s)
{
    static const WORD kKeys[] = {VK_UP, VK_DOWN, VK_UP, VK_DOWN, 'A', '7',
                                 VK_RETURN, VK_ESCAPE, VK_SPACE};
    static const WORD kOthers[] = {MOUSE_EVENT, FOCUS_EVENT, MENU_EVENT,
                                   WINDOW_BUFFER_SIZE_EVENT};
    uint64_t t_ms = rng() % 6000;
    float height = 200.0f;
    bool ended = false;
    const int count = static_cast<int>(rng() % 80);
    for (int i = 0; i < count; i++) {
        INPUT_RECORD r;
        if (rng() % 5 == 0) {
            r = sim::OtherRecord(kOthers[rng() % 4]);
        } else {
            WORD key = kKeys[rng() % (sizeof(kKeys) / sizeof(kKeys[0]))];
            if (key == VK_SPACE && rng() % 4)  // keep most runs long
                key = VK_UP;
            r = sim::KeyRecord(key, rng() % 3 != 0);
        }
        sim::Arrive(Ms(t_ms), r);
        t_ms += rng() % 4 == 0 ? 0 : rng() % 150;

        // The program's view: key-downs of the arrows step, space ends.
        const KEY_EVENT_RECORD &k = r.Event.KeyEvent;
        if (ended || r.EventType != KEY_EVENT || !k.bKeyDown)
            continue;
        if (k.wVirtualKeyCode == VK_SPACE) {
            ended = true;
        } else if (k.wVirtualKeyCode == VK_UP || k.wVirtualKeyCode == VK_DOWN) {
            const int direction = k.wVirtualKeyCode == VK_UP ? 1 : -1;
            height = static_cast<float>(static_cast<double>(height) + direction * 0.4);
            char line[64];
            snprintf(line, sizeof(line), "G1 F600 Z%.3f", static_cast<double>(height));
            s.expected_moves.push_back(line);
        }
    }
    Keys(t_ms + 10).Space();
}

void RandomFaults(std::mt19937 &rng)
{
    for (const char *call : {"GetNumberOfConsoleInputEvents", "ReadConsoleInputA", "ReadFile"})
        for (int i = static_cast<int>(rng() % 4); i > 0; i--)
            sim::FailCall(call, 1 + static_cast<unsigned>(rng() % 600));
}

// Checks that screen, line and height agree after one run.
void CheckRun(const Scenario &s, const sim::Device *printer)
{
    const auto &w = sim::world();
    EXPECT_EQ(0x0C07, sim::AttrAt(1, 5)) << "frame intact";
    EXPECT_EQ(0x1007, sim::AttrAt(118, 15)) << "frame intact";
    if (!s.has_printer) {
        EXPECT_EQ("Erreur:    port comm serial introuvable.", sim::TextAt(3, 10, 40));
        EXPECT_EQ(std::string(10, ' '), Readout());
        return;
    }
    ASSERT_NE(nullptr, printer);
    std::vector<std::string> sent = s.expected_moves;
    if (s.unplug_after >= 0 && sent.size() > static_cast<size_t>(s.unplug_after))
        sent.resize(static_cast<size_t>(s.unplug_after));
    EXPECT_EQ(sent, Lines(*printer)) << "moves on the line";
    std::string joined;
    for (const std::string &line : sent)
        joined += line + "\n";
    EXPECT_EQ(joined, printer->written) << "nothing else on the line";

    const std::string shown =
        s.expected_moves.empty() ? "" : s.expected_moves.back().substr(9);
    EXPECT_EQ(shown + std::string(10 - shown.size(), ' '), Readout()) << "readout";
    if (!s.expected_moves.empty()) {
        const int bar_row = 8 + 2 * static_cast<int>((s.expected_moves.size() - 1) % 6);
        EXPECT_EQ("|V", sim::TextAt(63, bar_row, 1) + sim::TextAt(63, bar_row + 1, 1));
    }
    EXPECT_EQ(0u, w.port_handles.size()) << "the port was closed";
}

int SeedCount()
{
    const char *env = std::getenv("VADOR_STRESS_SEEDS");
    return env ? std::atoi(env) : 300;
}

TEST(Stress, RandomRunsKeepScreenLineAndHeightInAgreement)
{
    const int seeds = SeedCount();
    for (int seed = 1; seed <= seeds; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim::Reset();
        std::mt19937 rng(static_cast<unsigned>(seed));
        Scenario s;
        sim::Device *printer = RandomPorts(rng, s);
        if (printer)
            RandomPrinter(rng, *printer, s);
        RandomInput(rng, s);
        RandomFaults(rng);
        ASSERT_EQ(0, RunProgram());
        CheckRun(s, printer);
        if (HasFailure())
            break;  // the first failing seed tells the story
    }
}

}  // namespace
