#include "engine/display_text.h"
#include "engine/run_fixture.h"
#include "random_tree.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>

namespace quelby {
namespace {

using test::RandomTree;

struct Evidence
{
    std::string contents;
    std::optional<std::string> digest;
    std::optional<std::string> stamp;
    friend bool operator==(const Evidence&, const Evidence&) = default;
};

std::map<std::string, Evidence> evidenceOf(const RandomTree& tree)
{
    std::map<std::string, Evidence> evidence;
    for (const auto& path : tree.files) {
        evidence[path] =
            Evidence{test::readWholeFile(path), test::storedAttribute(path, kDigestAttributeName),
                     test::storedAttribute(path, kTimeAttributeName)};
    }
    return evidence;
}

RunOptions randomTreeOptions(Operation operation, const RandomTree& tree, std::int64_t bufferSize,
                             bool verbose = false)
{
    auto options = test::optionsFor(operation, tree.root, verbose, true);
    options.realBufferSize = bufferSize;
    return options;
}

// Counts the attribute writes a run makes while it lives.
struct WriteCounter
{
    test::ScriptedSystemCalls calls;
    int writes = 0;
    WriteCounter()
    {
        calls.onSetAttribute = [this](int fd, const char* name, const void* value,
                                      std::size_t size) {
            ++writes;
            return calls.SystemCalls::setAttribute(fd, name, value, size);
        };
    }
};

std::vector<std::string> sortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::int64_t bufferSizeFor(std::uint64_t seed)
{
    constexpr std::int64_t sizes[] = {1, 3, 64, 4095, 4096, 20000};
    return sizes[seed % std::size(sizes)];
}

TEST(RandomTrees, TagThenCheckMatchesEveryFileAndCheckWritesNothing)
{
    for (const auto seed : test::testSeeds(3, 20)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        test::TempTree temp;
        const std::int64_t bufferSize = bufferSizeFor(seed);
        const RandomTree tree = test::makeRandomTree(temp, seed, bufferSize);
        const auto files = static_cast<std::int64_t>(tree.files.size());

        RunState tagged;
        test::runReport(randomTreeOptions(Operation::tag, tree, bufferSize), &tagged);
        EXPECT_EQ(tagged.totalCount, files);
        EXPECT_EQ(tagged.failureCount, 0);
        for (const auto& path : tree.files) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                      std::string(digestOfBytes(test::readWholeFile(path)).view()))
                << escapedForReport(path);
        }

        const auto before = evidenceOf(tree);
        RunState checked;
        int writes = 0;
        {
            WriteCounter counter;
            test::runReport(randomTreeOptions(Operation::check, tree, bufferSize, true), &checked);
            writes = counter.writes;
        }
        EXPECT_EQ(writes, 0);
        EXPECT_TRUE(evidenceOf(tree) == before);
        EXPECT_EQ(checked.matchedCount, files);
        EXPECT_EQ(checked.totalCount, files);
        EXPECT_EQ(checked.failureCount, 0);
    }
}

TEST(RandomTrees, ASecondRetagWritesNothingAndDamageIsReportedExactly)
{
    for (const auto seed : test::testSeeds(3, 20)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        test::TempTree temp;
        const std::int64_t bufferSize = bufferSizeFor(seed);
        const RandomTree tree = test::makeRandomTree(temp, seed, bufferSize);
        const auto files = static_cast<std::int64_t>(tree.files.size());

        RunState first;
        test::runReport(randomTreeOptions(Operation::retag, tree, bufferSize), &first);
        EXPECT_EQ(first.firstTagCount + first.matchedCount, files);
        EXPECT_EQ(first.failureCount, 0);

        const auto tagged = evidenceOf(tree);
        RunState second;
        int writes = 0;
        {
            WriteCounter counter;
            test::runReport(randomTreeOptions(Operation::retag, tree, bufferSize, true), &second);
            writes = counter.writes;
        }
        EXPECT_EQ(writes, 0);
        EXPECT_EQ(second.matchedCount, files);
        EXPECT_TRUE(evidenceOf(tree) == tagged);

        // Damage some of the files that have one name, so that each damaged
        // file is reported under exactly that name.
        std::mt19937_64 random(seed);
        std::vector<std::string> expected;
        for (const auto& path : tree.singleLinks) {
            const std::string shown = escapedForReport(path);
            switch (random() % 5) {
            case 0: {
                std::string contents = test::readWholeFile(path);
                if (contents.empty()) {
                    contents = "x";
                } else {
                    contents[random() % contents.size()] ^= static_cast<char>(1 + random() % 255);
                }
                test::writeWholeFile(path, contents);
                expected.push_back("⚠️ Retagged " + shown + "\n");
                break;
            }
            case 1:
                test::removeAttribute(path, kDigestAttributeName);
                expected.push_back("⚠️ Tagged " + shown + "\n");
                break;
            case 2: {
                std::string value(random() % 70, '\0');
                for (auto& byte : value) {
                    byte = static_cast<char>(random());
                }
                test::storeAttribute(path, kDigestAttributeName, value);
                expected.push_back((value.empty() ? "⚠️ Tagged " : "⚠️ Retagged ") + shown +
                                   "\n");
                break;
            }
            default:
                break;
            }
        }
        std::sort(expected.begin(), expected.end());

        RunState repaired;
        const auto repairOptions = randomTreeOptions(Operation::retag, tree, bufferSize);
        test::runReport(repairOptions, &repaired);
        EXPECT_EQ(sortedLines(repaired.pendingText), expected);
        EXPECT_EQ(repaired.matchedCount + repaired.retaggedCount + repaired.firstTagCount, files);

        RunState checked;
        test::runReport(randomTreeOptions(Operation::check, tree, bufferSize), &checked);
        EXPECT_EQ(checked.matchedCount, files);
        EXPECT_EQ(checked.pendingText, "");
    }
}

} // namespace
} // namespace quelby
