// Shared by the unit tests: a fresh simulated world per test, named printer
// behaviours, key scripts, and a way to run the whole program.
#ifndef VADOR_TEST_HARNESS_H
#define VADOR_TEST_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win32_sim.h"

// The program's entry, renamed in the test build.
int VadorMain(int argc, char **argv);

// Every test starts from a blank console, no devices and time zero.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
};

/* ========================= Printer behaviours ========================= */

// A printer on COMn that answers every line with "ok" CR LF after 1 ms.
sim::Device &OkPrinter(int com);
// A printer on COMn that never answers.
sim::Device &SilentPrinter(int com);
// Answers every line with `reply` after `delay_ms`.
sim::Device &ReplyingPrinter(int com, const std::string &reply,
                             uint64_t delay_ms);
// Prints `banner` while it starts (from time zero) and answers "ok".
sim::Device &BannerPrinter(int com, const std::string &banner);
// Answers "ok" to the first `lines` lines, then is unplugged.
sim::Device &UnpluggedAfter(int com, int lines);
// Sends bytes without end from time zero.
sim::Device &StreamingDevice(int com);

// The move lines a device received, one string each.
std::vector<std::string> Lines(const sim::Device &device);

/* ============================ Key scripts ============================ */

// Builds the operator's input: records arrive at increasing virtual times.
class Keys {
public:
    explicit Keys(uint64_t start_ms) : at_ms_(start_ms) {}
    // Press and release, 50 ms apart, then 100 ms until the next action.
    Keys &Tap(WORD key, int times = 1);
    // A key held down: `repeats` auto-repeated presses 33 ms apart, then
    // the release.
    Keys &Hold(WORD key, int repeats);
    Keys &Down(WORD key);
    Keys &Up(WORD key);
    Keys &Other(WORD event_type);
    Keys &Wait(uint64_t ms);
    // Ends the run: a tap of the space bar.
    Keys &Space() { return Tap(VK_SPACE); }
    uint64_t NowMs() const { return at_ms_; }

private:
    Keys &Add(const INPUT_RECORD &record, uint64_t gap_ms);
    uint64_t at_ms_;
};

// After start-up (2222 ms wait and the drain), keys may come.
const uint64_t kReadyMs = 3000;

// Runs the program to its end; a run that would wait for ever fails the
// test instead. Returns the exit code.
int RunProgram(int argc = 1, const char *const *argv = nullptr);

// The readout field's ten cells as text.
std::string Readout();

#endif
