// Version replies of any content: no crash or overflow, records always
// terminated, and a rejected reply leaves the record untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> reply(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size);
    reply.push_back('\0');

    DeviceInfo info, before;
    std::memset(&info, 0x5A, sizeof info);
    std::memcpy(&before, &info, sizeof info);
    const int r = ParseVersionReply(reply.data(), &info);
    if (r == -10 || (r == -30 && std::memcmp(&info, &before, sizeof info) == 0))
        return 0;
    if (r != 1 && r != -30)
        std::abort();
    if (std::memchr(info.name, '\0', sizeof info.name) == nullptr ||
        std::memchr(info.versionText, '\0', sizeof info.versionText) == nullptr)
        std::abort();
    if (info.type > 24 || (r == 1 && info.type == 0 && std::strchr(reply.data(), '.') != nullptr))
        std::abort();
    if (std::strncmp(info.versionText, reply.data(), sizeof info.versionText - 1) != 0)
        std::abort();

    char name[kSensorNameSize];
    unsigned code = 0;
    std::memcpy(&code, data, size < sizeof code ? size : sizeof code);
    SensorName(code, name);
    if (std::memchr(name, '\0', sizeof name) == nullptr)
        std::abort();
    return 0;
}
