#include "engine/run_fixture.h"
#include "random_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace quelby {
namespace {

struct Truth
{
    std::string digest;
    std::optional<std::string> storedBefore;
};

// A folder of files, some carrying the digest of an older content; what each
// file's digest truly is, and what it stored before the run.
std::map<std::string, Truth> preparedFolder(test::TempTree& tree, std::uint64_t seed, int files)
{
    std::mt19937_64 random(seed);
    std::map<std::string, Truth> truth;
    for (int index = 0; index < files; ++index) {
        std::string contents(random() % 200000, '\0');
        for (auto& byte : contents) {
            byte = static_cast<char>(random());
        }
        const auto path = tree.file("f/" + std::to_string(index), contents);
        std::optional<std::string> before;
        if (random() % 2 == 0) {
            before = std::string(digestOfBytes("older " + contents).view());
            test::storeAttribute(path, kDigestAttributeName, *before);
        }
        truth[path] = Truth{std::string(digestOfBytes(contents).view()), before};
    }
    return truth;
}

// Every file holds what it held before or its true digest, and a stamp only
// next to its true digest.
void expectNoFileHoldsAWrongDigest(const std::map<std::string, Truth>& truth)
{
    for (const auto& [path, expected] : truth) {
        const auto stored = test::storedAttribute(path, kDigestAttributeName);
        const auto stamp = test::storedAttribute(path, kTimeAttributeName);
        if (stored != expected.digest) {
            EXPECT_EQ(stored, expected.storedBefore) << path;
            EXPECT_EQ(stamp, std::nullopt) << path;
        }
    }
}

void sleepMicroseconds(long microseconds)
{
    timespec pause{microseconds / 1000000, (microseconds % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
}

pid_t startEngineTag(const std::string& folder)
{
    const pid_t child = ::fork();
    if (child == 0) {
        auto options = test::optionsFor(Operation::tag, folder, false, true);
        options.realBufferSize = 1024;
        RunObserver quiet;
        walkFolder(options, quiet);
        ::_exit(0);
    }
    return child;
}

#ifdef QUELBY_CLI_PATH
// Starts the command-line tool with its report going to a file; returns its id.
pid_t startTool(const std::vector<std::string>& arguments, const std::string& reportPath)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || ::dup2(out, 1) < 0) {
            ::_exit(126);
        }
        std::vector<char*> argv;
        std::string program = QUELBY_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (auto& argument : copies) {
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
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}
#endif

int killRounds()
{
    return test::longTestsWanted() ? 40 : 6;
}

TEST(Concurrency, ASigkillDuringTagLeavesNoFileWithAWrongDigest)
{
    for (const auto seed : test::testSeeds(1, 1)) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 random(seed);
        for (int round = 0; round < killRounds(); ++round) {
            test::TempTree tree;
            const auto truth = preparedFolder(tree, seed + static_cast<unsigned>(round), 60);
            const pid_t child = startEngineTag(tree.path("f"));
            ASSERT_GT(child, 0);
            sleepMicroseconds(static_cast<long>(random() % 20000));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            expectNoFileHoldsAWrongDigest(truth);
        }
    }
}

#ifdef QUELBY_CLI_PATH

TEST(Concurrency, ASigkillDuringTheToolsTagLeavesNoFileWithAWrongDigest)
{
    const auto seed = test::testSeeds(1, 1).front();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    for (int round = 0; round < killRounds(); ++round) {
        test::TempTree tree;
        const auto truth = preparedFolder(tree, seed + static_cast<unsigned>(round), 60);
        const pid_t child =
            startTool({"tag", "-q", "-t", "-b", "1K", tree.path("f")}, tree.path("report"));
        ASSERT_GT(child, 0);
        sleepMicroseconds(static_cast<long>(random() % 30000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        expectNoFileHoldsAWrongDigest(truth);
    }
}

TEST(Concurrency, TwoTagsAndACheckAtOnceLeaveEveryFileMatchedAndNoValueTorn)
{
    const auto seed = test::testSeeds(1, 1).front();
    SCOPED_TRACE("seed " + std::to_string(seed));
    test::TempTree tree;
    const auto truth = preparedFolder(tree, seed, 40);
    // No file starts with an older digest, so the check running alongside
    // has nothing that may rightly differ.
    for (const auto& entry : truth) {
        test::removeAttribute(entry.first, kDigestAttributeName);
    }
    const auto folder = tree.path("f");
    const int rounds = test::longTestsWanted() ? 30 : 3;
    for (int round = 0; round < rounds; ++round) {
        const pid_t first = startTool({"tag", "-q", "-b", "1K", folder}, tree.path("tag1"));
        const pid_t second = startTool({"tag", "-q", "-t", "-b", "4K", folder}, tree.path("tag2"));
        const pid_t check = startTool({"check", "-q", "-b", "2K", folder}, tree.path("check"));
        EXPECT_EQ(exitStatusOf(first), 0) << test::readWholeFile(tree.path("tag1"));
        EXPECT_EQ(exitStatusOf(second), 0) << test::readWholeFile(tree.path("tag2"));
        // Files may still lack a digest in the first round, but none may differ.
        const int checkStatus = exitStatusOf(check);
        const std::string checkReport = test::readWholeFile(tree.path("check"));
        EXPECT_EQ(checkStatus, 0) << checkReport;
        EXPECT_EQ(checkReport.find("❌"), std::string::npos) << checkReport;
        for (const auto& [path, expected] : truth) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), expected.digest) << path;
        }
        const pid_t after = startTool({"check", "-q", folder}, tree.path("after"));
        EXPECT_EQ(exitStatusOf(after), 0);
        EXPECT_TRUE(test::readWholeFile(tree.path("after"))
                        .starts_with("Checked a total of 40 files in " + folder +
                                     "\t40 matched digest correctly\n"))
            << test::readWholeFile(tree.path("after"));
    }
}

#endif

} // namespace
} // namespace quelby
