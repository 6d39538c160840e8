#include "engine/display_text.h"
#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
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
    std::vector<std::uint64_t> seeds(wanted != nullptr && *wanted == '1' ? longCount : normalCount);
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
        std::string everyByte;
        for (int byte = 1; byte <= 255; ++byte) {
            everyByte += byte == '/' ? "" : std::string(1, static_cast<char>(byte));
        }
        for (std::size_t at = 0; at < everyByte.size(); at += 50) {
            names.push_back(everyByte.substr(at, 50));
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
        // Every other system call is interrupted first: retried, that changes nothing.
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

        EXPECT_EQ(run(Operation::tag).totalCount, files);
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
            const auto damage = random() % 5;
            std::string contents = test::readWholeFile(path);
            if (std::filesystem::hard_link_count(path) != 1 || damage > 2) {
                continue;
            } else if (damage == 0) {
                contents.resize(std::max<std::size_t>(contents.size(), 1)); // an empty file grows
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
    arguments.insert(arguments.begin(), QUELBY_CLI_PATH);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, reportPath.c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t child = -1;
    EXPECT_EQ(::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return child;
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
        const pid_t killed = startTool({"tag", "-q", "-t", "-b", "1K", folder}, "/dev/null");
        ::usleep(static_cast<useconds_t>(random() % 30000));
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

        for (const pid_t child :
             {startTool({"tag", "-q", "-b", "1K", folder}, "/dev/null"),
              startTool({"tag", "-q", "-t", "-b", "4K", folder}, "/dev/null"),
              startTool({"check", "-q", "-b", "2K", folder}, tree.path("check"))}) {
            int status = -1;
            ::waitpid(child, &status, 0);
            EXPECT_EQ(status, 0); // exited, and with 0
        }
        const std::string checkReport = test::readWholeFile(tree.path("check"));
        EXPECT_EQ(checkReport.find("❌"), std::string::npos) << checkReport;
        for (const auto& [path, digest] : truth) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), digest) << path;
        }
        RunState after;
        test::runReport(test::optionsFor(Operation::check, folder), &after);
        EXPECT_EQ(after.matchedCount, 60);
    }
}

#endif

} // namespace
} // namespace quelby
