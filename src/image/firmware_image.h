// The firmware image the loader programs into the device: the image text
// (records "@AAAAA" followed by data words as four hex digits), the sixteen
// interrupt vector words, and the label, version and device type that
// describe it. One object holds the embedded image from construction and is
// replaced by a TI-Text file loaded in factory mode.
#pragma once

#include <cstddef>
#include <cstdint>

class QuarLog;

// Device type keys, indexed by device type. Index 0 and the last index
// delimit the table and are never matched.
constexpr int kDeviceTypeCount = 26;
extern const char* const deviceTypeKeys[kDeviceTypeCount];

// Index 1..24 of the key that equals `key` exactly (upper case), else 0.
int FindDeviceTypeKey(const char* key);

constexpr int kVectorCount = 16;           // words for 0xFFE0, 0xFFE2 ... 0xFFFE
constexpr std::size_t kImageLabelSize = 65; // 64 characters and the terminator
// Larger TI-Text files are refused before they are read.
constexpr long kMaxTITextFileSize = 16L * 1024 * 1024;

// Converts TI-Text (input, inputLength bytes; need not be terminated) into
// image text. Writes at most outputCapacity bytes into output, always
// terminated when outputCapacity > 0, and stores the needed length (without
// the terminator) in *neededLength, so a caller whose buffer was too small can
// grow it and convert again. The vectors are filled only on success; words
// that the file does not give stay 0xFFFF.
// Returns 1 for a valid file, -100 for an invalid one.
int ConvertTIText(const char* input, std::size_t inputLength, char* output,
                  std::size_t outputCapacity, std::size_t* neededLength,
                  uint32_t vectors[kVectorCount]);

// Label, device type and version from a firmware file name (the part after
// the last '/'). deviceType is changed only when the name has a known key.
void AnalyseFirmwareFileName(const char* path, char label[kImageLabelSize],
                             uint8_t* deviceType, int* version);

// Sum of the character codes taken as signed 8-bit values.
long ImageTextChecksum(const char* text, std::size_t length);

// The start-up integrity check: 0 when the text (up to its terminator, at most
// `size` characters) has the length and checksum the build derived from the
// embedded firmware file, else -101.
int CheckEmbeddedImageText(const char* text, std::size_t size);

class FirmwareImage {
public:
    // Copies the embedded image and checks it; see ConstructionResult().
    explicit FirmwareImage(QuarLog* log);
    ~FirmwareImage();
    FirmwareImage(const FirmwareImage&) = delete;
    FirmwareImage& operator=(const FirmwareImage&) = delete;

    // 0 when the embedded image was copied and verified; -60 when the copy
    // could not be allocated; -101 when its length or checksum is wrong.
    int ConstructionResult() const { return constructionResult; }

    // Reads a TI-Text firmware file into the image. 1 on success; -100 not a
    // valid TI-Text file (or larger than kMaxTITextFileSize); -60 out of
    // memory; minus errno when the file cannot be opened. A failure leaves
    // every image field as it was.
    int BSLLoadTIFile(const char* path);

    // Writes a readable listing of the image text and the vectors. 1 on
    // success, minus errno when the file cannot be created or written.
    int BSLWriteTIFile(const char* path);

    // Image fields. Read them freely; only FirmwareImage changes them.
    char imageLabel[kImageLabelSize] = {};
    int imageVersion = 0;
    uint8_t imageDeviceType = 0;
    unsigned imageLength = 0;
    char* imageText = nullptr; // owned, zero-terminated
    uint32_t vectors[kVectorCount] = {};

private:
    QuarLog* log;
    int constructionResult = 0;
};
