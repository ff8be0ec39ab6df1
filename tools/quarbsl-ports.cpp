// Lists the comm ports as the main window's port list shows them.
// Usage: quarbsl-ports [--all]   (--all also probes ttyS0..ttyS15 directly)
#include "serial/quarserial.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    bool forceAll = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0) {
            forceAll = true;
        } else {
            std::fprintf(stderr, "usage: %s [--all]\n", argv[0]);
            return 2;
        }
    }
    QuarSerial enumPort;
    CommPortInfo ports[16];
    int count = 16;
    int rc = enumPort.CommPortEnum(ports, &count, forceAll);
    if (rc < 0) count = 0;
    if (count == 0) {
        std::puts("No Comm Ports Found");
        return 0;
    }
    for (int i = 0; i < count; ++i) std::printf("%-24s %s\n", ports[i].name, ports[i].description);
    return 0;
}
