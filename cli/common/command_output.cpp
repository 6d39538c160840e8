#include "command_output.h"

#include "fd_stream.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

namespace quelby::cli {

namespace {

constexpr int kExitClosedPipe = 128 + SIGPIPE;

} // namespace

void sayError(std::ostream& err, std::string_view message)
{
    err << kProgramName << ": " << message << '\n';
    err.flush();
}

std::optional<std::string> folderProblem(const std::string& typed, const std::string& folder)
{
    if (typed.empty()) {
        return std::strerror(ENOENT);
    }
    if (folder.find('\0') != std::string::npos) {
        return std::strerror(EINVAL);
    }
    struct stat info = {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return std::strerror(ENOTDIR);
    }
    return std::nullopt;
}

int statusAfterFailedOutput(std::ostream& out, std::ostream& err)
{
    const int error = writeErrorOf(out);
    if (error == EPIPE) {
        return kExitClosedPipe;
    }
    sayError(err, std::string("cannot write the report to standard output") +
                      (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    return kExitFailures;
}

} // namespace quelby::cli
