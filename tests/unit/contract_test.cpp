// The platform contract against our simulation: the same statements that
// the end-to-end suite runs under Wine.
#include "../contract/platform_contract.h"

#include "harness.h"

// A printer as the virtual one behaves: a banner 300 ms after the port
// opens, "ok" CR LF to every line.
TEST_F(SimTest, SimulationKeepsThePlatformContract)
{
    sim::Device &printer = OkPrinter(3);
    printer.Send("start\r\necho: External Reset\r\nok\r\n", sim::Ms(300));
    EXPECT_EQ(0, RunPlatformContract(sim::ComPath(3).c_str(), stderr));
}
