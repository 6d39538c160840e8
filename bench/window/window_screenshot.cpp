// Draws the main window offscreen into PNG files in the build folder (or the
// folder given), so anyone can see what it looks like without a display:
//   window-screenshot.png  after a verbose Check (the README shows this one),
//   window-during-run.png  while a Check reads a large file: the progress line and Stop,
//   window-dark.png        after the same Check in a dark palette, lines in their colours;
//   folders-light.png and folders-dark.png, the Folders view after a Verify now;
//   problems-light.png and problems-dark.png, the Problems view after a Verify
//   now found two photos damaged, the first of them selected.
//
// The folder checked is made afresh each time at the same place under the
// temporary folder, so the pictures show the same paths: files tagged with
// time stamps, one changed since, one never tagged, a hidden one and a name
// that is not UTF-8.

#include "engine/operations/walk.h"
#include "engine/run/run.h"
#include "engine/store/tag_store.h"
#include "window/folders_view.h"
#include "window/report_view.h"
#include "window/view_controller.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTreeWidget>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Tags folder with time stamps, as a user's first Tag would, and says nothing.
void tagQuietly(const QString& folder)
{
    quelby::RunOptions tag;
    tag.operation = quelby::Operation::tag;
    tag.folder = QFile::encodeName(folder).toStdString();
    tag.timeStamps = true;
    tag.backEnd = quelby::platformDigestBackEnd();
    quelby::RunObserver quiet;
    quelby::walkFolder(tag, quiet);
}

QString makePhotos(const QString& root)
{
    const QString folder = root + QStringLiteral("/Photos");
    // By bytes: QDir cannot name, and so cannot remove, the file whose name is not UTF-8.
    std::filesystem::remove_all(QFile::encodeName(root).toStdString());
    QDir().mkpath(folder + QStringLiteral("/2024/Holiday"));
    const char* names[] = {"2024/Holiday/beach.jpg", "2024/Holiday/mountains.jpg", "2024/notes.txt",
                           ".catalogue", "scan-0001.png"};
    for (const char* name : names) {
        writeFile(folder + QLatin1Char('/') + QLatin1String(name),
                  QByteArray("contents of ") + name);
    }

    tagQuietly(folder);
    writeFile(folder + QStringLiteral("/2024/notes.txt"), "changed since it was tagged");
    writeFile(folder + QStringLiteral("/new report.pdf"), "never tagged");
    // QFile::decodeName cannot carry bytes that are not UTF-8, so this name is made with open().
    const QByteArray latin1Name = QFile::encodeName(folder) + "/caf\xE9 menu.txt";
    const int latin1 = ::open(latin1Name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (latin1 >= 0) {
        ::close(latin1);
    }
    return folder;
}

// Two photos tagged with time stamps whose bytes changed while their times stayed.
QString makeDamaged(const QString& root)
{
    const QString folder = root + QStringLiteral("/Archive");
    QDir().mkpath(folder + QStringLiteral("/2019"));
    const QString photos[] = {folder + QStringLiteral("/wedding.jpg"),
                              folder + QStringLiteral("/2019/harbour.jpg")};
    // Long before the tag, so that the stamp can tell a later change.
    const timespec longAgo[2] = {{1'500'000'000, 0}, {1'500'000'000, 0}};
    const auto write = [&](const QString& photo, const QByteArray& contents) {
        writeFile(photo, contents + QFile::encodeName(photo));
        ::utimensat(AT_FDCWD, QFile::encodeName(photo).constData(), longAgo, 0);
    };
    for (const QString& photo : photos) {
        write(photo, "contents of ");
    }
    tagQuietly(folder);
    for (const QString& photo : photos) {
        write(photo, "damaged ");
    }
    return folder;
}

// A folder with a 20 GiB file of holes carrying a digest, so a Check reads it for a long while.
QString makeLargeFolder(const QString& root)
{
    const QString folder = root + QStringLiteral("/Videos");
    QDir().mkpath(folder + QStringLiteral("/2024"));
    writeFile(folder + QStringLiteral("/2024/arrival.mov"), "small");
    const std::string large =
        QFile::encodeName(folder + QStringLiteral("/2024/dusk.mov")).toStdString();
    writeFile(QFile::decodeName(large.c_str()), {});
    std::filesystem::resize_file(large, std::uintmax_t{20} << 30);
    (void)quelby::writeExtendedAttribute(large, quelby::kDigestAttributeName,
                                         std::string(32, '\x5a'));
    return folder;
}

void waitWhile(const std::function<bool()>& condition, int milliseconds)
{
    QElapsedTimer patience;
    patience.start();
    while (condition() && patience.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

bool save(QWidget& window, const QString& path)
{
    QApplication::processEvents();
    // 256 colours and the strongest compression keep the picture small enough to commit.
    const QImage picture = window.grab().toImage().convertToFormat(
        QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    if (!picture.save(path, "PNG", 0)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool checkedWindow(const QString& folder, const QString& path)
{
    ViewController window;
    window.resize(1000, 380);
    window.verboseCheckbox->setChecked(true);
    window.bufferTextbox->setText(QStringLiteral("64"));
    window.show();
    window.computeRealBufferSize();
    window.startRun(quelby::Operation::check, 1, folder);
    waitWhile([&] { return window.runsUnderWay() > 0; }, 30000);
    window.outputTextbox->setFocus();
    return save(window, path);
}

// Shows the window and runs a Verify now of folder in it, its state kept at statePath.
void verifyIn(ViewController& window, const QString& folder, const QString& statePath)
{
    window.resize(1000, 480);
    window.setScrubStatePath(QFile::encodeName(statePath).toStdString());
    window.show();
    window.startScrubAt(QFile::encodeName(folder).toStdString());
    waitWhile([&] { return window.runsUnderWay() > 0; }, 30000);
}

// The Folders view above the report of a Verify now, its state kept beside the photos.
bool verifiedWindow(const QString& folder, const QString& statePath, const QString& path)
{
    ViewController window;
    verifyIn(window, folder, statePath);
    return save(window, path);
}

// The Problems view after a Verify now of the damaged photos, with the first one selected
// once the verdicts are in.
bool problemsWindow(const QString& folder, const QString& statePath, const QString& path)
{
    ViewController window;
    verifyIn(window, folder, statePath);
    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("problemsList"));
    const auto looking = [list] {
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            if (list->topLevelItem(row)->text(2) == QObject::tr("looking…")) {
                return true;
            }
        }
        return false;
    };
    waitWhile(looking, 10000);
    if (list->topLevelItemCount() > 0) {
        list->setCurrentItem(list->topLevelItem(0));
    }
    return save(window, path);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    const QString output =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(QUELBY_BUILD_DIR);
    QDir().mkpath(output);

    const QString root = QDir::tempPath() + QStringLiteral("/quelby-screenshot");
    const QString photos = makePhotos(root);
    bool saved = checkedWindow(photos, output + QStringLiteral("/window-screenshot.png"));
    const QString statePath = root + QStringLiteral("/state/scrub.sqlite");
    saved = verifiedWindow(photos, statePath, output + QStringLiteral("/folders-light.png")) && saved;
    const QString archive = makeDamaged(root);
    const QString problemsState = root + QStringLiteral("/state/problems.sqlite");
    saved = problemsWindow(archive, problemsState, output + QStringLiteral("/problems-light.png")) &&
            saved;

    {
        ViewController window;
        window.resize(1000, 380);
        window.show();
        window.startRun(quelby::Operation::check, 1, makeLargeFolder(root));
        QElapsedTimer reading;
        reading.start();
        waitWhile([&] { return reading.elapsed() < 2500; }, 3000);
        saved = save(window, output + QStringLiteral("/window-during-run.png")) && saved;
        window.stopRuns();
        waitWhile([&] { return window.runsUnderWay() > 0; }, 5000);
    }

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Text, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0x6f, 0xb4));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        dark.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    }
    QApplication::setPalette(dark);
    saved = checkedWindow(photos, output + QStringLiteral("/window-dark.png")) && saved;
    saved = verifiedWindow(photos, statePath, output + QStringLiteral("/folders-dark.png")) && saved;
    saved = problemsWindow(archive, problemsState, output + QStringLiteral("/problems-dark.png")) &&
            saved;
    std::filesystem::remove_all(QFile::encodeName(root).toStdString());
    return saved ? 0 : 1;
}
