#include "random_tree.h"

#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby::test {

namespace {

std::string randomName(std::mt19937_64& random, std::set<std::string>& taken)
{
    std::uniform_int_distribution<int> length(1, 24);
    std::uniform_int_distribution<int> byte(1, 255);
    for (;;) {
        std::string name;
        const int wanted = length(random);
        while (static_cast<int>(name.size()) < wanted) {
            const int value = byte(random);
            if (value != '/') {
                name += static_cast<char>(value);
            }
        }
        if (name != "." && name != ".." && taken.insert(name).second) {
            return name;
        }
    }
}

std::string randomBytes(std::mt19937_64& random, std::size_t size)
{
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

class Builder
{
public:
    Builder(std::uint64_t seed, std::int64_t bufferSize) : random_(seed), bufferSize_(bufferSize) {}

    void fill(const std::string& folder, int depth, RandomTree& result)
    {
        std::set<std::string> taken;
        std::uniform_int_distribution<int> fileCount(depth == 0 ? 8 : 0, depth == 0 ? 12 : 5);
        std::uniform_int_distribution<int> folderCount(depth == 0 ? 3 : 0, depth == 0  ? 4
                                                                           : depth < 8 ? 2
                                                                                       : 0);
        std::uniform_int_distribution<std::int64_t> size(0, 3 * bufferSize_);
        for (int count = fileCount(random_); count > 0; --count) {
            const std::string path = folder + "/" + randomName(random_, taken);
            if (!result.singleLinks.empty() && random_() % 6 == 0) {
                const auto& target = result.singleLinks[random_() % result.singleLinks.size()];
                if (::link(target.c_str(), path.c_str()) != 0) {
                    throw std::runtime_error("link failed");
                }
                linked_.insert(target);
                result.files.push_back(path);
                continue;
            }
            writeWholeFile(path, randomBytes(random_, static_cast<std::size_t>(size(random_))));
            result.files.push_back(path);
            result.singleLinks.push_back(path);
        }
        for (int count = folderCount(random_); count > 0; --count) {
            const std::string path = folder + "/" + randomName(random_, taken);
            if (::mkdir(path.c_str(), 0755) != 0) {
                throw std::runtime_error("mkdir failed");
            }
            fill(path, depth + 1, result);
        }
    }

    void dropLinked(RandomTree& result)
    {
        std::erase_if(result.singleLinks,
                      [&](const std::string& path) { return linked_.contains(path); });
    }

private:
    std::mt19937_64 random_;
    std::int64_t bufferSize_;
    std::set<std::string> linked_;
};

} // namespace

RandomTree makeRandomTree(const TempTree& tree, std::uint64_t seed, std::int64_t bufferSize)
{
    RandomTree result;
    result.root = tree.path("random");
    if (::mkdir(result.root.c_str(), 0755) != 0) {
        throw std::runtime_error("mkdir failed");
    }
    Builder builder(seed, bufferSize);
    builder.fill(result.root, 0, result);
    builder.dropLinked(result);
    return result;
}

bool longTestsWanted()
{
    const char* value = std::getenv("QUELBY_LONG_TESTS");
    return value != nullptr && std::string(value) == "1";
}

std::vector<std::uint64_t> testSeeds(int normalCount, int longCount)
{
    if (const char* fixed = std::getenv("QUELBY_TEST_SEED"); fixed != nullptr && *fixed != '\0') {
        return {std::strtoull(fixed, nullptr, 10)};
    }
    std::random_device device;
    std::vector<std::uint64_t> seeds;
    const int count = longTestsWanted() ? longCount : normalCount;
    for (int index = 0; index < count; ++index) {
        seeds.push_back((std::uint64_t{device()} << 32) | device());
    }
    return seeds;
}

} // namespace quelby::test
