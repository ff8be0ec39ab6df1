#include "sim/flash.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using qsim::Flash;

// Flash of the default layout with nothing in it.
Flash Blank() {
  Flash f(qsim::SensorFlashLayout(107));
  f.EraseAll();
  return f;
}

// Flash holding an old application and filled information memory.
Flash Old() {
  Flash f(qsim::SensorFlashLayout(107));
  f.PreloadOldFirmware(7);
  return f;
}

bool AnyProgrammed(const Flash& f, uint32_t from, uint32_t to) {
  for (uint32_t a = from; a < to; ++a)
    if (f.At(a) != 0xFF) return true;
  return false;
}

TEST(Flash, RegionsOfTheDefaultLayout) {
  Flash f(qsim::SensorFlashLayout(107));
  struct {
    uint32_t address;
    Flash::Region region;
  } cases[] = {
      {0x0FFF, Flash::Region::None},   {0x1000, Flash::Region::Info},        {0x10BF, Flash::Region::Info},
      {0x10C0, Flash::Region::None},   {0x7FFF, Flash::Region::None},        {0x8000, Flash::Region::Main},
      {0xF9FF, Flash::Region::Main},   {0xFA00, Flash::Region::Loader},      {0xFDFF, Flash::Region::Loader},
      {0xFE00, Flash::Region::LastSegment}, {0xFFDF, Flash::Region::LastSegment}, {0xFFE0, Flash::Region::Vectors},
      {0x10000, Flash::Region::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(f.RegionOf(c.address), c.region);
  }
  Flash wide(qsim::SensorFlashLayout(93));
  EXPECT_EQ(wide.RegionOf(0x87FFF), Flash::Region::Main);
  EXPECT_EQ(wide.RegionOf(0x88000), Flash::Region::None);
  EXPECT_EQ(wide.RegionOf(0x19FF), Flash::Region::Info);
}

TEST(Flash, EraseTakesWholeSegments) {
  Flash f = Old();
  uint32_t start = 0, length = 0;
  ASSERT_TRUE(f.EraseSegment(0x8123, &start, &length));
  EXPECT_EQ(start, 0x8000u);
  EXPECT_EQ(length, 512u);
  EXPECT_FALSE(AnyProgrammed(f, 0x8000, 0x8200));
  EXPECT_TRUE(AnyProgrammed(f, 0x8200, 0x8400));  // the next segment keeps the old code
  ASSERT_TRUE(f.EraseSegment(0x1041, &start, &length));
  EXPECT_EQ(start, 0x1040u);
  EXPECT_EQ(length, 64u);
  EXPECT_FALSE(AnyProgrammed(f, 0x1040, 0x1080));
  EXPECT_TRUE(AnyProgrammed(f, 0x1000, 0x1040));
  // the loader's code, the last segment and memory outside flash are not erased from outside
  EXPECT_FALSE(f.EraseSegment(0xFA00));
  EXPECT_FALSE(f.EraseSegment(0xFE00));
  EXPECT_FALSE(f.EraseSegment(0x0200));
  EXPECT_TRUE(AnyProgrammed(f, 0xFA00, 0xFC00));

  // a first segment that shares its 512 bytes with other memory is erased from the flash start only
  Flash low(qsim::SensorFlashLayout(125));
  ASSERT_TRUE(low.EraseSegment(0x1100, &start, &length));
  EXPECT_EQ(start, 0x1100u);
  EXPECT_EQ(length, 256u);
}

TEST(Flash, WritesOnlyClearBitsAndOverwritesAreRecorded) {
  Flash f = Blank();
  const uint8_t first[] = {0xF0, 0x0F};
  ASSERT_TRUE(f.Write(0x8000, first, 2));
  EXPECT_EQ(f.ErrorCount(), 0u);
  EXPECT_TRUE(f.SelfCheck() == false);  // no vectors yet
  const uint8_t second[] = {0x0F, 0x0F};
  ASSERT_TRUE(f.Write(0x8000, second, 2));  // 0xF0 -> 0x0F needs bits set: not possible
  EXPECT_EQ(f.At(0x8000), 0x00);
  EXPECT_EQ(f.At(0x8001), 0x0F);
  ASSERT_EQ(f.ErrorCount(), 1u);
  EXPECT_NE(f.Errors()[0].find("unerased flash at 0x08000"), std::string::npos) << f.Errors()[0];
}

TEST(Flash, RefusesWritesIntoTheLoaderAreaTheVectorsAndOutsideFlash) {
  Flash f = Blank();
  std::vector<uint8_t> bytes(16, 0x12);
  struct {
    uint32_t address;
    bool accepted;
  } cases[] = {
      {0xF9F0, true}, {0xF9F8, false},  // runs into 0xFA00
      {0xFC00, false}, {0xFE00, true}, {0xFFD0, true}, {0xFFD8, false},  // runs into the vectors
      {0x0F00, false}, {0x1000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(f.Write(c.address, bytes.data(), bytes.size()), c.accepted);
  }
  EXPECT_EQ(f.At(0xF9F8), 0x12);  // written by the accepted 0xF9F0 write
  EXPECT_EQ(f.At(0xF9FF), 0x12);
  EXPECT_EQ(f.At(0xFFE0), 0xFF);  // the refused write left the vectors alone
  EXPECT_EQ(f.ErrorCount(), 4u);
}

TEST(Flash, SelfCheckWantsAConsistentCompleteImage) {
  const uint8_t code[] = {0x31, 0x40, 0x00, 0x0A};
  uint16_t vectors[16];
  for (uint16_t& v : vectors) v = 0x8000;

  {
    Flash f = Blank();
    f.Write(0x8000, code, 4);
    f.WriteVectors(vectors);
    std::string why;
    EXPECT_TRUE(f.SelfCheck(&why)) << why;
  }
  {  // vectors first, program after: the image is not finished
    Flash f = Blank();
    f.WriteVectors(vectors);
    f.Write(0x8000, code, 4);
    EXPECT_FALSE(f.SelfCheck());
  }
  {  // a byte spoiled by a write onto unerased flash
    Flash f = Old();
    f.Write(0x8000, code, 4);
    f.WriteVectors(vectors);
    std::string why;
    EXPECT_FALSE(f.SelfCheck(&why));
    EXPECT_NE(why.find("written as"), std::string::npos) << why;
  }
  {  // reset vector into erased flash
    Flash f = Blank();
    f.Write(0x8000, code, 4);
    uint16_t away[16];
    for (uint16_t& v : away) v = 0x9000;
    f.WriteVectors(away);
    EXPECT_FALSE(f.SelfCheck());
  }
}

TEST(Flash, DumpParsesBackAndComparesEqual) {
  Flash f = Blank();
  std::vector<uint8_t> code(40);
  for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i * 3);
  code[20] = 0xFF;  // an erased-looking byte inside the record
  f.Write(0x8000, code.data(), code.size());
  const uint8_t high[] = {0xAA, 0x55};
  f.Write(0xFE00, high, 2);
  uint16_t vectors[16];
  for (int i = 0; i < 16; ++i) vectors[i] = static_cast<uint16_t>(0x8000 + i);
  f.WriteVectors(vectors);

  std::string dump = f.DumpTiText();
  EXPECT_EQ(dump.rfind("@8000\n00 03 06", 0), 0u) << dump;
  qsim::TiImage image;
  std::string error;
  ASSERT_TRUE(qsim::ParseTiText(dump, image, &error)) << error;
  std::string report;
  EXPECT_EQ(f.Compare(image, &report), 0u) << report;

  image.bytes[0x8001] = 0x44;  // the image wants another byte
  image.bytes[0x9000] = 0x00;  // and one the flash never got
  EXPECT_EQ(f.Compare(image, &report), 2u);
  EXPECT_NE(report.find("first at 0x08001 (flash 03, image 44)"), std::string::npos) << report;
}

TEST(Flash, TiTextParserRejectsBrokenFilesAndSkipsTheLoaderArea) {
  const char* bad[] = {"", "8000\n00\nq\n", "@8000\n0\nq\n", "@8000\n00 11\n", "@\n00\nq\n", "@8000\n0G\nq\n"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    qsim::TiImage image;
    EXPECT_FALSE(qsim::ParseTiText(text, image, nullptr));
  }
  qsim::TiImage image;
  ASSERT_TRUE(qsim::ParseTiText("@FC00\n11 22\n@FFFE\n00 80\nq\n", image, nullptr));
  EXPECT_EQ(image.bytes[0xFC00], -1);
  EXPECT_EQ(image.bytes[0xFFFE], 0x00);
  EXPECT_EQ(image.bytes[0xFFFF], 0x80);
  EXPECT_EQ(image.count, 2u);
}

}  // namespace
