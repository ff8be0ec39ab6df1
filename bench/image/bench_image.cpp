// Loading a 1 MiB TI-Text file into the image, side by side with srec_cat
// converting the same file to binary. Both read the file from disk; the
// srec_cat figure includes starting the process, as a user would run it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/firmware_image.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string MakeTIText(std::size_t targetBytes)
{
    std::mt19937 rng(1);
    std::string s;
    s.reserve(targetBytes + 64);
    uint32_t address = 0x8000;
    auto record = [&](uint32_t start) {
        char h[16];
        std::snprintf(h, sizeof h, "@%X\n", static_cast<unsigned>(start));
        s += h;
    };
    record(address);
    std::size_t inLine = 0;
    while (s.size() + 64 < targetBytes) {
        if (address == 0xFA00) {
            // The device range stays free; the vectors, then the upper flash.
            s += "\n@FFE0\n";
            for (int i = 0; i < 16; ++i)
                s += "22 81 ";
            s += "\n";
            address = 0x10000;
            record(address);
            inLine = 0;
        }
        char b[4];
        std::snprintf(b, sizeof b, "%02X", static_cast<unsigned>(rng() & 0xFF));
        s += b;
        s += (++inLine % 16 == 0) ? '\n' : ' ';
        ++address;
    }
    s += "\nq\n";
    return s;
}

double MedianMs(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    char dir[] = "/tmp/quarbsl-bench-image-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string txt = std::string(dir) + "/bench 1.00.txt";
    const std::string bin = std::string(dir) + "/bench.bin";
    const std::string text = MakeTIText(1 << 20);
    if (std::FILE* f = std::fopen(txt.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

    const int runs = 15;
    FirmwareImage image(nullptr);
    std::vector<double> ours;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        const int r = image.BSLLoadTIFile(txt.c_str());
        ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (r != 1) {
            std::fprintf(stderr, "BSLLoadTIFile returned %d\n", r);
            return 1;
        }
    }

    std::string srecCat = QUARBSL_SREC_CAT;
    std::vector<double> theirs;
    if (!srecCat.empty() && srecCat.find("NOTFOUND") == std::string::npos) {
        const std::string cmd = "'" + srecCat + "' '" + txt + "' -ti_txt -o '" + bin + "' -binary";
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            const int r = std::system(cmd.c_str());
            theirs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (r != 0) {
                std::fprintf(stderr, "srec_cat failed\n");
                theirs.clear();
                break;
            }
        }
    }

    std::printf("TI-Text file: %zu bytes, image text %u characters, %d runs each (median)\n", text.size(),
                image.imageLength, runs);
    std::printf("  BSLLoadTIFile          %8.2f ms\n", MedianMs(ours));
    if (theirs.empty()) {
        std::printf("  srec_cat to binary     not available\n");
    } else {
        std::printf("  srec_cat to binary     %8.2f ms\n", MedianMs(theirs));
        std::printf("  ratio srec_cat / ours  %8.2f\n", MedianMs(theirs) / MedianMs(ours));
    }
    std::remove(txt.c_str());
    std::remove(bin.c_str());
    rmdir(dir);
    return 0;
}
