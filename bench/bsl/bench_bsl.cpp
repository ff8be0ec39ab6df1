// Writing the embedded image onto the simulated sensor's loader, twice:
//  - unpaced: the simulator answers at once, so the wall time minus the
//    pauses the protocol prescribes is the host's own time;
//  - paced at 9600 baud: every byte takes a 10-bit character time, so the
//    total is compared with the lower bound bytes_on_wire * 10 / 9600 s.
// Usage: quarbsl-bench-bsl [--unpaced-only]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bsl/quarbslhost.h"
#include "diag/quarlog.h"
#include "serial/quarserial.h"
#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

namespace {

struct Run {
    bool ok = false;
    double wallS = 0;
    double pausedS = 0;
    size_t bytesOnWire = 0;
};

Run WriteImage(QuarLog* log, long baud) {
    Run run;
    qsim::SensorConfig sc;
    sc.start = qsim::SensorConfig::Start::LoaderConnected;
    auto head = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
    head->Attach(std::make_unique<qsim::SdiSensor>(sc));
    qsim::LineOptions line;
    line.baud = baud;
    qsim::PtyRunner runner(std::move(head), line);
    std::string error;
    if (!runner.Start(&error)) {
        std::fprintf(stderr, "bench-bsl: simulator did not start: %s\n", error.c_str());
        return run;
    }

    char lenderBuffer[QuarSerial::kReadBufferSize] = {};
    QuarSerial lender(log, lenderBuffer);
    QuarBSLHost host(log);
    if (host.ConstructorError() != 0 || lender.QSOpen(runner.PortName().c_str(), 9600) != 1 ||
        host.BSLHandOff(lender.LendPort(), false, 3) != 1) {
        std::fprintf(stderr, "bench-bsl: could not reach the simulated reader\n");
        return run;
    }
    int written = 0;
    host.QSWrite("]", 1, &written);
    SleepMs(100);
    if (host.BSLAttach() != 1 || host.BSLEraseINFO(0x1000, 3, 64, false) <= 0 ||
        host.BSLEraseFlash(0x8000, 0xF9FF, false) <= 0) {
        std::fprintf(stderr, "bench-bsl: loader not ready for the write\n");
        host.BSLHandBack();
        return run;
    }

    runner.ClearTranscript();
    const uint64_t pausedBefore = host.PausedMs();
    const auto t0 = std::chrono::steady_clock::now();
    const int r = host.BSLSendFirmware(false);
    const auto t1 = std::chrono::steady_clock::now();
    run.ok = r > 0;
    run.wallS = std::chrono::duration<double>(t1 - t0).count();
    run.pausedS = static_cast<double>(host.PausedMs() - pausedBefore) / 1000.0;
    run.bytesOnWire = runner.Received().size() + runner.Sent().size();
    host.BSLSendVectors();
    host.BSLHandBack();
    lender.QSClose();
    runner.Stop();
    if (!run.ok) std::fprintf(stderr, "bench-bsl: BSLSendFirmware failed with %d\n", r);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const bool unpacedOnly = argc > 1 && std::strcmp(argv[1], "--unpaced-only") == 0;
    char logName[] = "/tmp/quarbsl-bench-bsl-XXXXXX";
    const int fd = mkstemp(logName);
    if (fd >= 0) close(fd);
    QuarLog log(logName, 10, true);

    const Run unpaced = WriteImage(&log, 0);
    if (!unpaced.ok) return 1;
    const double unpacedBound = static_cast<double>(unpaced.bytesOnWire) * 10.0 / 9600.0;
    const double hostS = unpaced.wallS - unpaced.pausedS;
    std::printf("bsl write, unpaced: %zu bytes on the wire, wall %.3f s, prescribed pauses %.3f s, host %.3f s\n",
                unpaced.bytesOnWire, unpaced.wallS, unpaced.pausedS, hostS);
    std::printf("  ratio host time / 9600-baud wire time: %.4f\n", hostS / unpacedBound);

    if (!unpacedOnly) {
        const Run paced = WriteImage(&log, 9600);
        if (!paced.ok) return 1;
        const double bound = static_cast<double>(paced.bytesOnWire) * 10.0 / 9600.0;
        std::printf("bsl write, paced at 9600 baud: %zu bytes on the wire, total %.3f s, lower bound %.3f s\n",
                    paced.bytesOnWire, paced.wallS, bound);
        std::printf("  ratio total / lower bound: %.4f\n", paced.wallS / bound);
    }
    unlink(logName);
    return 0;
}
