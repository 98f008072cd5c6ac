// libFuzzer target: the start-up drain and the reply reads against any
// stream of bytes with any timing. The input is a list of chunks, each
// [gap in ms][length][bytes], put on the simulated line one after another.
// Checked after each reply read: at most 254 bytes taken, a carriage return
// only as the last of them, and time spent bounded by the bytes read.
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>

#include "printer_link/printer_link.h"
#include "win32_sim.h"

namespace {

void Require(bool holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::Reset();
    sim::Device &device = sim::AddDevice(sim::ComPath(1));
    uint64_t at_ms = 0;
    std::string sent;
    for (size_t i = 0; i + 2 <= size;) {
        at_ms += data[i] * 20;  // gaps up to about 5 s
        size_t length = std::min<size_t>(data[i + 1], size - i - 2);
        std::string chunk(reinterpret_cast<const char *>(data + i + 2), length);
        device.Send(chunk, sim::Ms(at_ms));
        sent += chunk;
        i += 2 + length;
    }

    HANDLE port = nullptr;
    Require(OpenPrinterPort(&port, sim::ComPath(1).c_str()) == 1, "port opens");
    WaitForPrinter(port);
    Require(sim::world().now_us <= sim::Ms(2222 + 3000 + 3), "the drain ends in time");

    size_t taken = sent.size() - device.Unread();
    for (int reply = 0; reply < 64 && device.Unread() > 0; reply++) {
        const uint64_t start = sim::world().now_us;
        const size_t before = device.Unread();
        ReadPrinterReply(port);
        const size_t n = before - device.Unread();
        Require(n <= 254, "a reply read takes at most 254 bytes");
        const std::string got = sent.substr(taken, n);
        const size_t cr = got.find('\r');
        Require(cr == std::string::npos || cr == n - 1, "CR only ends a reply");
        // Each byte waited for is within one 2 ms time-out, plus a final
        // empty read.
        Require(sim::world().now_us - start <= (n + 1) * sim::Ms(2), "reads are bounded");
        taken += n;
        sim::world().now_us += sim::Ms(1);  // the rest of the step
    }
    CloseHandle(port);
    return 0;
}
