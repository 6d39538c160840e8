#include "window/problems_view.h"

#include "engine/text/display_text.h"
#include "engine/tree/folder_stack.h"
#include "window/alert_presenter.h"

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
#include <QThreadPool>
#include <QTreeWidget>
#include <QVBoxLayout>

using quelby::joinedPath;
using quelby::scrub::LastResult;

namespace {

// A path as the report writes it.
QString shownPath(const std::string& path)
{
    return QString::fromStdString(quelby::withInvalidUtf8Escaped(quelby::escapedForReport(path)));
}

} // namespace

QUrl fileAddress(const std::string& path)
{
    return QUrl::fromEncoded("file://" + QUrl::toPercentEncoding(QByteArray::fromStdString(path),
                                                                 QByteArrayLiteral("/")),
                             QUrl::StrictMode);
}

ProblemsView::ProblemsView(QThreadPool& pool, AlertPresenter& alerts, std::string statePath,
                           QWidget* parent)
    : QWidget(parent), pool_(pool), alerts_(&alerts), statePath_(std::move(statePath))
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
    list_->setHeaderLabels({tr("File"), tr("Result"), tr("Verdict"), tr("Found"), tr("Next step")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (const int column : {1, 2, 3, 4}) {
        list_->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
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
        if (const auto state =
                quelby::scrub::ScrubState::open(statePath_, [](const std::string&) {})) {
            const auto folders = (*state)->folders();
            for (const auto& folder : folders ? *folders : decltype(*folders){}) {
                const auto open = (*state)->openProblems(folder.folder);
                for (const auto& problem : open ? *open : decltype(*open){}) {
                    problems_.push_back({folder.folder, problem.path, problem.result, problem.since,
                                         problem.verdict});
                }
            }
        }
    }
    for (const Problem& problem : problems_) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, shownPath(joinedPath(problem.folder, problem.path)));
        row->setText(1, problem.result == LastResult::readFailed ? tr("could not be read")
                                                                 : tr("differs"));
        // The scrub's verdict until the look at the file now tells its own.
        row->setText(2, problem.verdict ? QString::fromUtf8(quelby::verdictText(*problem.verdict))
                                        : tr("looking…"));
        row->setText(3, QDateTime::fromSecsSinceEpoch(problem.since)
                            .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        row->setText(4, nextStepText(problem, problem.verdict, hasParity(problem)));
    }
    selectionChanged();
    lookAtVerdicts();
    emit refreshed(problemCount());
}

// Each file is read whole to tell its verdict, so never on the main thread.
void ProblemsView::lookAtVerdicts()
{
    for (std::size_t index = 0; index < problems_.size(); ++index) {
        pool_.start([this, problem = problems_[index], index, generation = generation_,
                     latest = latestLook_] {
            if (latest->load() != generation) {
                return;
            }
            const VerdictLooked looked = verdictNow(problem, *latest, generation);
            QMetaObject::invokeMethod(
                this,
                [this, index, generation, looked] {
                    if (generation != generation_) {
                        return;
                    }
                    auto* row = list_->topLevelItem(static_cast<int>(index));
                    row->setText(2, looked.said);
                    if (looked.verdict) {
                        const Problem& shown = problems_[index];
                        row->setText(4, nextStepText(shown, looked.verdict, hasParity(shown)));
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
    const auto problem = selected();
    for (QPushButton* button : {repairFromButton_, acceptButton_, showButton_}) {
        button->setEnabled(problem.has_value());
    }
    chosenCopy_.reset();
    selectedHasParity_ = problem && hasParity(*problem);
    repairButton_->setVisible(selectedHasParity_);
    repairButton_->setEnabled(selectedHasParity_);
    repairButton_->setToolTip(selectedHasParity_
                                  ? tr("Rebuild the selected file from its folder's parity")
                                  : tr("Bring the selected file back from the copy found"));
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
    } else if (problem && selectedHasParity_) {
        startParityRepair(*problem);
    }
}

// A dry run shows what the repair would do and, when it found a copy, offers Repair.
void ProblemsView::startRepair(const Problem& problem, const std::string& copy, bool dryRun)
{
    repairButton_->setEnabled(false);
    const std::string statePath = statePath_;
    pool_.start([this, problem, copy, dryRun, statePath] {
        RepairDone done = repairProblem(problem, copy, dryRun, statePath);
        QMetaObject::invokeMethod(
            this,
            [this, dryRun, done = std::move(done)] {
                emit reportReady(done.text);
                if (done.copy) {
                    chosenCopy_ = done.copy;
                    repairButton_->setToolTip(
                        tr("Bring the selected file back from the copy found"));
                    repairButton_->show();
                    repairButton_->setEnabled(true);
                }
                // A repair ends the rows it was chosen from, whatever it found: a file
                // repaired meanwhile, or its problem closed by a scrub, is not listed again.
                if (!dryRun) {
                    refresh();
                }
            },
            Qt::QueuedConnection);
    });
}

// From parity there is no copy to choose: the report shows the dry run, and the repair
// follows it at once when the dry run found the file can be rebuilt.
void ProblemsView::startParityRepair(const Problem& problem)
{
    repairButton_->setEnabled(false);
    const std::string statePath = statePath_;
    pool_.start([this, problem, statePath] {
        RepairDone done = repairProblem(problem, std::nullopt, true, statePath);
        if (done.wouldRepair) {
            RepairDone repaired = repairProblem(problem, std::nullopt, false, statePath);
            done.text.add(repaired.text);
            done.repaired = repaired.repaired;
        }
        QMetaObject::invokeMethod(
            this,
            [this, done = std::move(done)] {
                emit reportReady(done.text);
                refresh();
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
    if (alerts_->run(question) != 1) {
        return;
    }
    const std::string statePath = statePath_;
    pool_.start([this, problem = *problem, statePath] {
        AcceptDone accepted = acceptEdit(problem, statePath);
        QMetaObject::invokeMethod(
            this,
            [this, accepted = std::move(accepted)] {
                emit reportReady(accepted.text);
                refresh();
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
