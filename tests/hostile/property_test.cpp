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
#include <tuple>
#include <unistd.h>

namespace quelby {
namespace {

bool longTestsWanted()
{
    const char* value = std::getenv("QUELBY_LONG_TESTS");
    return value != nullptr && std::string(value) == "1";
}

// QUELBY_TEST_SEED reruns one seed; otherwise fresh ones, more for long runs.
std::vector<std::uint64_t> testSeeds(int normalCount, int longCount)
{
    if (const char* fixed = std::getenv("QUELBY_TEST_SEED"); fixed != nullptr && *fixed != '\0') {
        return {std::strtoull(fixed, nullptr, 10)};
    }
    std::random_device device;
    std::vector<std::uint64_t> seeds(
        static_cast<std::size_t>(longTestsWanted() ? longCount : normalCount));
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

// Regular files with names of random bytes, folders up to eight deep, sizes
// from empty to three buffers, and hard links. `singleLinks` are the files
// with exactly one name, so damage to them shows under that name alone.
struct RandomTree
{
    std::mt19937_64 random;
    std::int64_t bufferSize;
    std::vector<std::string> files{}, singleLinks{};
    std::set<std::string> linked{};

    void fill(const std::string& folder, int depth)
    {
        std::set<std::string> taken = {".", ".."};
        const auto name = [&] {
            for (;;) {
                auto candidate = folder + "/" + randomBytes(random, 1 + random() % 24, true);
                if (taken.insert(candidate.substr(folder.size() + 1)).second) {
                    return candidate;
                }
            }
        };
        const auto fileCount = depth == 0 ? 8 + random() % 5 : random() % 6;
        for (std::uint64_t count = 0; count < fileCount; ++count) {
            const std::string path = name();
            files.push_back(path);
            if (!singleLinks.empty() && random() % 6 == 0) {
                const auto& target = singleLinks[random() % singleLinks.size()];
                ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);
                linked.insert(target);
                continue;
            }
            const auto size = random() % static_cast<std::uint64_t>(3 * bufferSize + 1);
            test::writeWholeFile(path, randomBytes(random, size));
            singleLinks.push_back(path);
        }
        const auto folders = depth == 0 ? 3 + random() % 2 : depth < 8 ? random() % 3 : 0;
        for (std::uint64_t count = 0; count < folders; ++count) {
            const std::string path = name();
            ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
            fill(path, depth + 1);
        }
    }
};

// What a user could lose: the contents, the stored digest and the stamp.
using Evidence = std::tuple<std::string, std::optional<std::string>, std::optional<std::string>>;

std::map<std::string, Evidence> evidenceOf(const std::vector<std::string>& files)
{
    std::map<std::string, Evidence> evidence;
    for (const auto& path : files) {
        evidence[path] = {test::readWholeFile(path),
                          test::storedAttribute(path, kDigestAttributeName),
                          test::storedAttribute(path, kTimeAttributeName)};
    }
    return evidence;
}

TEST(RandomTrees, TagCheckAndRetagAgreeWriteOnlyWhereNeededAndReportDamageExactly)
{
    constexpr std::int64_t kBufferSizes[] = {1, 3, 64, 4095, 4096, 20000};
    for (const auto seed : testSeeds(3, 20)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        test::TempTree temp;
        RandomTree tree{std::mt19937_64(seed), kBufferSizes[seed % std::size(kBufferSizes)]};
        const auto root = temp.folder("random");
        tree.fill(root, 0);
        std::erase_if(tree.singleLinks,
                      [&](const auto& path) { return tree.linked.contains(path); });
        const auto files = static_cast<std::int64_t>(tree.files.size());
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
        const auto run = [&](Operation operation) {
            auto options = test::optionsFor(operation, root, false, true);
            options.realBufferSize = tree.bufferSize;
            RunState state;
            writes = 0;
            test::runReport(options, &state);
            return state;
        };

        const RunState tagged = run(Operation::tag);
        EXPECT_EQ(tagged.totalCount, files);
        EXPECT_EQ(tagged.failureCount, 0);
        for (const auto& path : tree.files) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                      std::string(digestOfBytes(test::readWholeFile(path)).view()))
                << escapedForReport(path);
        }
        const auto before = evidenceOf(tree.files);
        for (const auto operation : {Operation::check, Operation::retag}) {
            const RunState state = run(operation);
            EXPECT_EQ(writes, 0);
            EXPECT_TRUE(evidenceOf(tree.files) == before);
            EXPECT_EQ(state.matchedCount, files);
            EXPECT_EQ(state.totalCount, files);
        }

        std::vector<std::string> expected;
        for (const auto& path : tree.singleLinks) {
            const auto damage = tree.random() % 5;
            std::string contents = test::readWholeFile(path);
            if (damage == 0 && contents.empty()) {
                test::writeWholeFile(path, "x");
            } else if (damage == 0) {
                contents[tree.random() % contents.size()] ^=
                    static_cast<char>(1 + tree.random() % 255);
                test::writeWholeFile(path, contents);
            } else if (damage == 1) {
                test::removeAttribute(path, kDigestAttributeName);
            } else if (damage == 2) {
                contents = randomBytes(tree.random, tree.random() % 70);
                test::storeAttribute(path, kDigestAttributeName, contents);
            }
            if (damage <= 2) {
                const bool first = damage == 1 || (damage == 2 && contents.empty());
                expected.push_back((first ? "⚠️ Tagged " : "⚠️ Retagged ") +
                                   escapedForReport(path) + "\n");
            }
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
    const auto seed = testSeeds(1, 1).front();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    for (int round = 0; round < (longTestsWanted() ? 40 : 6); ++round) {
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
