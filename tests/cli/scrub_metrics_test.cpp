#include "cli/scrub/metrics_file.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace quelby {
namespace {

using test::TempTree;

// What Prometheus' own parser reads from a file: each sample as
// [metric, folder label, value], or the parser's error. The bytes are decoded
// strictly, so a file that is not UTF-8 fails too.
nlohmann::json parsedByPrometheus(const std::string& file)
{
    const std::string script =
        "import json, sys\n"
        "from prometheus_client.parser import text_string_to_metric_families\n"
        "text = open(sys.argv[1], \"rb\").read().decode(\"utf-8\")\n"
        "out = {\"families\": [], \"samples\": []}\n"
        "for family in text_string_to_metric_families(text):\n"
        "    out[\"families\"].append([family.name, family.type])\n"
        "    for sample in family.samples:\n"
        "        out[\"samples\"].append([sample.name, sample.labels, sample.value])\n"
        "print(json.dumps(out))\n";
    const std::string command = "/usr/bin/python3 -c '" + script + "' '" + file + "' 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (pipe != nullptr) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe);
        if (got == 0) {
            break;
        }
        output.append(buffer, got);
    }
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    EXPECT_EQ(status, 0) << output;
    return status == 0 ? nlohmann::json::parse(output) : nlohmann::json();
}

scrub::FolderRecord scrubbed(std::string folder, std::int64_t base)
{
    scrub::FolderRecord record;
    record.folder = std::move(folder);
    record.lastRun = 1'700'000'000 + base;
    record.files = base + 1;
    record.verifiedInPeriod = base + 2;
    record.problems = base + 3;
    record.bytesRead = 40'000'000'000 + base;
    record.withoutDigest = base + 4;
    return record;
}

TEST(ScrubMetrics, APrometheusParserReadsEveryFolderBackAsTheReportNamesIt)
{
    // Folder, and its label as the report writes the folder.
    const std::vector<std::pair<std::string, std::string>> folders = {
        {"/srv/say \"cheese\"", "/srv/say \"cheese\""},
        {"/srv/back\\slash\\", "/srv/back\\x5cslash\\x5c"},
        {"/srv/line\nfeed", "/srv/line\\x0afeed"},
        {"/srv/latin\xff" "1", "/srv/latin\\xff1"},
        {"/srv/\xf0\x9f\xa6\x8a fox", "/srv/\xf0\x9f\xa6\x8a fox"},
        {"/srv/\\\"\n", "/srv/\\x5c\"\\x0a"},
    };
    std::vector<scrub::FolderRecord> records;
    std::set<std::tuple<std::string, std::string, double>> expected;
    for (std::size_t index = 0; index < folders.size(); ++index) {
        const auto base = static_cast<std::int64_t>(index * 10);
        records.push_back(scrubbed(folders[index].first, base));
        const std::string& label = folders[index].second;
        const auto& record = records.back();
        expected.emplace("quelby_scrub_last_run_timestamp_seconds", label, *record.lastRun);
        expected.emplace("quelby_scrub_files", label, record.files);
        expected.emplace("quelby_scrub_files_without_digest", label, record.withoutDigest);
        expected.emplace("quelby_scrub_files_verified_in_period", label, record.verifiedInPeriod);
        expected.emplace("quelby_scrub_problems", label, record.problems);
        expected.emplace("quelby_scrub_bytes_read", label, record.bytesRead);
    }
    // Never scrubbed: no figures at all.
    scrub::FolderRecord neverRun;
    neverRun.folder = "/srv/never";
    neverRun.files = 7;
    records.insert(records.begin() + 2, neverRun);

    const std::string text = cli::metricsText(records);
    // The Python parser keeps an unknown escape as it is; the Go parser rejects the file.
    for (std::size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 2)) {
        if (at + 1 == text.size() || !std::string_view("\\\"n").contains(text[at + 1])) {
            ADD_FAILURE() << "a backslash that starts no escape: "
                          << text.substr(text.rfind('\n', at) + 1, at - text.rfind('\n', at) + 4);
            break;
        }
    }
    TempTree tree;
    const std::string file = tree.file("quelby.prom", text);
    const nlohmann::json parsed = parsedByPrometheus(file);
    ASSERT_TRUE(parsed.is_object());

    std::set<std::tuple<std::string, std::string, double>> samples;
    for (const auto& sample : parsed["samples"]) {
        ASSERT_EQ(sample[1].size(), 1U) << sample.dump();
        samples.emplace(sample[0].get<std::string>(), sample[1]["folder"].get<std::string>(),
                        sample[2].get<double>());
    }
    EXPECT_EQ(samples, expected);
    EXPECT_EQ(parsed["samples"].size(), expected.size()) << "a sample written twice";
    const nlohmann::json families = parsed["families"];
    ASSERT_EQ(families.size(), 6U) << families.dump();
    for (const auto& family : families) {
        EXPECT_EQ(family[1], "gauge") << family.dump();
    }
}

TEST(ScrubMetrics, TheFileIsReplacedWholeAndReadableByTheCollector)
{
    TempTree tree;
    const std::string file = tree.file("textfile/quelby.prom", "old figures\n");
    // A collector that opened the old file while the new one was written
    // reads the old one whole, not a mix.
    const int reader = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    const mode_t oldMask = ::umask(077);
    const auto written = cli::writeMetricsFile(file, "new figures\n");
    ::umask(oldMask);
    ASSERT_TRUE(written) << written.error();

    EXPECT_EQ(test::readWholeFile(file), "new figures\n");
    char old[64] = {};
    EXPECT_EQ(::pread(reader, old, sizeof old, 0), 12);
    EXPECT_STREQ(old, "old figures\n");
    ::close(reader);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    EXPECT_EQ(test::namesIn(tree.path("textfile")), std::vector<std::string>{"quelby.prom"});

    // A name without a folder is written in the current one.
    const std::string here = std::filesystem::current_path();
    ASSERT_EQ(::chdir(tree.path("textfile").c_str()), 0);
    const auto relative = cli::writeMetricsFile("other.prom", "x 1\n");
    ASSERT_EQ(::chdir(here.c_str()), 0);
    ASSERT_TRUE(relative) << relative.error();
    EXPECT_EQ(test::readWholeFile(tree.path("textfile/other.prom")), "x 1\n");
}

TEST(ScrubMetrics, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    TempTree tree;
    const std::string file = tree.file("textfile/quelby.prom", "old figures\n");
    for (const std::string_view step : {"write", "fchmod", "fsync", "renameAt2"}) {
        SCOPED_TRACE(step);
        test::ScriptedSystemCalls calls;
        calls.onChange = [step](std::string_view call) { return call == step ? EIO : 0; };
        const auto written = cli::writeMetricsFile(file, "new figures\n");
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error(),
                  "the metrics file " + file + " could not be written: Input/output error");
        EXPECT_EQ(test::readWholeFile(file), "old figures\n");
        EXPECT_EQ(test::namesIn(tree.path("textfile")), std::vector<std::string>{"quelby.prom"});
    }
}

TEST(ScrubMetrics, AFolderThatCannotBeWrittenFailsWithItsReason)
{
    TempTree tree;
    const std::string file = tree.file("textfile/quelby.prom", "old figures\n");
    ASSERT_EQ(::chmod(tree.path("textfile").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
    const auto status = test::runUnprivileged([&] {
        const auto written = cli::writeMetricsFile(file, "new figures\n");
        return !written && written.error() == "the metrics file " + file +
                                                  " could not be written: Permission denied"
                   ? 0
                   : 1;
    });
    if (!status) {
        GTEST_SKIP() << "privileges cannot be dropped here";
    }
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(test::readWholeFile(file), "old figures\n");

    const auto missing = cli::writeMetricsFile(tree.path("none/quelby.prom"), "x 1\n");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "the metrics file " + tree.path("none/quelby.prom") +
                                   " could not be written: No such file or directory");
}

} // namespace
} // namespace quelby
