#pragma once

// Real sha256sum and rhash runs over files with odd names, for the tests of
// the manifest's and import's line formats.

#include "support/temp_tree.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quelby::test {

// Every kind of name a line format can get wrong. The tools are given each
// as its own argument, so no shell quoting stands between them and the bytes.
inline const std::vector<std::string>& oddNames()
{
    static const std::vector<std::string> names = {
        "plain.jpg", "back\\slash",    "line\nfeed",    "carriage\rreturn", "\\\n\r\\",
        "\xff\xfe not UTF-8", "with space", "*star",    "#hash",            " ",
        "  two spaces",   "trailing ",  "SHA256 (x) = y", "x) = 0"};
    return names;
}

// Names a tool writes without escaping: no backslash, line feed or carriage return.
inline bool plainName(const std::string& name)
{
    return name.find_first_of("\\\n\r") == std::string::npos;
}

inline std::string sha256Of(std::string_view contents)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(contents.data(), contents.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// Each odd name as a file in the tree, its contents the name itself.
inline void writeOddFiles(TempTree& tree)
{
    for (const auto& name : oddNames()) {
        tree.file(name, name);
    }
}

struct ToolRun
{
    int status = -1;
    std::string output; // standard output and standard error together
};

inline ToolRun runIn(const std::string& folder, std::vector<std::string> args)
{
    const int output = ::memfd_create("output", MFD_CLOEXEC);
    std::vector<char*> argv;
    for (auto& word : args) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        if (::chdir(folder.c_str()) == 0) {
            ::execvp(argv[0], argv.data());
        }
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::lseek(output, 0, SEEK_SET);
    char chunk[4096];
    for (ssize_t got = 0; (got = ::read(output, chunk, sizeof chunk)) > 0;) {
        run.output.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(output);
    return run;
}

} // namespace quelby::test
