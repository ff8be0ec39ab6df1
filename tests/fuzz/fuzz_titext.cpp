// TI-Text conversion on arbitrary bytes: never writes past the output, keeps
// it terminated, and gives the same text with any sufficient buffer size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* in = reinterpret_cast<const char*>(data);
    // A buffer as large as the file, as the reader allocates first; guard
    // bytes after it must stay untouched.
    const size_t cap = size + 1;
    std::vector<char> out(cap + 8, '#');
    size_t needed = 0;
    uint32_t vectors[kVectorCount];
    const int r = ConvertTIText(in, size, out.data(), cap, &needed, vectors);
    for (size_t i = cap; i < out.size(); ++i)
        if (out[i] != '#')
            std::abort();
    if (r != 1 && r != -100)
        std::abort();
    if (std::memchr(out.data(), '\0', cap) == nullptr)
        std::abort();
    if (r != 1)
        return 0;

    std::vector<char> exact(needed + 1, '#');
    size_t again = 0;
    uint32_t vectors2[kVectorCount];
    if (ConvertTIText(in, size, exact.data(), exact.size(), &again, vectors2) != 1 || again != needed)
        std::abort();
    if (std::strlen(exact.data()) != needed || std::memcmp(vectors, vectors2, sizeof vectors) != 0)
        std::abort();
    if (needed < cap && std::memcmp(exact.data(), out.data(), needed + 1) != 0)
        std::abort();
    // The image text holds only records of upper-case hex digits.
    if (needed > 0 && exact[0] != '@')
        std::abort();
    for (size_t i = 0; i < needed; ++i) {
        const char c = exact[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '@'))
            std::abort();
    }
    for (uint32_t v : vectors)
        if (v > 0xFFFF)
            std::abort();

    char label[kImageLabelSize];
    uint8_t type = 10;
    int version = 0;
    std::vector<char> name(in, in + size);
    name.push_back('\0');
    AnalyseFirmwareFileName(name.data(), label, &type, &version);
    if (std::strlen(label) >= kImageLabelSize || type > 24 || version < 0)
        std::abort();
    return 0;
}
