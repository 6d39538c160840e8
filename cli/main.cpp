#include "cli.h"
#include "cli/common/fd_stream.h"

#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    quelby::cli::installSignalHandlers();
    const std::vector<std::string> args(argv + 1, argv + argc);
    quelby::cli::FdOutputStream out(STDOUT_FILENO);
    quelby::cli::FdOutputStream err(STDERR_FILENO);
    return quelby::cli::run(args, out, err);
}
