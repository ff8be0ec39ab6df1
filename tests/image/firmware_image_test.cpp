// The embedded image, loading TI-Text files into it, and the image dump.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "diag/quarlog.h"
#include "image/embedded_image.h"
#include "image/firmware_image.h"
#include "image/image_test_util.h"

namespace {

const std::vector<uint32_t> kStandInVectors = {0x3FFF, 0x3FFF, 0x8000, 0x8122, 0x3FFF, 0x8122,
                                               0x8122, 0x8122, 0x8122, 0x8122, 0x8122, 0x3FFF,
                                               0x8122, 0x80DC, 0x8122, 0x8128};

std::vector<uint32_t> Vectors(const FirmwareImage& img)
{
    return std::vector<uint32_t>(std::begin(img.vectors), std::end(img.vectors));
}

// Record headers and digit counts of an image text.
std::vector<std::pair<std::string, std::size_t>> Records(const char* text)
{
    std::vector<std::pair<std::string, std::size_t>> out;
    for (const char* p = text; *p;) {
        EXPECT_EQ(*p, '@');
        std::string header(p, 6);
        p += 6;
        std::size_t n = 0;
        for (; *p && *p != '@'; ++p, ++n)
            EXPECT_TRUE(std::strchr("0123456789ABCDEF", *p)) << "character " << int(*p);
        out.push_back({header, n});
    }
    return out;
}

struct Snapshot {
    std::string label, text;
    int version;
    uint8_t type;
    unsigned length;
    std::vector<uint32_t> vectors;
    explicit Snapshot(const FirmwareImage& i)
        : label(i.imageLabel), text(i.imageText), version(i.imageVersion), type(i.imageDeviceType),
          length(i.imageLength), vectors(Vectors(i))
    {
    }
    bool operator==(const Snapshot&) const = default;
};

class ImageTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string logPath = dir.Path("log.txt");
    QuarLog log{logPath.c_str(), 30, true};
    std::string LogText() { return ReadFile(logPath); }
};

TEST_F(ImageTest, EmbeddedImageHasTheStandInFacts)
{
    if (!QUARBSL_DEFAULT_FIRMWARE)
        GTEST_SKIP() << "this build embeds another firmware file";
    FirmwareImage img(&log);
    EXPECT_EQ(img.ConstructionResult(), 0);
    EXPECT_STREQ(img.imageLabel, "ORBIS62 4.06");
    EXPECT_EQ(img.imageDeviceType, 10);
    EXPECT_EQ(img.imageLength, 63442u);
    ASSERT_EQ(std::strlen(img.imageText), 63442u);
    EXPECT_EQ(ImageTextChecksum(img.imageText, img.imageLength), 3688124);
    using R = std::vector<std::pair<std::string, std::size_t>>;
    EXPECT_EQ(Records(img.imageText), (R{{"@08000", 62464}, {"@0FE00", 896}, {"@0FFC0", 64}}));
    EXPECT_EQ(Vectors(img), kStandInVectors);

    // Plausible contents: no long runs of erased words.
    std::size_t erasedWords = 0;
    for (const char* p = std::strstr(img.imageText, "FFFF"); p; p = std::strstr(p + 4, "FFFF"))
        ++erasedWords;
    EXPECT_LT(erasedWords, 20u);
}

TEST_F(ImageTest, EmbeddedImageIsWhatTheReaderMakesOfItsFile)
{
    // The build and the run-time reader derive the same image.
    FirmwareImage img(&log);
    ASSERT_EQ(img.ConstructionResult(), 0);
    const std::string embedded(img.imageText, img.imageLength);
    const auto vectors = Vectors(img);
    if (!QUARBSL_DEFAULT_FIRMWARE)
        GTEST_SKIP() << "this build embeds another firmware file";
    ASSERT_EQ(img.BSLLoadTIFile(QUARBSL_STANDIN_FILE), 1);
    EXPECT_EQ(std::string(img.imageText), embedded);
    EXPECT_EQ(Vectors(img), vectors);
    EXPECT_STREQ(img.imageLabel, "ORBIS62 4.06");
    EXPECT_EQ(img.imageVersion, 406);
    EXPECT_EQ(img.imageDeviceType, 10);
}

TEST_F(ImageTest, CommittedStandInIsWhatTheGeneratorWrites)
{
    std::ifstream args(QUARBSL_STANDIN_ARGS_FILE);
    std::string cmd = ShellQuote(QUARBSL_GEN_FIRMWARE) + " --out " + ShellQuote(dir.Path("ORBIS62 4.06.txt"));
    for (std::string a; std::getline(args, a);)
        if (!a.empty())
            cmd += " " + ShellQuote(a);
    ASSERT_TRUE(RunCommand(cmd)) << cmd;
    EXPECT_TRUE(ReadFile(dir.Path("ORBIS62 4.06.txt")) == ReadFile(QUARBSL_STANDIN_FILE))
        << "firmware/ORBIS62 4.06.txt differs from the generator's output; rebuild target regen-firmware";
}

TEST(EmbeddedImageCheck, AnyChangeToTheTextFails)
{
    std::string text(embeddedText, embeddedLength);
    EXPECT_EQ(CheckEmbeddedImageText(text.c_str(), text.size() + 1), 0);

    std::string changed = text;
    changed[changed.size() / 2] = changed[changed.size() / 2] == '1' ? '2' : '1';
    EXPECT_EQ(CheckEmbeddedImageText(changed.c_str(), changed.size() + 1), -101);

    std::string cut = text;
    cut[cut.size() - 1] = '\0'; // one character short
    EXPECT_EQ(CheckEmbeddedImageText(cut.c_str(), cut.size() + 1), -101);

    // Two changes that keep the sum still differ in length: append one.
    std::string longer = text + "0";
    EXPECT_EQ(CheckEmbeddedImageText(longer.c_str(), longer.size() + 1), -101);
    EXPECT_EQ(CheckEmbeddedImageText(nullptr, 0), -101);
}

TEST_F(ImageTest, LoadingAFileReplacesTheImage)
{
    const std::string path = dir.Path("LumoZ-R 3-02.txt");
    WriteFile(path, "@8000\n0F 12 0E 12\n@FFE0\n0F 12\nq\n");
    FirmwareImage img(&log);
    ASSERT_EQ(img.BSLLoadTIFile(path.c_str()), 1);
    EXPECT_STREQ(img.imageText, "@08000120F120E");
    EXPECT_EQ(img.imageLength, 14u);
    std::vector<uint32_t> want(16, 0xFFFF);
    want[0] = 0x120F;
    EXPECT_EQ(Vectors(img), want);
    EXPECT_STREQ(img.imageLabel, "LumoZ-R 3.02");
    EXPECT_EQ(img.imageDeviceType, 3);
    EXPECT_EQ(img.imageVersion, 302);
    EXPECT_NE(LogText().find("QuarBSL: BSLLoadTIFile loaded file " + path + " ("), std::string::npos) << LogText();

    // A second file replaces the first; a name without a key keeps the type.
    const std::string second = dir.Path("bench image.txt");
    WriteFile(second, "@FFE0\n01 00\nq");
    ASSERT_EQ(img.BSLLoadTIFile(second.c_str()), 1);
    EXPECT_STREQ(img.imageText, "");
    EXPECT_EQ(img.imageLength, 0u);
    EXPECT_STREQ(img.imageLabel, "bench image");
    EXPECT_EQ(img.imageDeviceType, 3);
    EXPECT_EQ(img.imageVersion, 0);
}

TEST_F(ImageTest, AFailedLoadKeepsTheImage)
{
    FirmwareImage img(&log);
    const Snapshot before(img);

    struct Case {
        const char* name;
        std::string content;
        int result;
        const char* logged; // nullptr: nothing logged
    };
    const Case cases[] = {
        {"no-at.txt", "8000\n00 00\n@FFE0\n00 00\nq", -100, nullptr},
        {"no-q.txt", "@8000\n00 00\n@FFE0\n00 00\n", -100, nullptr},
        {"empty.txt", "", -100, nullptr},
        {"Lumo 1.00.txt", "@8000\n00 00\nq", -100, "is not a valid TI-Text file ("},
        {"Lumo 1.01.txt", "@8000\n0F 12\n@FFE0\n00 11 2\nq", -100, "is not a valid TI-Text file ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Path(c.name);
        WriteFile(path, c.content);
        const std::size_t logBefore = LogText().size();
        EXPECT_EQ(img.BSLLoadTIFile(path.c_str()), c.result);
        EXPECT_TRUE(Snapshot(img) == before);
        const std::string added = LogText().substr(logBefore);
        if (c.logged == nullptr) {
            EXPECT_EQ(added, "");
        } else {
            EXPECT_NE(added.find("QuarBSL: BSLLoadTIFile: file " + path + " " + c.logged), std::string::npos) << added;
        }
    }

    const std::string missing = dir.Path("missing.txt");
    EXPECT_EQ(img.BSLLoadTIFile(missing.c_str()), -ENOENT);
    EXPECT_NE(LogText().find("BSLLoadTIFile got error 2 trying to open datafile " + missing), std::string::npos);
    EXPECT_EQ(img.BSLLoadTIFile(dir.Path("").c_str()), -EISDIR);
    EXPECT_EQ(img.BSLLoadTIFile(nullptr), -EINVAL);
    EXPECT_TRUE(Snapshot(img) == before);
}

TEST_F(ImageTest, HugeFilesAreRefusedUnread)
{
    FirmwareImage img(&log);
    const Snapshot before(img);
    // A sparse file: valid TI-Text at the start, then a hole past 16 MiB.
    const std::string path = dir.Path("Lumo 9.99.txt");
    WriteFile(path, "@8000\n00 00\n@FFE0\n00 00\nq\n");
    ASSERT_EQ(truncate(path.c_str(), kMaxTITextFileSize + 1), 0);
    EXPECT_EQ(img.BSLLoadTIFile(path.c_str()), -100);
    EXPECT_TRUE(Snapshot(img) == before);

    ASSERT_EQ(truncate(path.c_str(), kMaxTITextFileSize), 0);
    EXPECT_EQ(img.BSLLoadTIFile(path.c_str()), 1) << "exactly the limit is accepted";
}

TEST_F(ImageTest, DumpOfTheEmbeddedImage)
{
    if (!QUARBSL_DEFAULT_FIRMWARE)
        GTEST_SKIP() << "this build embeds another firmware file";
    FirmwareImage img(&log);
    const std::string path = dir.Path("dump.txt");
    ASSERT_EQ(img.BSLWriteTIFile(path.c_str()), 1);
    EXPECT_NE(LogText().find("QuarBSL: BSLWriteTIFile wrote file " + path + " ("), std::string::npos);

    std::istringstream in(ReadFile(path));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    // 62464 + 896 + 64 digits in lines of 32, three headers, the empty line,
    // the vector header and two lines of vectors.
    ASSERT_EQ(lines.size(), 1952u + 28u + 2u + 3u + 4u);
    EXPECT_EQ(lines[0], "@08000");
    EXPECT_EQ(lines[1953], "@0FE00");
    EXPECT_EQ(lines[1982], "@0FFC0");
    for (std::size_t i = 0; i < 1985; ++i) {
        if (i != 0 && i != 1953 && i != 1982) {
            ASSERT_EQ(lines[i].size(), 32u) << "line " << i;
        }
    }
    EXPECT_EQ(lines[1985], "");
    EXPECT_EQ(lines[1986], "@FFE0");
    EXPECT_EQ(lines[1987], "3FFF3FFF800081223FFF812281228122");
    EXPECT_EQ(lines[1988], "8122812281223FFF812280DC81228128");

    // The listing's digits are the image text's, in its order.
    std::string digits;
    for (std::size_t i = 0; i < 1985; ++i)
        digits += lines[i];
    EXPECT_EQ(digits, std::string(img.imageText));
}

TEST_F(ImageTest, DumpLayoutOfShortRecords)
{
    const std::string src = dir.Path("short.txt");
    std::string bytes;
    for (int i = 0; i < 20; ++i)
        bytes += "A5 ";
    WriteFile(src, "@8000\n" + bytes + "\n@9000\n01 02\n@FFE0\n34 12 78 56\nq\n");
    FirmwareImage img(&log);
    ASSERT_EQ(img.BSLLoadTIFile(src.c_str()), 1);
    const std::string path = dir.Path("dump.txt");
    ASSERT_EQ(img.BSLWriteTIFile(path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), "@08000\n"
                              "A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5\n"
                              "A5A5A5A5@09000\n"
                              "0201\n"
                              "@FFE0\n"
                              "12345678FFFFFFFFFFFFFFFFFFFFFFFF\n"
                              "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\n");
}

TEST_F(ImageTest, DumpErrorsAreReported)
{
    FirmwareImage img(&log);
    const std::string noDir = dir.Path("no/such/dump.txt");
    EXPECT_EQ(img.BSLWriteTIFile(noDir.c_str()), -ENOENT);
    EXPECT_NE(LogText().find("BSLWriteTIFile got error 2 trying to open datafile " + noDir), std::string::npos);
    if (access("/dev/full", W_OK) == 0) {
        // A full disk is not a successful dump.
        EXPECT_EQ(img.BSLWriteTIFile("/dev/full"), -ENOSPC);
        EXPECT_NE(LogText().find("BSLWriteTIFile got error 28 trying to write datafile /dev/full"), std::string::npos);
    }
}

} // namespace
