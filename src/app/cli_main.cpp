#include <unistd.h>

#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return app::RunCli(args, stdout, stderr, ::isatty(STDOUT_FILENO) != 0);
}
