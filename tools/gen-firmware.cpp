// Writes a stand-in firmware image as a TI-Text file: deterministic
// pseudo-random data in the given records, the given interrupt vectors, and
// data digits adjusted so that the image text the updater derives from the
// file has the requested checksum (sum of its characters as signed 8-bit
// values, record headers "@AAAAA" included).
//
// Usage:
//   quarbsl-gen-firmware --out FILE --record ADDR:BYTES [--record ...]
//       --vectors W0,W1,...,W15 [--checksum N] [--seed N]
// Addresses, sizes and vector words are hexadecimal. The label the updater
// shows is the output file's name without ".txt".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Record {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

int DigitCode(unsigned nibble)
{
    return nibble < 10 ? '0' + static_cast<int>(nibble) : 'A' + static_cast<int>(nibble) - 10;
}

long ByteCode(uint8_t b)
{
    return DigitCode(b >> 4) + DigitCode(b & 15);
}

long HeaderCode(uint32_t address)
{
    char h[16];
    std::snprintf(h, sizeof h, "@%05X", static_cast<unsigned>(address));
    long s = 0;
    for (const char* c = h; *c; ++c)
        s += *c;
    return s;
}

uint64_t Next(uint64_t& state)
{
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool ParseHex(const char* s, uint32_t* v)
{
    char* end = nullptr;
    unsigned long x = std::strtoul(s, &end, 16);
    if (end == s || x > 0xFFFFFul)
        return false;
    *v = static_cast<uint32_t>(x);
    return *end == '\0' || *end == ':' || *end == ',';
}

int Fail(const char* message, const char* detail = "")
{
    std::fprintf(stderr, "gen-firmware: %s%s\n", message, detail);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const char* outPath = nullptr;
    std::vector<Record> records;
    std::vector<uint32_t> vectors;
    bool haveChecksum = false;
    long checksum = 0;
    uint64_t seed = 1;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            return Fail("missing value after ", argv[i]);
        ++i;
        if (arg == "--out") {
            outPath = value;
        } else if (arg == "--record") {
            uint32_t address = 0, size = 0;
            const char* colon = std::strchr(value, ':');
            if (!colon || !ParseHex(value, &address) || !ParseHex(colon + 1, &size) || size == 0 || size % 2)
                return Fail("bad record (ADDR:BYTES, even size): ", value);
            if (address % 2 || (address >= 0xFA00 && address <= 0xFDFE) || (address >= 0xFFE0 && address <= 0xFFFE))
                return Fail("record address is odd or in a range the updater does not convert: ", value);
            records.push_back({address, std::vector<uint8_t>(size)});
        } else if (arg == "--vectors") {
            const char* p = value;
            while (*p) {
                uint32_t w = 0;
                if (!ParseHex(p, &w) || w > 0xFFFF)
                    return Fail("bad vector list: ", value);
                vectors.push_back(w);
                p = std::strchr(p, ',');
                if (!p)
                    break;
                ++p;
            }
        } else if (arg == "--checksum") {
            checksum = std::strtol(value, nullptr, 10);
            haveChecksum = true;
        } else if (arg == "--seed") {
            seed = std::strtoull(value, nullptr, 10);
        } else {
            return Fail("unknown option ", argv[i - 1]);
        }
    }
    if (!outPath || records.empty() || vectors.size() != 16)
        return Fail("need --out, at least one --record and 16 --vectors words");

    // Data: pseudo-random words, so no region is blank or constant.
    uint64_t state = seed;
    long sum = 0;
    for (auto& r : records) {
        sum += HeaderCode(r.address);
        for (std::size_t k = 0; k < r.bytes.size(); k += 8) {
            uint64_t x = Next(state);
            for (std::size_t j = 0; j < 8 && k + j < r.bytes.size(); ++j)
                r.bytes[k + j] = static_cast<uint8_t>(x >> (8 * j));
        }
        for (uint8_t b : r.bytes)
            sum += ByteCode(b);
    }

    // Move the sum to the target by changing digits, from the end of the
    // largest record backwards: each digit takes the value whose code comes
    // closest to the remaining difference.
    if (haveChecksum) {
        Record* big = &records[0];
        for (auto& r : records)
            if (r.bytes.size() > big->bytes.size())
                big = &r;
        long diff = checksum - sum;
        for (std::size_t k = big->bytes.size(); k-- > 0 && diff != 0;) {
            for (int shift : {0, 4}) {
                if (diff == 0)
                    break;
                const unsigned old = (big->bytes[k] >> shift) & 15u;
                unsigned best = old;
                long bestRest = diff;
                for (unsigned n = 0; n < 16; ++n) {
                    const long rest = diff - (DigitCode(n) - DigitCode(old));
                    if (std::labs(rest) < std::labs(bestRest)) {
                        best = n;
                        bestRest = rest;
                    }
                }
                big->bytes[k] = static_cast<uint8_t>((big->bytes[k] & ~(15u << shift)) | (best << shift));
                diff = bestRest;
            }
        }
        if (diff != 0)
            return Fail("records too small to reach the checksum");
    }

    std::FILE* f = std::fopen(outPath, "wb");
    if (!f)
        return Fail("cannot create ", outPath);
    for (const auto& r : records) {
        std::fprintf(f, "@%04X\n", static_cast<unsigned>(r.address));
        for (std::size_t k = 0; k < r.bytes.size(); ++k)
            std::fprintf(f, "%02X%c", r.bytes[k], (k % 16 == 15 || k + 1 == r.bytes.size()) ? '\n' : ' ');
    }
    std::fprintf(f, "@FFE0\n");
    for (int v = 0; v < 16; ++v)
        std::fprintf(f, "%02X %02X%c", vectors[v] & 0xFF, vectors[v] >> 8, v % 8 == 7 ? '\n' : ' ');
    std::fprintf(f, "q\n");
    if (std::fclose(f) != 0)
        return Fail("cannot write ", outPath);
    return 0;
}
