// Opening the Folders view over a large collection: a scrub state of 50
// folders and 1,000,000 files (20,000 each, a few with open problems), made
// once in $TMPDIR through the state's own API and removed afterwards. Each
// iteration builds the view and reads the state, as the window does at start.
// The reference beside it loads every file of every folder with knownFiles,
// which is what counting file by file would cost.
//
// Runs offscreen.

#include "engine/scrub/state/scrub_state.h"
#include "window/folders_view.h"
#include "window/user_timers.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 20000;

// No timers: the bench measures the state.
class NoTimers : public UserTimers {
public:
    std::optional<QString> unavailableReason() override { return QStringLiteral("bench"); }
    std::vector<std::string> scheduledFolders() override { return {}; }
    std::optional<int> periodDays(const std::string&) override { return std::nullopt; }
    std::expected<void, QString> schedule(const std::string&, int) override { return {}; }
    std::expected<void, QString> unschedule(const std::string&) override { return {}; }
};

std::string folderName(int index)
{
    return "/home/sam/Pictures/collection " + std::to_string(index);
}

std::string makeState(const QString& where)
{
    const std::string path = (where + QStringLiteral("/scrub.sqlite")).toStdString();
    auto state = quelby::scrub::ScrubState::open(path, [](const std::string&) {});
    if (!state) {
        std::fprintf(stderr, "%s\n", state.error().c_str());
        std::exit(1);
    }
    const auto now = static_cast<quelby::scrub::Seconds>(std::time(nullptr));
    for (int folder = 0; folder < kFolders; ++folder) {
        const std::string name = folderName(folder);
        for (int file = 0; file < kFilesPerFolder; ++file) {
            quelby::scrub::KnownFile known{4'000'000 + file, 1'700'000'000'000'000'000, 1'700'000'000'000'000'000,
                                           now - (file % 60) * 86400,
                                           file % 5000 == 0 ? quelby::scrub::LastResult::differs
                                                            : quelby::scrub::LastResult::matched,
                                           std::nullopt};
            char relative[64];
            std::snprintf(relative, sizeof relative, "2024/%02d/IMG_%07d.jpg", file % 12, file);
            (void)(*state)->record(name, relative, known, 0);
        }
        (void)(*state)->saveFolder(quelby::scrub::FolderRecord{
            name, now, 30, kFilesPerFolder, kFilesPerFolder / 2, 4, 0, std::nullopt, 0});
    }
    return path;
}

std::string& statePath()
{
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/quelby-bench-XXXXXX"));
    static std::string path = makeState(folder.path());
    return path;
}

void OpenFoldersView(benchmark::State& state)
{
    NoTimers timers;
    const std::string& path = statePath();
    for (auto _ : state) {
        FoldersView view(timers, path);
        benchmark::DoNotOptimize(view.list->topLevelItemCount());
        if (view.list->topLevelItemCount() != kFolders) {
            state.SkipWithError("the view does not show every folder");
        }
    }
}
BENCHMARK(OpenFoldersView)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void LoadEveryKnownFile(benchmark::State& state)
{
    const std::string& path = statePath();
    auto opened = quelby::scrub::ScrubState::open(path, [](const std::string&) {});
    for (auto _ : state) {
        std::size_t files = 0;
        for (int folder = 0; folder < kFolders; ++folder) {
            files += (*opened)->knownFiles(folderName(folder))->size();
        }
        benchmark::DoNotOptimize(files);
    }
}
BENCHMARK(LoadEveryKnownFile)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
