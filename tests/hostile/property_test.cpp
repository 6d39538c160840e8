#include "engine/display_text.h"
#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace quelby {
namespace {

// QUELBY_TEST_SEED reruns one seed; otherwise fresh ones, more for long runs.
std::vector<std::uint64_t> testSeeds(std::size_t normalCount, std::size_t longCount)
{
    if (const char* fixed = std::getenv("QUELBY_TEST_SEED"); fixed != nullptr && *fixed != '\0') {
        return {std::strtoull(fixed, nullptr, 10)};
    }
    const char* wanted = std::getenv("QUELBY_LONG_TESTS");
    std::vector<std::uint64_t> seeds(wanted != nullptr && std::string(wanted) == "1" ? longCount
                                                                                     : normalCount);
    std::random_device device;
    for (auto& seed : seeds) {
        seed = (std::uint64_t{device()} << 32) | device();
    }
    return seeds;
}

std::string randomBytes(std::mt19937_64& random, std::size_t size, bool forName = false)
{
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        do {
            byte = static_cast<char>(random());
        } while (forName && (byte == '\0' || byte == '/'));
    }
    return bytes;
}

// Fills a folder with regular files named by random bytes (at the top also
// names of every byte, with a leading dash, of 255 bytes), sizes from empty to
// three buffers, hard links to earlier files, and folders up to eight deep.
void fillRandomTree(std::mt19937_64& random, std::int64_t bufferSize, const std::string& folder,
                    int depth, std::vector<std::string>& files)
{
    std::vector<std::string> names;
    if (depth == 0) {
        names = {"-rf", "--help", std::string(255, 'n')};
        for (int first = 1; first <= 255; first += 50) {
            names.emplace_back();
            for (int byte = first; byte < first + 50 && byte <= 255; ++byte) {
                if (byte != '/') {
                    names.back() += static_cast<char>(byte);
                }
            }
        }
    }
    std::set<std::string> taken(names.begin(), names.end());
    taken.insert({".", ".."});
    const auto fresh = [&] {
        std::string name;
        do {
            name = randomBytes(random, 1 + random() % 24, true);
        } while (!taken.insert(name).second);
        return name;
    };
    for (auto count = random() % 6 + (depth == 0 ? 3 : 0); count > 0; --count) {
        names.push_back(fresh());
    }
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        if (!files.empty() && random() % 6 == 0) {
            ASSERT_EQ(::link(files[random() % files.size()].c_str(), path.c_str()), 0);
        } else {
            const auto size = random() % static_cast<std::uint64_t>(3 * bufferSize + 1);
            test::writeWholeFile(path, randomBytes(random, size));
        }
        files.push_back(path);
    }
    for (auto count = depth == 0  ? 3 + random() % 2
                      : depth < 8 ? random() % 3
                                  : 0;
         count > 0; --count) {
        const std::string path = folder + "/" + fresh();
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        fillRandomTree(random, bufferSize, path, depth + 1, files);
    }
}

TEST(RandomTrees, TagCheckAndRetagAgreeWriteOnlyWhereNeededAndReportDamageExactly)
{
    constexpr std::int64_t kBufferSizes[] = {1, 3, 64, 4095, 4096, 20000};
    for (const auto seed : testSeeds(3, 20)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        test::TempTree temp;
        const auto root = temp.folder("random");
        const std::int64_t bufferSize = kBufferSizes[seed % std::size(kBufferSizes)];
        std::mt19937_64 random(seed);
        std::vector<std::string> paths;
        fillRandomTree(random, bufferSize, root, 0, paths);
        const auto files = static_cast<std::int64_t>(paths.size());
        // Every other system call is interrupted before it does anything; retried,
        // that changes nothing a user can see.
        test::ScriptedSystemCalls calls;
        int count = 0, writes = 0;
        const auto interrupt = [&count] { return ++count % 2 == 0 && (errno = EINTR) != 0; };
        calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
            return interrupt() ? -1 : calls.SystemCalls::openAt(dirFd, name, flags);
        };
        calls.onRead = [&](int fd, void* buffer, std::size_t size) {
            return interrupt() ? ssize_t{-1} : calls.realRead(fd, buffer, size);
        };
        calls.onGetAttribute = [&](int fd, const char* name, void* value, std::size_t size) {
            return interrupt() ? ssize_t{-1}
                               : calls.SystemCalls::getAttribute(fd, name, value, size);
        };
        calls.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
            return interrupt() ? -1
                               : (++writes, calls.SystemCalls::setAttribute(fd, name, value, size));
        };
        const auto run = [&](Operation operation, bool verbose = false) {
            auto options = test::optionsFor(operation, root, verbose, true);
            options.realBufferSize = bufferSize;
            RunState state;
            writes = 0;
            test::runReport(options, &state);
            return state;
        };
        const auto evidence = [&] {
            std::vector<std::optional<std::string>> values;
            for (const auto& path : paths) {
                values.push_back(test::storedAttribute(path, kDigestAttributeName));
                values.push_back(test::storedAttribute(path, kTimeAttributeName));
            }
            return values;
        };

        const RunState tagged = run(Operation::tag);
        EXPECT_EQ(tagged.totalCount, files);
        EXPECT_EQ(tagged.failureCount, 0);
        for (const auto& path : paths) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                      std::string(digestOfBytes(test::readWholeFile(path)).view()))
                << escapedForReport(path);
        }
        const auto before = evidence();
        for (const auto operation : {Operation::check, Operation::retag}) {
            const RunState state = run(operation, true);
            EXPECT_EQ(writes, 0);
            EXPECT_TRUE(evidence() == before);
            EXPECT_EQ(state.matchedCount, files);
            EXPECT_EQ(state.totalCount, files);
            // One line a file, whatever bytes its name holds.
            EXPECT_EQ(std::count(state.pendingText.begin(), state.pendingText.end(), '\n'), files);
        }

        // Damage only files with one name, so that each shows under that name alone.
        std::vector<std::string> expected;
        for (const auto& path : paths) {
            struct stat info
            {};
            const auto damage = random() % 5;
            std::string contents = test::readWholeFile(path);
            if (::stat(path.c_str(), &info) != 0 || info.st_nlink != 1 || damage > 2) {
                continue;
            } else if (damage == 0 && contents.empty()) {
                test::writeWholeFile(path, "x");
            } else if (damage == 0) {
                contents[random() % contents.size()] ^= static_cast<char>(1 + random() % 255);
                test::writeWholeFile(path, contents);
            } else if (damage == 1) {
                test::removeAttribute(path, kDigestAttributeName);
            } else {
                contents = randomBytes(random, random() % 70);
                test::storeAttribute(path, kDigestAttributeName, contents);
            }
            const bool first = damage == 1 || (damage == 2 && contents.empty());
            expected.push_back((first ? "⚠️ Tagged " : "⚠️ Retagged ") +
                               escapedForReport(path) + "\n");
        }
        std::sort(expected.begin(), expected.end());
        const RunState repaired = run(Operation::retag);
        std::vector<std::string> lines;
        std::istringstream text(repaired.pendingText);
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line + "\n");
        }
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(repaired.matchedCount + repaired.retaggedCount + repaired.firstTagCount, files);
        const RunState checked = run(Operation::check);
        EXPECT_EQ(checked.matchedCount, files);
        EXPECT_EQ(checked.pendingText, "");
    }
}

#ifdef QUELBY_CLI_PATH

// Starts the command-line tool with its report going to a file.
pid_t startTool(std::vector<std::string> arguments, const std::string& reportPath)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || ::dup2(out, 1) < 0) {
            ::_exit(126);
        }
        arguments.insert(arguments.begin(), QUELBY_CLI_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

int exitStatusOf(pid_t child)
{
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Concurrency, AKilledTagLeavesNoWrongDigestAndTwoTagsAndACheckAtOnceTearNoValue)
{
    for (const auto seed : testSeeds(6, 40)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        std::mt19937_64 random(seed);
        test::TempTree tree;
        const auto folder = tree.folder("f");
        std::map<std::string, std::string> truth;
        std::map<std::string, std::optional<std::string>> before;
        for (int index = 0; index < 60; ++index) {
            const std::string contents = randomBytes(random, random() % 200000);
            const auto path = tree.file("f/" + std::to_string(index), contents);
            truth[path] = digestOfBytes(contents).view();
            if (random() % 2 == 0) {
                before[path] = std::string(digestOfBytes("older " + contents).view());
                test::storeAttribute(path, kDigestAttributeName, *before[path]);
            }
        }
        const pid_t killed =
            startTool({"tag", "-q", "-t", "-b", "1K", folder}, tree.path("killed"));
        const timespec pause{0, static_cast<long>(random() % 30000) * 1000};
        ::nanosleep(&pause, nullptr);
        ::kill(killed, SIGKILL);
        ::waitpid(killed, nullptr, 0);
        // Each file holds what it held before or its true digest, and a stamp
        // only next to its true digest.
        for (const auto& [path, digest] : truth) {
            if (test::storedAttribute(path, kDigestAttributeName) != digest) {
                EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), before[path]) << path;
                EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), std::nullopt) << path;
                // No older digest stays, so nothing the check below sees may rightly differ.
                test::removeAttribute(path, kDigestAttributeName);
            }
        }

        const pid_t first = startTool({"tag", "-q", "-b", "1K", folder}, tree.path("tag1"));
        const pid_t second = startTool({"tag", "-q", "-t", "-b", "4K", folder}, tree.path("tag2"));
        const pid_t check = startTool({"check", "-q", "-b", "2K", folder}, tree.path("check"));
        EXPECT_EQ(exitStatusOf(first), 0) << test::readWholeFile(tree.path("tag1"));
        EXPECT_EQ(exitStatusOf(second), 0) << test::readWholeFile(tree.path("tag2"));
        EXPECT_EQ(exitStatusOf(check), 0) << test::readWholeFile(tree.path("check"));
        EXPECT_EQ(test::readWholeFile(tree.path("check")).find("❌"), std::string::npos);
        for (const auto& [path, digest] : truth) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), digest) << path;
        }
        EXPECT_EQ(exitStatusOf(startTool({"check", "-q", folder}, tree.path("after"))), 0);
        EXPECT_TRUE(test::readWholeFile(tree.path("after"))
                        .starts_with("Checked a total of 60 files in " + folder +
                                     "\t60 matched digest correctly\n"))
            << test::readWholeFile(tree.path("after"));
    }
}

#endif

} // namespace
} // namespace quelby
