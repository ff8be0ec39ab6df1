// The text command protocol of the instruments, loggers and the reader: one
// conversation on one comm port. Commands end in a carriage return; answers
// end in the prompt '>' (a few in "OK" or '!'). Results are integers:
// positive for success, 0 for nothing done, negative codes for failures.
#pragma once

#include <cstdint>

#include "instrument/instrument_record.h"
#include "serial/quarserial.h"

class QuarLog;

class KALEN_Protocol : public QuarSerial {
public:
    static constexpr unsigned kAnswerSize = 2049;

    // Call-outs for a host that shows progress or records raw traffic. The
    // progress hook answers false to cancel; phases: 1 progress, 2 finished,
    // 4 query attempt. The defaults answer true and discard the text.
    using ProgressFn = bool (*)(void* context, uint32_t total, uint32_t done, int phase);
    using TraceFn = void (*)(void* context, const char* text);

    explicit KALEN_Protocol(QuarLog* log);
    ~KALEN_Protocol();
    KALEN_Protocol(const KALEN_Protocol&) = delete;
    KALEN_Protocol& operator=(const KALEN_Protocol&) = delete;

    // --- exchange ---
    int Configure(LinkOptions* record, int direction);
    int DeviceCommand(const char* command, char terminator, unsigned waitMs, char* answer,
                      unsigned* size, unsigned* elapsed);
    int QueryCommand(char* buffer, int mode);
    int ParseShowCommand(char* identity);
    static int CheckDeviceName(const char* name);
    bool ProgressHook(uint32_t total, uint32_t done, int phase);
    void TraceText(const char* text);
    void SetProgressHook(ProgressFn hook, void* context);
    void SetTraceSink(TraceFn sink, void* context);

    // --- connection, login and link settings ---
    int ConnectDevice(ConnectRecord* record);
    int DisconnectDevice(bool quiet);
    int DeviceLogin(char* name, int8_t* baudIndex);
    int VerCommand(bool quick);
    int LoginCommand(const char* name);
    int SendWake();
    int SetBaudCommand(int rate);
    int Tk9Config(int32_t* channel, int32_t* subchannel, char* version, int direction, uint32_t* flags);
    int MSRadioCommand(int32_t* channel, int32_t* subchannel, char* version, int direction,
                       uint32_t* flags);
    void SetCapabilities();

    // --- settings (direction 1 sets, any other value gets) ---
    int DeviceSettings(InstrumentRecord* record, uint32_t* mask, int direction);
    int NameCommand(char* name, int direction);
    int DeviceIDCommand(char* id, int direction);
    int ReportCommand(int32_t* mode, int direction);
    int DepthCommand(uint8_t* depths, int direction);
    int LatitudeCommand(double* latitude, int direction);
    int LongitudeCommand(double* longitude, int direction);
    int TimeZoneCommand(int32_t* zone, int direction);
    int SiteCommand(char* site, int direction);
    int SNCommand(char* serial, int direction);
    int WakeCommand(int32_t* interval, int direction);
    int PADCCommand(int32_t* rate, int direction);
    int PortsCommand(uint8_t* ports, int direction);
    int TraitCommand(int32_t* trait, int direction);
    int RmodeCommand(int32_t* mode, int direction);
    int DataParameterCommand(int32_t* value, int direction);
    int QuarBuildCommand(char* build, int direction);
    int ADCcalCommand(int range, uint8_t* slopes, uint8_t* offsets, int direction);
    int APNCommand(char* apn, int direction);
    int APNUserCommand(char* user, int direction);
    int APNPasswdCommand(char* password, int direction);
    int AuthKeyCommand(char* key, int direction);
    int HostCommand(char* host, int direction);
    int IPPortCommand(int32_t* port, int direction);
    int DeviceTime(long* value, int direction);
    int EraseData();
    int HasRadioModem() const;
    int HasCellModem() const;

    int status;
    LinkOptions options;
    InstrumentRecord device;
    ConnectRecord link;
    uint32_t tries;
    int resetCount;
    char* answerBuffer;
    char* readAhead;

private:
    // One "set" exchange: the DeviceCommand code when it fails, 1 when the
    // answer holds okText, else -30.
    int SetExchange(const char* command, const char* okText, unsigned bufferSize, unsigned* elapsed);
    // One "get" exchange into answer (bufferSize bytes): the DeviceCommand code.
    int GetExchange(const char* command, char* answer, unsigned bufferSize, unsigned* elapsed);
    int GetTextValue(const char* command, char* dest, unsigned limit, unsigned bufferSize,
                     unsigned* elapsed);
    const char* NewOrOld(const char* newText, const char* oldText) const;
    int RunSettingsStep(uint32_t* pending, uint32_t* done, int direction, bool* tooOld);
    void ClearDevice();

    ProgressFn progressHook;
    void* progressContext;
    TraceFn traceSink;
    void* traceContext;
};
