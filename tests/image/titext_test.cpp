// TI-Text conversion and file-name analysis.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/firmware_image.h"
#include "image/image_test_util.h"

namespace {

struct Converted {
    int result;
    std::string text;
    std::vector<uint32_t> vectors;
};

Converted Convert(const std::string& in)
{
    // An output buffer as large as the input, as the file reader uses.
    std::vector<char> out(in.size() + 1, 'x');
    std::size_t needed = 0;
    uint32_t v[kVectorCount];
    std::fill(std::begin(v), std::end(v), 0xDEADu);
    int r = ConvertTIText(in.data(), in.size(), out.data(), out.size(), &needed, v);
    if (r == 1 && needed >= out.size()) {
        out.assign(needed + 1, 'x');
        r = ConvertTIText(in.data(), in.size(), out.data(), out.size(), &needed, v);
    }
    Converted c{r, std::string(out.data()), std::vector<uint32_t>(std::begin(v), std::end(v))};
    if (r == 1) {
        EXPECT_EQ(needed, c.text.size());
    }
    return c;
}

const std::string kVec = "@FFE0\n00 00\n";

struct ConversionCase {
    const char* what;
    std::string input;
    int result;
    const char* text; // expected image text when result is 1
};

TEST(TITextConversion, RecordsToImageText)
{
    const ConversionCase cases[] = {
        {"basic words", "@8000\n0F 12 0E 12\n" + kVec + "q\n", 1, "@08000120F120E"},
        {"no blanks", "@8000\n0F120E12\n" + kVec + "q", 1, "@08000120F120E"},
        {"blank lines and CRLF", "@8000\r\n\r\n0F 12\r\n\r\n0E 12\r\n" + kVec + "q\r\n", 1, "@08000120F120E"},
        {"lower-case digits", "@8000\n0f 12 0e ab\n" + kVec + "q", 1, "@08000120FAB0E"},
        {"lower-case address", "@fe00\n01 02\n" + kVec + "q", 1, "@0FE000201"},
        {"leftover byte", "@8000\n0F 12 56\n" + kVec + "q", 1, "@08000120FFF56"},
        {"stray digit", "@8000\n0F 12 5\n" + kVec + "q", 1, "@08000120FFF5F"},
        {"20-bit address", "@10000\n34 12\n" + kVec + "q", 1, "@100001234"},
        {"text after q ignored", "@8000\n0F 12\n" + kVec + "q\n@9000\n11 22\n", 1, "@08000120F"},
        {"two records", "@1100\n01 02\n@8000\n03 04\n" + kVec + "q", 1, "@011000201@080000403"},
        {"device range skipped", "@FC00\n01 02\n@FA00\n03 04\n@FDFE\n05 06\n" + kVec + "q", 1, ""},
        {"FDFF is converted", "@FDFF\n01 02\n" + kVec + "q", 1, "@0FDFF0201"},
        {"F9FF is converted", "@F9FF\n01 02\n" + kVec + "q", 1, "@0F9FF0201"},
        {"vectors only", kVec + "q", 1, ""},
        {"empty data record", "@8000\n@FFE0\n00 00\nq", 1, "@08000"},
        {"no vector record", "@8000\n0F 12\nq", -100, nullptr},
        {"no leading @", "\n@8000\n0F 12\n" + kVec + "q", -100, nullptr},
        {"no q", "@8000\n0F 12\n" + kVec, -100, nullptr},
        {"record without address", "@8000\n0F 12\n@\n00 00\n" + kVec + "q", -100, nullptr},
        {"address on the next line", "@\n8000 0F 12\n" + kVec + "q", -100, nullptr},
        {"record without line feed", "@8000 0F 12 " + kVec + "q", -100, nullptr},
        {"vector record without line feed", "@8000\n0F 12\n@FFE0 00 00 q", -100, nullptr},
        {"incomplete vector group", "@8000\n0F 12\n@FFE0\n00 00 11\nq", -100, nullptr},
        {"address beyond 20 bits", "@100000\n01 02\n" + kVec + "q", -100, nullptr},
        {"huge address", "@FFFFFFFFFFFFFFFF8000\n01 02\n" + kVec + "q", -100, nullptr},
        {"empty input", "", -100, nullptr},
        {"just q", "q", -100, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Converted got = Convert(c.input);
        EXPECT_EQ(got.result, c.result);
        if (c.result == 1) {
            EXPECT_EQ(got.text, c.text);
        } else {
            EXPECT_EQ(got.vectors, std::vector<uint32_t>(kVectorCount, 0xDEADu)) << "vectors touched on failure";
        }
    }
}

TEST(TITextConversion, VectorRecords)
{
    struct Case {
        const char* what;
        std::string record;
        int result;
        std::vector<std::pair<int, uint32_t>> set; // index, word; all others 0xFFFF
    };
    std::string fifteen = "@FFE0\n";
    for (int i = 0; i < 15; ++i) {
        char b[8];
        std::snprintf(b, sizeof b, "%02X 80 ", i);
        fifteen += b;
    }
    std::string seventeen = "@FFE0\n";
    for (int i = 0; i < 17; ++i)
        seventeen += "11 22 ";
    std::vector<std::pair<int, uint32_t>> fifteenSet;
    for (int i = 0; i < 15; ++i)
        fifteenSet.push_back({i, 0x8000u + i});
    const Case cases[] = {
        {"byte pair order", "@FFE0\n0F 12 FF 3F\n", 1, {{0, 0x120F}, {1, 0x3FFF}}},
        {"fifteen words leave the reset vector", fifteen, 1, fifteenSet},
        {"reset vector alone", "@FFFE\n28 81\n", 1, {{15, 0x8128}}},
        {"record at an odd address", "@FFE3\n22 81\n", 1, {{1, 0x8122}}},
        {"two vector records", "@FFE0\n01 00\n@FFFC\n02 00 03 00\n", 1, {{0, 1}, {14, 2}, {15, 3}}},
        {"word past FFFE", "@FFFE\n28 81 00 00\n", -100, {}},
        {"seventeen words", seventeen, -100, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Converted got = Convert("@8000\n01 02\n" + c.record + "q\n");
        ASSERT_EQ(got.result, c.result);
        if (c.result != 1)
            continue;
        std::vector<uint32_t> want(kVectorCount, 0xFFFF);
        for (auto [i, w] : c.set)
            want[i] = w;
        EXPECT_EQ(got.vectors, want);
        EXPECT_EQ(got.text, "@080000201");
    }
}

TEST(TITextConversion, NeverWritesPastTheOutputBuffer)
{
    // Short records give more text than the file has bytes.
    std::string in;
    std::string want;
    for (int i = 0; i < 50; ++i) {
        char rec[32];
        std::snprintf(rec, sizeof rec, "@%X\n5", 0x8000 + 4 * i);
        in += rec;
        std::snprintf(rec, sizeof rec, "@%05XFF5F", 0x8000 + 4 * i);
        want += rec;
    }
    in += "@FFE0\n0000q";
    ASSERT_GT(want.size(), in.size());

    for (std::size_t cap : {std::size_t{0}, std::size_t{1}, std::size_t{7}, in.size() + 1}) {
        SCOPED_TRACE(cap);
        std::vector<char> out(cap + 16, '#');
        std::size_t needed = 0;
        uint32_t v[kVectorCount];
        ASSERT_EQ(ConvertTIText(in.data(), in.size(), cap ? out.data() : nullptr, cap, &needed, v), 1);
        EXPECT_EQ(needed, want.size());
        for (std::size_t i = cap; i < out.size(); ++i)
            ASSERT_EQ(out[i], '#') << "byte " << i << " written";
        if (cap > 0) {
            EXPECT_EQ(out[std::min(cap - 1, want.size())], '\0');
            EXPECT_EQ(std::string(out.data()), want.substr(0, cap - 1));
        }
    }
    EXPECT_EQ(Convert(in).text, want);
}

// Data written by srec_cat from random blocks must give the image text and
// vectors that the byte-pair rules give.
TEST(TITextConversion, MatchesFilesWrittenBySrecCat)
{
    const std::string srecCat = QUARBSL_SREC_CAT;
    if (srecCat.empty() || srecCat.find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "srec_cat is not installed";
    TempDir dir;
    std::mt19937 rng(20240611);

    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        struct Block {
            uint32_t address;
            std::string bytes;
        };
        std::vector<Block> blocks;
        // Slots far enough apart to leave gaps (srec_cat joins adjacent
        // data into one record); each gives an even or an odd start.
        struct Slot {
            uint32_t address, maxBytes;
        };
        std::vector<Slot> slots = {{0x1100, 700}, {0x2000, 700},  {0x8000, 700},   {0xC000, 700},
                                   {0xF000, 700}, {0xFB00, 700},  {0xFE00, 0x1BE}, {0x10002, 700},
                                   {0x24400, 700}, {0xF0000, 700}};
        std::shuffle(slots.begin(), slots.end(), rng);
        const int count = 1 + static_cast<int>(rng() % 5);
        for (int b = 0; b < count; ++b) {
            std::string bytes(1 + rng() % slots[b].maxBytes, '\0');
            for (char& c : bytes)
                c = static_cast<char>(rng());
            blocks.push_back({slots[b].address + static_cast<uint32_t>(rng() % 2), bytes});
        }
        const unsigned firstVector = rng() % 16;
        const unsigned vectorWords = 1 + rng() % (16 - firstVector);
        std::string vbytes(2 * vectorWords, '\0');
        for (char& c : vbytes)
            c = static_cast<char>(rng());

        std::string cmd = ShellQuote(srecCat);
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::string bin = dir.Path("b" + std::to_string(b) + ".bin");
            WriteFile(bin, blocks[b].bytes);
            char off[32];
            std::snprintf(off, sizeof off, "0x%X", static_cast<unsigned>(blocks[b].address));
            cmd += " " + ShellQuote(bin) + " -binary -offset " + off;
        }
        WriteFile(dir.Path("v.bin"), vbytes);
        char voff[32];
        std::snprintf(voff, sizeof voff, "0x%X", 0xFFE0 + 2 * firstVector);
        cmd += " " + ShellQuote(dir.Path("v.bin")) + " -binary -offset " + voff;
        const std::string txt = dir.Path("image.txt");
        cmd += " -o " + ShellQuote(txt) + " -ti_txt";
        ASSERT_TRUE(RunCommand(cmd)) << cmd;

        // Expected: blocks in address order, the device range left out, each
        // byte pair as one word written high byte first, a lone last byte
        // completed with FF.
        std::sort(blocks.begin(), blocks.end(), [](auto& a, auto& b) { return a.address < b.address; });
        std::string want;
        for (const auto& b : blocks) {
            if (b.address >= 0xFA00 && b.address <= 0xFDFE)
                continue;
            char h[16];
            std::snprintf(h, sizeof h, "@%05X", static_cast<unsigned>(b.address));
            want += h;
            for (std::size_t i = 0; i < b.bytes.size(); i += 2) {
                const unsigned lo = static_cast<unsigned char>(b.bytes[i]);
                const unsigned hi = i + 1 < b.bytes.size() ? static_cast<unsigned char>(b.bytes[i + 1]) : 0xFF;
                char w[8];
                std::snprintf(w, sizeof w, "%02X%02X", hi, lo);
                want += w;
            }
        }
        std::vector<uint32_t> wantVectors(kVectorCount, 0xFFFF);
        for (unsigned i = 0; i < vectorWords; ++i)
            wantVectors[firstVector + i] = static_cast<unsigned char>(vbytes[2 * i]) |
                                           static_cast<unsigned char>(vbytes[2 * i + 1]) << 8;

        Converted got = Convert(ReadFile(txt));
        ASSERT_EQ(got.result, 1);
        EXPECT_EQ(got.text, want);
        EXPECT_EQ(got.vectors, wantVectors);
    }
}

TEST(FirmwareFileName, LabelTypeAndVersion)
{
    struct Case {
        const char* path;
        const char* label;
        int type; // expected device type, starting from 10
        int version;
    };
    const Case cases[] = {
        {"LumoZ-R 3-02.txt", "LumoZ-R 3.02", 3, 302},
        {"Lumo 3.02.txt", "Lumo 3.02", 1, 302},
        {"K7W 2.10.txt", "K7W 2.10", 10, 210},
        {"k7v-1.05.txt", "k7v-1.05", 10, 105},
        {"fieldlet_1.00.txt", "fieldlet_1.00", 21, 0},
        {"SSIXOPT 2.31.txt", "SSIXOPT 2.31", 22, 231},
        {"brenna-tx 1.00.txt", "brenna-tx 1.00", 10, 100}, // key stops at the hyphen: "BRENNA"
        {"sbase 1.23.txt", "sbase 1.23", 20, 123},
        {"UNKNOWN 1.00.txt", "UNKNOWN 1.00", 10, 100},     // delimiters never match
        {"END 1.00.txt", "END 1.00", 10, 100},
        {"Mystery 9.99.txt", "Mystery 9.99", 10, 999},
        {"/srv/fw/SND 1.00/Cirro 2.05.txt", "Cirro 2.05", 18, 205},
        {"/srv/Lumo 1.00/", "", 10, 0},
        {"Lumo 1.00.TXT", "Lumo 1.00.TXT", 1, 100},        // only the exact ".txt" is cut
        {"Lumo 1.00.txt.bak", "Lumo 1.00", 1, 100},
        {"Lumo 12-3", "Lumo 12.3", 1, 123},
        {"Lumo-abc-", "Lumo-abc-", 1, 0},                   // last hyphen not between digits
        {"Lumo 1-2 x-3", "Lumo 1-2 x-3", 1, 123},
        {"Lumo 99999999999999", "Lumo 99999999999999", 1, 2147483647},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        char label[kImageLabelSize];
        std::memset(label, 'z', sizeof label);
        uint8_t type = 10;
        int version = -1;
        AnalyseFirmwareFileName(c.path, label, &type, &version);
        EXPECT_STREQ(label, c.label);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(version, c.version);
    }

    const std::string longName = "Lumo " + std::string(70, '1') + ".txt";
    char label[kImageLabelSize];
    uint8_t type = 0;
    int version = 0;
    AnalyseFirmwareFileName(longName.c_str(), label, &type, &version);
    EXPECT_EQ(std::string(label), longName.substr(0, 64));
    EXPECT_EQ(type, 1);
    EXPECT_EQ(version, 2147483647); // eleven digits do not fit an int
}

} // namespace
