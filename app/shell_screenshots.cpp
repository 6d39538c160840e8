// Takes pictures of the help window, the About box, the Preferences and the
// update offer into the folder given as the one argument, for review without
// a display.
#include "app/about_box.h"
#include "app/preferences_dialog.h"
#include "window/alert_presenter.h"
#include "app/ref_view_controller.h"
#include "app/update_schedule.h"
#include "shell_config.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfView>
#include <QPixmap>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

bool savePicture(QWidget& widget, const QDir& folder, const QString& name)
{
    widget.show();
    QApplication::processEvents();
    // Let the PDF view lay out and render its first pages.
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    const QString path = folder.filePath(name);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "quelby_shell_screenshots: can't write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelby"));
    QApplication::setApplicationVersion(QString::fromLatin1(quelby::kAppVersion));
    if (argc != 2) {
        std::fprintf(stderr, "usage: quelby_shell_screenshots FOLDER\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "quelby_shell_screenshots: can't create %s\n", argv[1]);
        return 1;
    }

    RefViewController help;
    help.resize(760, 900);
    AboutBox about;
    // A store of its own, answered yes, so that the picture shows the box checked.
    const QTemporaryDir settingsFolder;
    const QString store = settingsFolder.filePath(QStringLiteral("Quelby.conf"));
    QSettings(store, QSettings::IniFormat).setValue(kNoUpdateCheckKey, false);
    PreferencesDialog preferences(
        [store] { return std::make_unique<QSettings>(store, QSettings::IniFormat); });
    const Alert offer{Alert::Style::informational,
                      QStringLiteral("An update to this app to version 1.1.0 is available."),
                      QStringLiteral("You are currently running Quelby version ") +
                          QString::fromLatin1(quelby::kAppVersion) +
                          QStringLiteral(".\nPlease choose whether to download this update now "
                                         "in your default browser."),
                      {QStringLiteral("Ignore"), QStringLiteral("Download")}};
    const std::unique_ptr<QMessageBox> offerBox = makeAlertBox(offer);

    bool saved = savePicture(help, folder, QStringLiteral("shell-help-window.png"));
    if (help.document() == nullptr || help.document()->pageCount() < 1) {
        std::fprintf(stderr, "quelby_shell_screenshots: the manual did not load\n");
        saved = false;
    }
    // Further down: the report lines with their symbols.
    QScrollBar* scroll = help.pdfView()->verticalScrollBar();
    scroll->setValue(scroll->maximum() * 2 / 5);
    saved =
        savePicture(help, folder, QStringLiteral("shell-help-window-report-lines.png")) && saved;
    saved = savePicture(about, folder, QStringLiteral("shell-about-box.png")) && saved;
    saved = savePicture(preferences, folder, QStringLiteral("shell-preferences.png")) && saved;
    saved = savePicture(*offerBox, folder, QStringLiteral("shell-update-offer.png")) && saved;
    return saved ? 0 : 1;
}
