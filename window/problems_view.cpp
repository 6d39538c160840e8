#include "window/problems_view.h"

#include "engine/evidence/evidence_choice.h"
#include "engine/operations/walk.h"
#include "engine/repair/repair.h"
#include "engine/scrub/problem_closing.h"
#include "engine/scrub/state/state_file.h"
#include "engine/text/display_text.h"
#include "window/report_view.h"
#include "window/view_controller.h"
#include "window/window_run_observer.h"

#include <QCheckBox>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

using quelby::Operation;
using quelby::scrub::LastResult;

namespace {

std::string joinedPath(const std::string& folder, const std::string& relative)
{
    return folder == "/" ? "/" + relative : folder + "/" + relative;
}

// A path as the report writes it.
QString shownPath(const std::string& path)
{
    return QString::fromStdString(
        ViewController::styledReportText(quelby::escapedForReport(path)));
}

std::unique_ptr<quelby::scrub::ScrubState> openState(const std::string& path, std::string& error)
{
    auto state = quelby::scrub::ScrubState::open(path, [](const std::string&) {});
    if (!state) {
        error = state.error();
        return nullptr;
    }
    return std::move(*state);
}

// The one-file run of the problem's folder, with the store Check and repair would choose.
std::expected<quelby::RunOptions, std::string> oneFileRun(Operation operation,
                                                          const std::string& folder,
                                                          const std::string& path, bool writes)
{
    quelby::RunOptions options = quelby::defaultRunOptions(operation, folder);
    options.onlyFile = path;
    options.jobs = 1;
    auto chosen =
        quelby::chooseEvidenceStore(options, quelby::StoreChoice::automatic, writes);
    if (!chosen) {
        return std::unexpected(chosen.error().reason);
    }
    options.evidence = std::move(chosen->store);
    options.folderFd = std::move(chosen->folder);
    return options;
}

// What a look at the file now says of its problem.
struct VerdictLook : quelby::RunObserver
{
    VerdictLook(const std::atomic<int>& latest, int generation)
        : latest_(latest), generation_(generation)
    {
    }
    bool stopRequested() override { return latest_.load() != generation_; }
    const std::atomic<int>& latest_;
    const int generation_;
    QString said = QObject::tr("gone");
    void entryDone(const quelby::EntryOutcome& outcome) override
    {
        if (outcome.verdict) {
            said = QString::fromUtf8(quelby::verdictText(*outcome.verdict));
        } else if (outcome.result == quelby::FileResult::matched) {
            said = QObject::tr("matches its digest now");
        } else if (!outcome.error.empty()) {
            said = QString::fromStdString(outcome.error);
        }
    }
};

struct RepairLines : quelby::RepairObserver
{
    std::string lines;
    quelby::RepairResult result = quelby::RepairResult::none;
    std::optional<std::string> copy;
    void entryDone(const quelby::RepairedEntry& entry) override
    {
        lines += entry.lines;
        if (!entry.entry.isFolder && entry.result != quelby::RepairResult::none) {
            result = entry.result;
            copy = entry.copy;
        }
    }
};

struct RetagLines : quelby::RunObserver
{
    std::string lines;
    quelby::FileResult result = quelby::FileResult::none;
    void entryDone(const quelby::EntryOutcome& outcome) override
    {
        lines += outcome.lines + outcome.notices;
        if (!outcome.isFolder && outcome.result != quelby::FileResult::none) {
            result = outcome.result;
        }
    }
};

// The problem is closed in the state; a failure is a line for the report.
std::string closedInState(const std::string& statePath, const std::string& folder,
                          const std::string& path)
{
    struct stat info{};
    const std::string full = joinedPath(folder, path);
    if (::lstat(full.c_str(), &info) != 0) {
        return "\u274C " + quelby::escapedForReport(full) + ": " + std::strerror(errno) + "\n";
    }
    std::string error;
    const auto state = openState(statePath, error);
    if (state) {
        const auto closed =
            quelby::scrub::closeProblem(*state, folder, path, info, std::time(nullptr));
        if (closed) {
            return {};
        }
        error = closed.error();
    }
    return "\u274C " + quelby::escapedForReport(statePath) + ": " + error + "\n";
}

} // namespace

QUrl fileAddress(const std::string& path)
{
    return QUrl::fromEncoded("file://" + QUrl::toPercentEncoding(QByteArray::fromStdString(path),
                                                                 QByteArrayLiteral("/")),
                             QUrl::StrictMode);
}

ProblemsView::ProblemsView(ViewController& window, QWidget* parent)
    : QWidget(parent), window_(window),
      statePath_(quelby::scrub::defaultStatePath().value_or(std::string()))
{
    chooseCopy_ = [this] {
        return QFileDialog::getExistingDirectory(this, tr("Repair from the Copies in"));
    };
    openFolder_ = [](const QUrl& folder) { QDesktopServices::openUrl(folder); };
    createControls();
    refresh();
}

void ProblemsView::createControls()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 0, 6, 6);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("problemsList"));
    list_->setAccessibleName(tr("Problems"));
    list_->setToolTip(tr("Files a scheduled or earlier verification found damaged or unreadable"));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setHeaderLabels({tr("File"), tr("Result"), tr("Verdict"), tr("Found")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    list_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    list_->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    layout->addWidget(list_, 1);

    auto* buttons = new QHBoxLayout;
    const auto makeButton = [this, buttons](const QString& text, const char* name,
                                            const QString& tip) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(QString::fromLatin1(name));
        button->setAccessibleName(QString(text).remove(QLatin1Char('&')));
        button->setToolTip(tip);
        button->setEnabled(false);
        buttons->addWidget(button);
        return button;
    };
    repairFromButton_ = makeButton(tr("Repair from…"), "repairFromButton",
                                   tr("Find an intact copy of the selected file in a copy folder "
                                      "and show what a repair would do"));
    repairButton_ = makeButton(tr("Repair"), "repairButton",
                               tr("Bring the selected file back from the copy found"));
    repairButton_->hide();
    acceptButton_ = makeButton(tr("Accept as Edited"), "acceptEditedButton",
                               tr("Keep the file as it is now and store its new digest"));
    acceptButton_->setAccessibleName(tr("Accept as edited"));
    showButton_ = makeButton(tr("Show in Files"), "showInFilesButton",
                             tr("Show the selected file in the file manager"));
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(list_, &QTreeWidget::itemSelectionChanged, this, &ProblemsView::selectionChanged);
    connect(repairFromButton_, &QPushButton::clicked, this, &ProblemsView::repairFrom);
    connect(repairButton_, &QPushButton::clicked, this, &ProblemsView::repair);
    connect(acceptButton_, &QPushButton::clicked, this, &ProblemsView::acceptAsEdited);
    connect(showButton_, &QPushButton::clicked, this, &ProblemsView::showInFiles);
}

void ProblemsView::setStatePath(std::string path)
{
    statePath_ = std::move(path);
    refresh();
}

void ProblemsView::refresh()
{
    generation_ = ++*latestLook_;
    problems_.clear();
    list_->clear();
    // Looking never creates a state: a user who never scrubbed has no problems.
    if (!statePath_.empty() && QFile::exists(QFile::decodeName(statePath_.c_str()))) {
        std::string error;
        if (const auto state = openState(statePath_, error)) {
            const auto folders = state->folders();
            for (const auto& folder : folders ? *folders : decltype(*folders){}) {
                const auto open = state->openProblems(folder.folder);
                for (const auto& problem : open ? *open : decltype(*open){}) {
                    problems_.push_back({folder.folder, problem.path, problem.result,
                                         problem.since});
                }
            }
        }
    }
    for (const Problem& problem : problems_) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, shownPath(joinedPath(problem.folder, problem.path)));
        row->setText(1, problem.result == LastResult::readFailed ? tr("could not be read")
                                                                 : tr("differs"));
        row->setText(2, tr("looking…"));
        row->setText(3, QDateTime::fromSecsSinceEpoch(problem.since)
                            .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    }
    selectionChanged();
    lookAtVerdicts();
    emit refreshed(problemCount());
}

// Each file is read whole to tell its verdict, so never on the main thread.
void ProblemsView::lookAtVerdicts()
{
    for (std::size_t index = 0; index < problems_.size(); ++index) {
        window_.processingQueue.start([this, problem = problems_[index], index,
                                       generation = generation_, latest = latestLook_] {
            if (latest->load() != generation) {
                return;
            }
            QString said;
            auto options = oneFileRun(Operation::check, problem.folder, problem.path, false);
            if (!options) {
                said = QString::fromStdString(options.error());
            } else {
                options->explain = true;
                options->details = true;
                VerdictLook look(*latest, generation);
                quelby::walkFolder(*options, look);
                said = look.said;
            }
            QMetaObject::invokeMethod(
                this,
                [this, index, generation, said] {
                    if (generation == generation_) {
                        list_->topLevelItem(static_cast<int>(index))->setText(2, said);
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

std::optional<ProblemsView::Problem> ProblemsView::selected() const
{
    auto* row = list_->currentItem();
    if (row == nullptr || !row->isSelected()) {
        return std::nullopt;
    }
    const int index = list_->indexOfTopLevelItem(row);
    if (index < 0 || index >= problemCount()) {
        return std::nullopt;
    }
    return problems_[static_cast<std::size_t>(index)];
}

void ProblemsView::selectionChanged()
{
    const bool any = selected().has_value();
    for (QPushButton* button : {repairFromButton_, acceptButton_, showButton_}) {
        button->setEnabled(any);
    }
    chosenCopy_.reset();
    repairButton_->hide();
    repairButton_->setEnabled(false);
}

void ProblemsView::repairFrom()
{
    const auto problem = selected();
    if (!problem) {
        return;
    }
    const QString copy = chooseCopy_();
    if (copy.isEmpty()) {
        return;
    }
    startRepair(*problem, QFile::encodeName(copy).toStdString(), true);
}

void ProblemsView::repair()
{
    const auto problem = selected();
    if (problem && chosenCopy_) {
        startRepair(*problem, *chosenCopy_, false);
    }
}

// A dry run shows what the repair would do and, when it found a copy, offers Repair.
void ProblemsView::startRepair(const Problem& problem, const std::string& copy, bool dryRun)
{
    repairButton_->setEnabled(false);
    const std::string statePath = statePath_;
    window_.processingQueue.start([this, problem, copy, dryRun, statePath] {
        std::string text;
        bool repaired = false;
        bool found = false;
        quelby::RepairOptions options;
        auto run = oneFileRun(Operation::check, problem.folder, problem.path, !dryRun);
        if (!run) {
            text = "\u274C " + run.error() + "\n";
        } else {
            options.run = std::move(*run);
            options.copies = {quelby::normalisedFolder(copy, "/")};
            options.dryRun = dryRun;
            // The user picked this file to repair: an unknown verdict does not hold it back.
            options.alsoUnknown = true;
            if (auto valid = quelby::validateCopies(options.run.folder, options.copies);
                !valid) {
                text = "\u274C " + valid.error() + "\n";
            } else {
                RepairLines lines;
                auto state = quelby::repairFolder(options, lines);
                if (!state) {
                    text = "\u274C " + state.error() + "\n";
                } else {
                    text = lines.lines;
                    text += quelby::whereDigestsAreKept(*options.run.evidence);
                    if (auto kept = options.run.evidence->finish(); !kept) {
                        text += "\u274C " + kept.error() + "\n";
                    }
                    text += quelby::repairSummaryText(options, *state);
                    found = lines.result == quelby::RepairResult::wouldRepair;
                    repaired = lines.result == quelby::RepairResult::repaired;
                }
            }
        }
        if (repaired) {
            text += closedInState(statePath, problem.folder, problem.path);
        }
        QMetaObject::invokeMethod(
            this,
            [this, text, dryRun, found, repaired, copy = options.copies] {
                window_.setReportText(text);
                if (dryRun && found && !copy.empty()) {
                    chosenCopy_ = copy.front();
                    repairButton_->show();
                    repairButton_->setEnabled(true);
                }
                if (repaired) {
                    refresh();
                }
            },
            Qt::QueuedConnection);
    });
}

void ProblemsView::acceptAsEdited()
{
    const auto problem = selected();
    if (!problem) {
        return;
    }
    const QString path = shownPath(joinedPath(problem->folder, problem->path));
    const Alert question{Alert::Style::informational,
                         tr("Accept %1 as edited?").arg(path),
                         tr("Its stored digest is replaced by the digest of what it holds now."),
                         {tr("Cancel"), tr("Accept as Edited")}};
    if (window_.alerts().run(question) != 1) {
        return;
    }
    const std::string statePath = statePath_;
    window_.processingQueue.start([this, problem = *problem, statePath] {
        std::string text;
        bool retagged = false;
        auto options = oneFileRun(Operation::retag, problem.folder, problem.path, true);
        if (!options) {
            text = "\u274C " + options.error() + "\n";
        } else {
            // Accepting an edit turns it into evidence; without a fresh stamp
            // later damage to the file would read as one more edit.
            options->timeStamps = true;
            RetagLines lines;
            quelby::RunState state = quelby::walkFolder(*options, lines);
            text = lines.lines + runClosingText(*options, state, {});
            retagged = state.failureCount == 0 && (lines.result == quelby::FileResult::retagged ||
                                                   lines.result == quelby::FileResult::matched);
        }
        if (retagged) {
            text += closedInState(statePath, problem.folder, problem.path);
        }
        QMetaObject::invokeMethod(
            this,
            [this, text, retagged] {
                window_.setReportText(text);
                if (retagged) {
                    refresh();
                }
            },
            Qt::QueuedConnection);
    });
}

// The file manager's own call selects the file in its folder; without one, the folder opens.
void ProblemsView::showInFiles()
{
    const auto problem = selected();
    if (!problem) {
        return;
    }
    const std::string path = joinedPath(problem->folder, problem->path);
    const QUrl folder = fileAddress(path.substr(0, path.rfind('/') == 0 ? 1 : path.rfind('/')));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QString::fromLatin1(fileAddress(path).toEncoded())} << QString();
    const QDBusConnection bus = bus_.value_or(QDBusConnection::sessionBus());
    if (!bus.isConnected()) {
        openFolder_(folder);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, folder](QDBusPendingCallWatcher* answered) {
                if (answered->isError()) {
                    openFolder_(folder);
                }
                answered->deleteLater();
            });
}
