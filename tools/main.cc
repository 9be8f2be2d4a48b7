// The `orvane` command-line tool: build, search and inspect index files, and run the
// demo. The work is done by the subcommands in this directory; see Commands.h.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    orvane::tools::CommandIo io{std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0};
    return orvane::tools::RunCli(args, io);
}
