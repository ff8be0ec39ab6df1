#pragma once

#include <string>

// A fresh folder under the test temp dir, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Runs a shell command; true when it exited with 0.
bool RunCommand(const std::string& command);
// Quotes a string for /bin/sh.
std::string ShellQuote(const std::string& s);
