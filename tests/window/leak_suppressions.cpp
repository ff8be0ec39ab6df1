// Read by the leak checker of sanitizer builds: the system font library
// keeps its caches until the process ends.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
