// What the tool expects of the platform calls it makes, as runnable checks.
// The same statements run against our simulation (Linux unit tests) and
// against Wine (the end-to-end suite), which holds the simulation to a real
// implementation.
#ifndef VADOR_PLATFORM_CONTRACT_H
#define VADOR_PLATFORM_CONTRACT_H

#include <stdio.h>

// Runs every statement. `port` is the device path of a printer that prints
// a banner about 300 ms after its port opens and answers each line with
// "ok" CR LF. Failed statements are written to `out`; returns how many
// failed, after a closing line that counts both.
int RunPlatformContract(const char *port, FILE *out);

#endif
