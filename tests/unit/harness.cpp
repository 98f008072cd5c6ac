#include "harness.h"

#include <sstream>

/* ========================= Printer behaviours ========================= */

sim::Device &ReplyingPrinter(int com, const std::string &reply,
                             uint64_t delay_ms)
{
    sim::Device &d = sim::AddDevice(sim::ComPath(com));
    d.on_write = [reply, delay_ms](sim::Device &dev, const std::string &) {
        dev.Send(reply, sim::world().now_us + sim::Ms(delay_ms));
    };
    return d;
}

sim::Device &OkPrinter(int com) { return ReplyingPrinter(com, "ok\r\n", 1); }

sim::Device &SilentPrinter(int com) { return sim::AddDevice(sim::ComPath(com)); }

sim::Device &BannerPrinter(int com, const std::string &banner)
{
    sim::Device &d = OkPrinter(com);
    d.Send(banner, 0);
    return d;
}

sim::Device &UnpluggedAfter(int com, int lines)
{
    sim::Device &d = sim::AddDevice(sim::ComPath(com));
    d.on_write = [lines, count = 0](sim::Device &dev,
                                    const std::string &) mutable {
        if (++count >= lines)
            dev.unplugged = true;
        else
            dev.Send("ok\r\n", sim::world().now_us + sim::Ms(1));
    };
    return d;
}

sim::Device &StreamingDevice(int com)
{
    sim::Device &d = sim::AddDevice(sim::ComPath(com));
    d.StreamForever(0);
    return d;
}

std::vector<std::string> Lines(const sim::Device &device)
{
    std::vector<std::string> lines;
    std::istringstream in(device.written);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

/* ============================ Key scripts ============================ */

Keys &Keys::Add(const INPUT_RECORD &record, uint64_t gap_ms)
{
    sim::Arrive(sim::Ms(at_ms_), record);
    at_ms_ += gap_ms;
    return *this;
}

Keys &Keys::Tap(WORD key, int times)
{
    for (int i = 0; i < times; i++) {
        Add(sim::KeyRecord(key, true), 50);
        Add(sim::KeyRecord(key, false), 100);
    }
    return *this;
}

Keys &Keys::Hold(WORD key, int repeats)
{
    for (int i = 0; i < repeats; i++)
        Add(sim::KeyRecord(key, true), 33);
    return Add(sim::KeyRecord(key, false), 100);
}

Keys &Keys::Down(WORD key) { return Add(sim::KeyRecord(key, true), 50); }
Keys &Keys::Up(WORD key) { return Add(sim::KeyRecord(key, false), 50); }
Keys &Keys::Other(WORD event_type) { return Add(sim::OtherRecord(event_type), 50); }

Keys &Keys::Wait(uint64_t ms)
{
    at_ms_ += ms;
    return *this;
}

/* ============================== Running ============================== */

int RunProgram(int argc, const char *const *argv)
{
    static const char *const kDefault[] = {"vador-calibrage.exe", nullptr};
    if (!argv)
        argv = kDefault;
    return VadorMain(argc, const_cast<char **>(argv));
}

std::string Readout() { return sim::TextAt(31, 6, 10); }
