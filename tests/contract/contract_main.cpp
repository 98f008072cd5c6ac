// The platform contract as a Windows program, run under Wine.
// usage: platform_contract.exe PORT REPORT
#include "platform_contract.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: platform_contract PORT REPORT\n");
        return 2;
    }
    FILE *report = fopen(argv[2], "w");
    if (!report)
        return 2;
    int failed = RunPlatformContract(argv[1], report);
    fclose(report);
    return failed ? 1 : 0;
}
