// SDI-12 access to a digital sensor plugged into the hand-held reader. The
// reader relays each command text to the sensor and the reply back; this
// class owns no port and talks through the serial operations of the
// instrument-protocol object it is given.
#pragma once

#include <cstdint>

class QuarLog;
class KALEN_Protocol;

class QuarSDI12 {
public:
    static constexpr unsigned kInfoSize = 37;         // 36 characters
    static constexpr unsigned kCalSize = 513;         // 512 characters
    static constexpr unsigned kSerialSize = 32;       // 31 characters
    static constexpr unsigned kReplySize = 256;       // 255 characters
    static constexpr unsigned kDefaultTimeoutMs = 2000;
    static constexpr unsigned kDefaultRetries = 5;

    QuarSDI12(QuarLog* log, KALEN_Protocol* link);
    QuarSDI12(const QuarSDI12&) = delete;
    QuarSDI12& operator=(const QuarSDI12&) = delete;

    // Sends one command and reads the reply line. buffer may be null; length
    // holds its capacity on entry and the copied length on return. Returns
    // the number of reply bytes received, or a negative code.
    int SDISendCommand(const char* command, char* buffer, unsigned* length, uint32_t* elapsedMs);

    int SDIGetSensorVersion();
    int SDISetSensorAddress(char newAddress);
    int SDIGetSensorCalibration();
    int SDISetSensorCalibration(const char* firstText = nullptr);
    int SDIGetSensorSN();
    int SDISetSensorSN();
    int SDIGetSensorType();
    int SDISetSensorType(unsigned code);
    int SDIInvokeQuarBSL();
    int SDICheckBinary();
    int SDIGetSensorInfo();
    int SDISetSensorInfo();
    int SDIConvertCalibration();

    // The sensor information the settings capture saves and restores.
    char address;
    char info[kInfoSize];
    char calX4[kCalSize];
    char calXa[kCalSize];
    char calXO[kCalSize];
    bool hasXO;
    char serialNumber[kSerialSize];
    uint8_t sensorType;
    uint32_t sensorVersion;
    bool numericType;

    QuarLog* log;
    KALEN_Protocol* link;
    char reply[kReplySize];
    uint32_t timeoutMs;
    uint32_t retries;

private:
    int WriteChar(char c);
    // Sends a write command up to `retries` times until the sensor confirms
    // with "OK". what names the value in the log lines.
    int WriteStep(const char* command, const char* what, const char* text);
};
