// Small helpers shared by the loader-host tests: a log file of its own, a
// TI-Text file writer, and a recorder for progress calls.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag/quarlog.h"

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quarbsl-bsl-XXXXXX";
        const char* d = mkdtemp(tmpl);
        path = d ? d : "/tmp";
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path + "'";
        if (path != "/tmp") {
            int r = std::system(cmd.c_str());
            (void)r;
        }
    }
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

class TempLog {
public:
    TempLog() : file(dir.File("bsl.errors.txt")), log(file.c_str(), 30, true) {}
    QuarLog* get() { return &log; }
    std::string Text() const {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Has(const std::string& line) const { return Text().find(line) != std::string::npos; }
    TempDir dir;
    std::string file;
    QuarLog log;
};

// Writes bytes at addr as a TI-Text file with a vector record; returns its path.
inline std::string WriteTIText(const TempDir& dir, const std::string& name, unsigned addr,
                               const std::vector<unsigned char>& bytes) {
    const std::string path = dir.File(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return path;
    std::fprintf(f, "@%X\n", addr);
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::fprintf(f, "%02X%c", bytes[i], (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ');
    }
    std::fprintf(f, "@FFE0\n");
    for (int i = 0; i < 16; ++i) std::fprintf(f, "%02X %02X%c", 0x10 + i, 0x80, i % 8 == 7 ? '\n' : ' ');
    std::fprintf(f, "q\n");
    std::fclose(f);
    return path;
}

struct ProgressCall {
    unsigned total, done, phase;
    char letter;
    bool operator==(const ProgressCall&) const = default;
};

struct ProgressRecorder {
    std::vector<ProgressCall> calls;
    int stopAtCall = -1;  // answer false on this call (0-based)

    static bool Hook(void* ctx, unsigned total, unsigned done, unsigned phase, char letter) {
        auto* self = static_cast<ProgressRecorder*>(ctx);
        self->calls.push_back({total, done, phase, letter});
        return static_cast<int>(self->calls.size()) - 1 != self->stopAtCall;
    }
    std::vector<ProgressCall> Of(char letter) const {
        std::vector<ProgressCall> out;
        for (const auto& c : calls)
            if (c.letter == letter) out.push_back(c);
        return out;
    }
};
