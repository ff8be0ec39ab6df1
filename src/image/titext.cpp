#include "image/titext.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

const char* const deviceTypeKeys[kDeviceTypeCount] = {
    "UNKNOWN", "LUMO", "LUMOK", "LUMOZ", "VT", "PN", "SVMIN", "TH1", "RX20",
    "SX", "BRENNA-TX", "TBQX", "SM2", "HBX", "SND", "SSIX", "ISX", "DEWLIN",
    "CIRRO", "MRL", "SBASE", "FIELDLET", "SSIXOPT", "MRV", "FLOWKIT", "END",
};

int FindDeviceTypeKey(const char* key)
{
    if (key == nullptr)
        return 0;
    for (int i = 1; i < kDeviceTypeCount - 1; ++i)
        if (std::strcmp(key, deviceTypeKeys[i]) == 0)
            return i;
    return 0;
}

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

char UpperHex(char c)
{
    return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr uint32_t kVectorFirst = 0xFFE0;
constexpr uint32_t kVectorLast = 0xFFFE;
constexpr uint32_t kSkipFirst = 0xFA00;   // device-owned range, never programmed
constexpr uint32_t kSkipLast = 0xFDFE;
constexpr uint32_t kMaxAddress = 0xFFFFF; // five hex digits in a record header

// Bounded writer: counts everything, stores what fits below the terminator.
struct Output {
    char* buf;
    std::size_t cap;
    std::size_t pos = 0;
    void Put(char c)
    {
        if (pos + 1 < cap)
            buf[pos] = c;
        ++pos;
    }
    void Terminate()
    {
        if (cap > 0)
            buf[pos < cap ? pos : cap - 1] = '\0';
    }
};

} // namespace

int ConvertTIText(const char* input, std::size_t inputLength, char* output,
                  std::size_t outputCapacity, std::size_t* neededLength,
                  uint32_t vectors[kVectorCount])
{
    Output out{output, output ? outputCapacity : 0};
    if (neededLength)
        *neededLength = 0;
    auto invalid = [&out]() {
        out.pos = 0;
        out.Terminate();
        return -100;
    };
    if (input == nullptr || inputLength == 0 || input[0] != '@')
        return invalid();
    const void* q = std::memchr(input, 'q', inputLength);
    if (q == nullptr)
        return invalid();
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(q) - input);

    uint32_t table[kVectorCount];
    for (auto& v : table)
        v = 0xFFFF;
    bool vectorsSeen = false;

    std::size_t p = 0;
    while (p < end) {
        // input[p] is '@'; the record runs to the next '@' or the 'q'.
        std::size_t recEnd = p + 1;
        while (recEnd < end && input[recEnd] != '@')
            ++recEnd;

        std::size_t i = p + 1;
        while (i < recEnd && (input[i] == ' ' || input[i] == '\t'))
            ++i;
        uint32_t address = 0;
        int digits = 0;
        for (int h; i < recEnd && (h = HexValue(input[i])) >= 0; ++i, ++digits) {
            address = address * 16 + static_cast<uint32_t>(h);
            if (address > kMaxAddress)
                return invalid();
        }
        if (digits == 0)
            return invalid();
        const void* lf = std::memchr(input + i, '\n', recEnd - i);
        if (lf == nullptr)
            return invalid();
        const std::size_t dataStart = static_cast<std::size_t>(static_cast<const char*>(lf) - input) + 1;

        if (address >= kVectorFirst && address <= kVectorLast) {
            vectorsSeen = true;
            unsigned index = (address - kVectorFirst) / 2;
            int group[4];
            int n = 0;
            for (std::size_t k = dataStart; k < recEnd; ++k) {
                int h = HexValue(input[k]);
                if (h < 0)
                    continue;
                group[n++] = h;
                if (n == 4) {
                    // Words past 0xFFFE do not belong to the vector table:
                    // such a file is not an image for these devices.
                    if (index >= kVectorCount)
                        return invalid();
                    table[index++] = static_cast<uint32_t>((group[2] << 12) | (group[3] << 8) |
                                                           (group[0] << 4) | group[1]);
                    n = 0;
                }
            }
            if (n != 0)
                return invalid();
        } else if (address >= kSkipFirst && address <= kSkipLast) {
            // Not converted.
        } else {
            char header[8];
            std::snprintf(header, sizeof header, "@%05X", static_cast<unsigned>(address));
            for (int k = 0; k < 6; ++k)
                out.Put(header[k]);
            char group[4];
            int n = 0;
            for (std::size_t k = dataStart; k < recEnd; ++k) {
                if (HexValue(input[k]) < 0)
                    continue;
                group[n++] = UpperHex(input[k]);
                if (n == 4) {
                    out.Put(group[2]);
                    out.Put(group[3]);
                    out.Put(group[0]);
                    out.Put(group[1]);
                    n = 0;
                }
            }
            if (n != 0) {
                for (int k = n; k < 4; ++k)
                    group[k] = 'F';
                out.Put(group[2]);
                out.Put(group[3]);
                out.Put(group[0]);
                out.Put(group[1]);
            }
        }
        p = recEnd;
    }
    if (!vectorsSeen)
        return invalid();

    out.Terminate();
    if (neededLength)
        *neededLength = out.pos;
    if (vectors)
        std::memcpy(vectors, table, sizeof table);
    return 1;
}

int ReadTITextFile(const char* path, TITextFile* out)
{
    if (out == nullptr)
        return -EINVAL;
    *out = TITextFile{};
    if (path == nullptr) {
        out->openErrno = EINVAL;
        return -EINVAL;
    }
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        out->openErrno = errno ? errno : EIO;
        return -out->openErrno;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        out->openErrno = S_ISDIR(st.st_mode) ? EISDIR : (errno ? errno : EIO);
        std::fclose(f);
        return -out->openErrno;
    }
    if (st.st_size > kMaxTITextFileSize) {
        std::fclose(f);
        out->tooLarge = true;
        return -100;
    }
    const std::size_t size = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;

    char* in = new (std::nothrow) char[size + 1]();
    std::size_t cap = size + 1;
    char* text = new (std::nothrow) char[cap];
    if (in == nullptr || text == nullptr) {
        delete[] in;
        delete[] text;
        std::fclose(f);
        return -60;
    }
    std::size_t got = 0;
    while (got < size) {
        std::size_t n = std::fread(in + got, 1, size - got, f);
        if (n == 0)
            break;
        got += n;
    }
    std::fclose(f);

    if (got == 0 || in[0] != '@' || std::memchr(in, 'q', got) == nullptr) {
        delete[] in;
        delete[] text;
        out->quiet = true;
        return -100;
    }
    std::size_t needed = 0;
    int r = ConvertTIText(in, got, text, cap, &needed, out->vectors);
    if (r == 1 && needed >= cap) {
        // Many tiny records can make the text longer than the file.
        delete[] text;
        cap = needed + 1;
        text = new (std::nothrow) char[cap];
        if (text == nullptr) {
            delete[] in;
            return -60;
        }
        r = ConvertTIText(in, got, text, cap, &needed, out->vectors);
    }
    delete[] in;
    if (r != 1) {
        delete[] text;
        return -100;
    }
    out->text = text;
    out->length = needed;
    return 1;
}

long ImageTextChecksum(const char* text, std::size_t length)
{
    long sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += static_cast<signed char>(text[i]);
    return sum;
}

void AnalyseFirmwareFileName(const char* path, char label[kImageLabelSize],
                             uint8_t* deviceType, int* version)
{
    if (path == nullptr || label == nullptr)
        return;
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    std::size_t n = std::strlen(name);
    if (n > kImageLabelSize - 1)
        n = kImageLabelSize - 1;
    std::memcpy(label, name, n);
    label[n] = '\0';
    if (char* ext = std::strstr(label, ".txt"))
        *ext = '\0';

    char key[kImageLabelSize];
    std::size_t k = 0;
    for (; label[k] != '\0' && label[k] != ' ' && label[k] != '-' && label[k] != '_'; ++k)
        key[k] = (label[k] >= 'a' && label[k] <= 'z') ? static_cast<char>(label[k] - 'a' + 'A') : label[k];
    key[k] = '\0';
    if (deviceType) {
        int type = FindDeviceTypeKey(key);
        if (type > 0)
            *deviceType = static_cast<uint8_t>(type);
        else if (std::strcmp(key, "K7W") == 0 || std::strcmp(key, "K7V") == 0)
            *deviceType = 10;
    }

    if (version) {
        long long value = 0;
        if (const char* sep = std::strpbrk(label, " -")) {
            int digits = 0;
            for (const char* c = sep + 1; *c != '\0' && digits < 11; ++c) {
                if (*c >= '0' && *c <= '9') {
                    value = value * 10 + (*c - '0');
                    ++digits;
                }
            }
        }
        *version = value > INT_MAX ? INT_MAX : static_cast<int>(value);
    }

    char* hyphen = std::strrchr(label, '-');
    if (hyphen != nullptr && hyphen != label && hyphen[-1] >= '0' && hyphen[-1] <= '9' &&
        hyphen[1] >= '0' && hyphen[1] <= '9')
        *hyphen = '.';
}
