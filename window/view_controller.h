#pragma once

// The main window: its settings, the three folder operations, the report and
// its export. Walks run on processingQueue; everything that touches the
// window happens on the main thread.

#include "engine/operations/parity_refresh.h"
#include "engine/read/digest_pool.h"
#include "engine/run/run.h"
#include "window/alert_presenter.h"
#include "window/finish_notifier.h"
#include "window/line_kinds.h"
#include "window/user_settings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QUrl;

class BusyIndicator;
class FoldersView;
class ProblemsView;
class QDockWidget;
class ReportView;
class UserTimers;
class RunProgressLine;

// The main window: the three operations, the report, the Folders and Problems docks.
class ViewController : public QMainWindow {
    Q_OBJECT

public:
    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    // When the last run started; the export's footer and file name.
    std::optional<QDateTime> runDate;
    // The report's point size, as Larger and Smaller leave it.
    double theFontSize = 12.0;
    // The buffer size as entered, in the units chosen (what summaries name).
    std::int64_t setBufferSize = 1;
    // The buffer size in bytes that reads use.
    std::int64_t realBufferSize = 1024;
    // The names under which the window's runs keep a file's digest and its time stamp.
    const std::string theXattrName;
    const std::string theTimeXattrName;
    // The buffer size's units, as sizePopup offers them.
    const QStringList sizeList{QStringLiteral("KB"), QStringLiteral("MB")};

    // The report.
    ReportView* outputTextbox = nullptr;
    // Spins while any run is under way.
    BusyIndicator* progressSpinner = nullptr;
    // Each run's files and bytes so far.
    RunProgressLine* progressLine = nullptr;
    // Verbose: every file gets a line, not only the problems.
    QCheckBox* verboseCheckbox = nullptr;
    // The buffer size entry, and its units beside it.
    QLineEdit* bufferTextbox = nullptr;
    QComboBox* sizePopup = nullptr;
    // Time stamps: Tag and Retag store when each digest was made.
    QCheckBox* timesCheckbox = nullptr;
    // Tell edits from damage: Check explains, Retag rewrites only edited files.
    QCheckBox* tellEditsCheckbox = nullptr;
    // The digest workers every run shares, so that overlapping runs do not multiply
    // threads (each walk's own thread digests too); declared before processingQueue so
    // that it outlives the walks.
    quelby::DigestPool digestWorkers{std::max<std::size_t>(quelby::availableProcessors() - 1, 1)};
    // Where walks, scrubs and the Problems view's engine calls run, off the main thread.
    QThreadPool processingQueue;

    // Starts a run on a folder the user confirmed (response QDialog::Accepted); any other
    // response or an empty path changes nothing.
    void startRun(quelby::Operation operation, int response, const QString& folderPath);
    // Starts the operation on each folder, as the chooser would (folders dropped on the window).
    void startRuns(quelby::Operation operation, const QStringList& folders);
    // The same for folders named as bytes (the command line's), which no text may stand for:
    // a name that is not UTF-8 would come back from a QString as another name.
    void startRuns(quelby::Operation operation, const std::vector<std::string>& folderPaths);
    // Starts a run on a folder given as bytes. Tag and Retag bring the parity sets below it
    // up to date as the request asks; newOnly makes a Tag leave every stored digest alone.
    void startRunAt(quelby::Operation operation, const std::string& folderPath,
                    const quelby::ParityRequest& parity = {}, bool newOnly = false);
    // The options of the run started last, as the engine was given them.
    const quelby::RunOptions& latestRunOptions() const { return latestRunOptions_; }
    // Sets realBufferSize, and setBufferSize to the units it used, from the entry and unit.
    void computeRealBufferSize();
    void loadSettings();
    void saveSettings();

    // The report sink: bytes as the engine wrote them, each line with its kind.
    void setReportText(const KindedText& reportText);
    void appendReportText(const KindedText& reportText);
    // Report bytes made fit for display: invalid UTF-8 shown as \x and two hex digits.
    static std::string styledReportText(std::string_view reportText);
    static KindedText styledReportText(const KindedText& reportText);

    int runsUnderWay() const { return runsUnderWay_; }
    // Where the window asks its questions; by default real message boxes.
    void setAlertPresenter(AlertPresenter& alerts);
    // Where the end of a long run is told; by default the desktop's notifications.
    void setFinishNotifier(FinishNotifier& notifier) { notifier_ = &notifier; }
    // A run that took longer than this and ends while the window is not active is told.
    std::chrono::milliseconds longRun{10000};

    // The Folders view, in its dock; it reads the scrub state Verify now writes.
    FoldersView* foldersView = nullptr;
    // Where Check regularly turns timers on and off; by default the session's user manager.
    void setUserTimers(UserTimers& timers);
    // Verify now: a scrub of the folder, as quelby-cli scrub runs it, writing the same state.
    void startScrubAt(const std::string& folderPath);
    // Where the Folders and Problems views read the scrub state, and Verify now writes it.
    void setScrubStatePath(const std::string& statePath);
    // The open problems of the scrubbed folders, in a dock that View ▸ Show Problems shows;
    // shown at start when there are any.
    ProblemsView* problemsView = nullptr;
    QDockWidget* problemsDock = nullptr;
    // Where Show in Files opens a folder when no file manager answers on the bus; false when
    // nothing took it. By default the desktop's handler of folders.
    void setFolderOpener(std::function<bool(const QUrl&)> opener)
    {
        openFolder_ = std::move(opener);
    }

public slots:
    // Check: asks for a folder and compares each file with its stored digest.
    void checkButton();
    // Tag: asks for a folder and stores a digest for each file that has none.
    void hashButton();
    // Retag: asks for a folder and stores each file's digest anew.
    void retagButton();
    // Larger and Smaller: the report's font size, one point at a time.
    void incFontSize();
    void decFontSize();
    // Draws the report again at theFontSize.
    void renderReport();
    // Export: saves the report as shown to a text file.
    void exportText();
    // Quit, as the window's close does.
    void doCloseQuit();
    // Asks every run under way to stop; each then shows what it finished and its Stopped line.
    void stopRuns();
    void showProblemsOnly(bool problemsOnly);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // What a walk hands back to the window: its fixed options, its state and the display-ready
    // text of a finished run, made on the walk's own thread so the main thread only shows it.
    struct FinishedRun {
        quelby::RunOptions options;
        quelby::RunState state;
        KindedText displayText;
        std::shared_ptr<std::atomic<bool>> stopFlag;
    };

    void createActions();
    void createMenus();
    void createControls();
    void createFoldersView();
    void createProblemsView();
    void chooseFolderToAdd();
    void describeControls();
    void chooseFolder(quelby::Operation operation);
    void finishRun(FinishedRun run);
    void runEnded();
    // Validates a run's options and picks their store as --store auto does: the notice of a
    // store passed over, or none when the report now says why the run cannot start.
    std::optional<std::string> chooseStore(quelby::RunOptions& options, bool writes);
    // A run under way from now: its stop flag, its start time and its progress line.
    std::shared_ptr<std::atomic<bool>> beginRun(quelby::Operation operation,
                                                const std::string& folder);
    void changeFontSize(double size);
    void stopAllRuns();
    bool taggingUnderWay() const;
    template <typename Work> void onMainThread(Work work);

    QAction* actionCheck_ = nullptr;
    QAction* actionTag_ = nullptr;
    QAction* actionRetag_ = nullptr;
    QAction* actionStop_ = nullptr;
    QAction* actionShowProblemsOnly_ = nullptr;
    QAction* actionShowFolders_ = nullptr;
    QAction* actionExport_ = nullptr;
    QAction* actionQuit_ = nullptr;
    QAction* actionCopy_ = nullptr;
    QAction* actionSelectAll_ = nullptr;
    QAction* actionLarger_ = nullptr;
    QAction* actionSmaller_ = nullptr;

    // The last buffer-size entry the field took; what is saved while the field holds a refused one.
    QString acceptedBufferEntry_ = windowSettings::bufferSize.absentValue.toString();
    int runsUnderWay_ = 0;
    quelby::RunOptions latestRunOptions_;
    struct RunUnderWay
    {
        quelby::Operation operation;
        // Shared with the walk, which may still be reading it while the window goes.
        std::shared_ptr<std::atomic<bool>> stopFlag;
        QElapsedTimer started;
    };
    std::vector<RunUnderWay> runs_;
    MessageBoxAlertPresenter messageBoxes_;
    AlertPresenter* alerts_ = &messageBoxes_;
    DesktopNotifier desktopNotifier_;
    FinishNotifier* notifier_ = &desktopNotifier_;
    std::unique_ptr<UserTimers> sessionTimers_;
    std::function<bool(const QUrl&)> openFolder_;
    // The copy folder last chosen for a repair, where the next choice starts.
    QString copyFolder_;
};
