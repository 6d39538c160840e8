#include "metrics_file.h"

#include "engine/platform/sys.h"
#include "engine/text/display_text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>

namespace quelby::cli {

namespace {

struct Metric
{
    std::string_view name;
    std::string_view help;
    std::int64_t (*value)(const scrub::FolderRecord&);
};

// Names are the interface that dashboards and alerts are built on: never
// rename one. Every figure is a gauge: each can go down as well as up.
constexpr Metric kMetrics[] = {
    {"quelby_scrub_last_run_timestamp_seconds",
     "When the folder's last scrub ended, in seconds since the epoch.",
     [](const scrub::FolderRecord& record) { return record.lastRun.value_or(0); }},
    {"quelby_scrub_files", "Files in the folder that carry a digest.",
     [](const scrub::FolderRecord& record) { return record.files; }},
    {"quelby_scrub_files_without_digest",
     "Files in the folder that carry no digest: nothing can tell their damage.",
     [](const scrub::FolderRecord& record) { return record.withoutDigest; }},
    {"quelby_scrub_files_verified_in_period",
     "Of the files with a digest, those verified within the scrub's period.",
     [](const scrub::FolderRecord& record) { return record.verifiedInPeriod; }},
    {"quelby_scrub_problems", "Files whose last verification found a problem.",
     [](const scrub::FolderRecord& record) { return record.problems; }},
    {"quelby_scrub_bytes_read", "Bytes the folder's last scrub read.",
     [](const scrub::FolderRecord& record) { return record.bytesRead; }},
};

// The report's text of the folder is valid UTF-8 and already names one folder
// only; what remains is the format's own escaping. In that order, a parser
// gives back the report's text. (Escaping for the format first would let
// escapedForReport turn the format's backslashes into \x5c.)
std::string labelValue(std::string_view folder)
{
    std::string value;
    for (const char byte : escapedForReport(folder)) {
        switch (byte) {
        case '\\':
            value += "\\\\";
            break;
        case '"':
            value += "\\\"";
            break;
        case '\n':
            value += "\\n";
            break;
        default:
            value += byte;
        }
    }
    return value;
}

// Never ends in ".prom", so that the collector does not read it half written.
std::string temporaryName(std::string_view name)
{
    static std::mt19937_64 random{std::random_device{}()};
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08llx",
                  static_cast<unsigned long long>(random() & 0xffffffffULL));
    // Room for the dot and suffix within a name's 255 bytes.
    return "." + std::string(name.substr(0, 200)) + ".tmp-" + suffix;
}

} // namespace

std::string metricsText(const std::vector<scrub::FolderRecord>& folders)
{
    std::vector<std::string> labels;
    labels.reserve(folders.size());
    for (const auto& record : folders) {
        labels.push_back(labelValue(record.folder));
    }
    std::string text;
    for (const Metric& metric : kMetrics) {
        text += "# HELP " + std::string(metric.name) + " " + std::string(metric.help) + "\n";
        text += "# TYPE " + std::string(metric.name) + " gauge\n";
        for (std::size_t index = 0; index < folders.size(); ++index) {
            // A folder that was never scrubbed has no figures yet, only a zero.
            if (!folders[index].lastRun) {
                continue;
            }
            text += std::string(metric.name) + "{folder=\"" + labels[index] + "\"} " +
                    std::to_string(metric.value(folders[index])) + "\n";
        }
    }
    return text;
}

std::expected<void, std::string> writeMetricsFile(const std::string& path, std::string_view text)
{
    const auto failed = [&path](const PosixError& error) {
        return std::unexpected("the metrics file " + escapedForReport(path) +
                               " could not be written: " + error.description);
    };
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return failed(posixError(EISDIR));
    }
    const auto opened = sys::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return failed(opened.error());
    }
    const FileDescriptor folderFd(*opened);

    std::string temporary;
    std::expected<int, PosixError> created = std::unexpected(posixError(EEXIST));
    for (int attempt = 0; attempt < 100 && !created && created.error().code == EEXIST;
         ++attempt) {
        temporary = temporaryName(name);
        created = sys::createAt(folderFd.get(), temporary,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (!created) {
        return failed(created.error());
    }
    FileDescriptor file(*created);
    // node_exporter runs as a user of its own: the file is readable by all,
    // whatever the umask of the scrub.
    auto written = sys::writeAll(file.get(), text.data(), text.size());
    if (written) {
        written = sys::fchmod(file.get(), 0644);
    }
    if (written) {
        written = sys::fsync(file.get());
    }
    if (written) {
        written = file.close();
    }
    if (written) {
        written = sys::renameAt2(folderFd.get(), temporary, folderFd.get(), name, 0);
    }
    if (!written) {
        if (file.isOpen()) {
            (void)file.close();
        }
        (void)sys::unlinkAt(folderFd.get(), temporary, 0);
        return failed(written.error());
    }
    return {};
}

} // namespace quelby::cli
