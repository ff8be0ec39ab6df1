#include "image/firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "diag/quarlog.h"
#include "image/embedded_image.h"
#include "image/titext.h"
#include "serial/quarserial.h"

namespace {
const char* const kSource = "QuarBSL";

int ElapsedMs(uint32_t start)
{
    return static_cast<int>(TickMs() - start);
}
} // namespace

int CheckEmbeddedImageText(const char* text, std::size_t size)
{
    if (text == nullptr)
        return -101;
    const std::size_t length = strnlen(text, size);
    if (length != embeddedLength || ImageTextChecksum(text, length) != embeddedChecksum)
        return -101;
    return 0;
}

FirmwareImage::FirmwareImage(QuarLog* log_) : log(log_)
{
    std::snprintf(imageLabel, sizeof imageLabel, "%s", embeddedLabel);
    imageDeviceType = embeddedDeviceType;
    imageVersion = embeddedVersion;
    std::memcpy(vectors, embeddedVectors, sizeof vectors);

    imageText = new (std::nothrow) char[embeddedLength + 1]();
    if (imageText == nullptr) {
        constructionResult = -60;
        return;
    }
    std::memcpy(imageText, embeddedText, embeddedLength);
    imageLength = embeddedLength;
    constructionResult = CheckEmbeddedImageText(imageText, embeddedLength + 1);
}

FirmwareImage::~FirmwareImage()
{
    delete[] imageText;
}

int FirmwareImage::BSLLoadTIFile(const char* path)
{
    const uint32_t start = TickMs();
    const char* shown = path ? path : "(null)";
    TITextFile file;
    const int r = ReadTITextFile(path, &file);
    if (r != 1) {
        if (file.openErrno != 0)
            LogMessage(log, 1, kSource, "BSLLoadTIFile got error %d trying to open datafile %s",
                       file.openErrno, shown);
        else if (r == -100 && !file.quiet)
            LogMessage(log, 10, kSource, "BSLLoadTIFile: file %s is not a valid TI-Text file (%d ms)",
                       shown, ElapsedMs(start));
        return r;
    }
    delete[] imageText;
    imageText = file.text;
    imageLength = static_cast<unsigned>(file.length);
    std::memcpy(vectors, file.vectors, sizeof vectors);
    AnalyseFirmwareFileName(path, imageLabel, &imageDeviceType, &imageVersion);
    LogMessage(log, 10, kSource, "BSLLoadTIFile loaded file %s (%d ms)", shown, ElapsedMs(start));
    return 1;
}

int FirmwareImage::BSLWriteTIFile(const char* path)
{
    const uint32_t start = TickMs();
    const char* shown = path ? path : "(null)";
    std::FILE* f = path ? std::fopen(path, "wb") : nullptr;
    if (f == nullptr) {
        const int e = path ? (errno ? errno : EIO) : EINVAL;
        LogMessage(log, 1, kSource, "BSLWriteTIFile got error %d trying to open datafile %s", e, shown);
        return -e;
    }

    const char* t = imageText ? imageText : "";
    int digits = 0;
    for (std::size_t i = 0; t[i] != '\0';) {
        if (t[i] == '@') {
            // The header: '@' and its five address digits, then a line end.
            std::size_t h = 0;
            do {
                std::fputc(t[i++], f);
            } while (++h < 6 && t[i] != '\0' && t[i] != '@');
            std::fputc('\n', f);
            digits = 0;
            continue;
        }
        std::fputc(t[i++], f);
        if (++digits % 32 == 0)
            std::fputc('\n', f);
    }
    std::fprintf(f, "\n@%X\n", 0xFFE0u);
    for (int v = 0; v < kVectorCount; ++v)
        std::fprintf(f, (v % 8 == 7) ? "%04X\n" : "%04X", static_cast<unsigned>(vectors[v] & 0xFFFF));

    const bool writeFailed = std::ferror(f) != 0;
    int e = writeFailed ? (errno ? errno : EIO) : 0;
    if (std::fclose(f) != 0 && e == 0)
        e = errno ? errno : EIO;
    if (e != 0) {
        LogMessage(log, 1, kSource, "BSLWriteTIFile got error %d trying to write datafile %s", e, shown);
        return -e;
    }
    LogMessage(log, 10, kSource, "BSLWriteTIFile wrote file %s (%d ms)", shown, ElapsedMs(start));
    return 1;
}
