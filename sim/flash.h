// Flash memory of a simulated device: a 20-bit address space, erased bytes
// 0xFF, segment erase, and programming that can only clear bits.
//
// Regions:
//   information memory  infoStart, infoSegments segments of infoSegmentSize
//   main flash          mainStart up to 0x10000 (or mainEnd when that is
//                       higher), 512-byte segments aligned to 512
//   loader area         0xFA00-0xFDFF inside main flash: the loader's own
//                       code; never erased or written from outside
//   last segment        0xFE00-0xFFFF: erased by the loader itself (with the
//                       first main-flash erase of a connection); its bytes up
//                       to 0xFFDF are written like main flash, the vector
//                       table 0xFFE0-0xFFFF only through WriteVectors
//
// A write onto bytes that are not erased still happens (the bits AND
// together, as on the chip) but is recorded as an error, and the bytes then
// differ from what was meant to be written. A write that touches the loader
// area, the vector table or an address outside flash is refused whole.
//
// The application is consistent (SelfCheck) when every written byte holds
// what was written, the vector table was written after the last write of
// program bytes, and the reset vector points at a written program byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qsim {

struct FlashLayout {
  bool wideAddress = false;
  uint32_t mainStart = 0x8000;
  uint32_t mainEnd = 0xF9FF;  // erase bound the updater uses; flash runs to 0xFFFF at least
  uint32_t infoStart = 0x1000;
  uint32_t infoSegments = 3;
  uint32_t infoSegmentSize = 64;
};

// Memory layout of a digital sensor type (same values the maker's catalogue
// gives for each type).
FlashLayout SensorFlashLayout(int sensorType);

// An image as address -> byte, parsed from TI-Text.
struct TiImage {
  std::vector<int16_t> bytes;  // 0x100000 entries, -1 where the image has no byte
  size_t count = 0;
  TiImage() : bytes(0x100000, -1) {}
};

// Parses TI-Text ("@addr" lines, hex byte pairs separated by blanks, "q").
// Records in the loader area 0xFA00-0xFDFF are left out, as the updater never
// programs them. False with a message for a text that is not TI-Text.
bool ParseTiText(std::string_view text, TiImage& image, std::string* error);
bool LoadTiTextFile(const std::string& path, TiImage& image, std::string* error);

class Flash {
 public:
  static constexpr uint32_t kSpace = 0x100000;
  static constexpr uint32_t kLoaderStart = 0xFA00;
  static constexpr uint32_t kLastSegment = 0xFE00;
  static constexpr uint32_t kVectors = 0xFFE0;
  static constexpr uint32_t kMainSegment = 512;

  enum class Region { None, Info, Main, Loader, LastSegment, Vectors };

  explicit Flash(FlashLayout layout = {});

  const FlashLayout& Layout() const { return layout_; }
  uint32_t MainTop() const { return mainTop_; }
  Region RegionOf(uint32_t address) const;
  uint8_t At(uint32_t address) const { return address < kSpace ? data_[address] : 0xFF; }
  bool Written(uint32_t address) const { return address < kSpace && written_[address]; }
  uint16_t Word(uint32_t address) const { return static_cast<uint16_t>(At(address) | (At(address + 1) << 8)); }

  // Erases the segment holding `address` (information or main flash); false
  // when the address is elsewhere. The segment's bounds go to start/length.
  bool EraseSegment(uint32_t address, uint32_t* start = nullptr, uint32_t* length = nullptr);
  void EraseLastSegment();
  void EraseAll();

  // Programs n bytes from `address`; false (nothing written) when refused.
  bool Write(uint32_t address, const uint8_t* data, size_t n);
  // Programs the 16 interrupt vectors at 0xFFE0..0xFFFE, low byte first.
  bool WriteVectors(const uint16_t vectors[16]);
  // Puts bytes in place without any rule: the device's contents at start.
  void Preload(uint32_t address, const uint8_t* data, size_t n);
  // A plausible old application: main flash up to 0xF9FF, the last segment
  // and the vectors filled from a seed, information memory too.
  void PreloadOldFirmware(uint32_t seed);

  const std::vector<std::string>& Errors() const { return errors_; }
  size_t ErrorCount() const { return errorCount_; }
  void ClearErrors();
  // Counts main-flash erases; the device compares it to see new firmware.
  uint64_t Generation() const { return generation_; }
  bool InfoErasedSince(uint64_t mark) const { return infoEraseSeq_ > mark; }
  uint64_t Sequence() const { return seq_; }

  bool SelfCheck(std::string* why = nullptr) const;

  // TI-Text of every programmed byte outside the loader area.
  std::string DumpTiText() const;
  // Number of bytes where the flash differs from the image (the image's
  // bytes must be there, every other flash byte erased; the loader area is
  // not compared). A readable report goes to `report`.
  size_t Compare(const TiImage& image, std::string* report) const;

 private:
  void Error(std::string text);
  bool InFlash(uint32_t a) const { return RegionOf(a) != Region::None; }

  FlashLayout layout_;
  uint32_t mainTop_;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> intended_;
  std::vector<bool> written_;
  std::vector<std::string> errors_;
  size_t errorCount_ = 0;
  uint64_t seq_ = 0;
  uint64_t lastProgramSeq_ = 0;
  uint64_t vectorSeq_ = 0;
  uint64_t infoEraseSeq_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace qsim
