#include "window/folders_view.h"

#include "engine/evidence/evidence_location.h"
#include "engine/evidence/manifest_format.h"
#include "engine/evidence/parity_format.h"
#include "engine/evidence/parity_reader.h"
#include "engine/platform/sys.h"
#include "engine/scrub/state/scrub_state.h"
#include "engine/tree/paths.h"
#include "window/line_colours.h"
#include "window/user_timers.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>
#include <expected>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>

namespace {

constexpr int kFolderRole = Qt::UserRole;
constexpr int kPeriodRole = Qt::UserRole + 1;
constexpr int kScheduledRole = Qt::UserRole + 2;
constexpr int kParityRole = Qt::UserRole + 3; // the set's percentage, 0 for none
constexpr int kParityUnknown = -1;
constexpr int kDefaultPeriodDays = 30;
constexpr int kDefaultParityPercent = 5;

struct Row
{
    std::optional<quelby::scrub::FolderRecord> record;
    std::optional<quelby::scrub::FolderCounts> counts;
    bool scheduled = false;
    std::optional<int> scheduledPeriod;
};

// The folder's own manifest when it has one; else its files carry their digests.
QString digestsPlace(const std::string& folder)
{
    const std::string manifest = quelby::joinedPath(folder, quelby::kManifestFileName);
    const QString shown = QFile::decodeName(QByteArray::fromStdString(manifest));
    return QFileInfo::exists(shown) ? shown : FoldersView::tr("attributes");
}

// The percentage the folder's set records; none when it has no set. A set the
// engine would pass over (not trusted, not Quelby's, unreadable) is unexpected,
// with the reason.
std::expected<std::optional<unsigned>, std::string> parityPercent(const std::string& folder)
{
    using namespace quelby;
    constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    auto openedFolder = sys::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!openedFolder) {
        return std::unexpected(openedFolder.error().description);
    }
    const FileDescriptor folderFd(*openedFolder);
    const std::string name = parity::setFileName(1);
    auto openedSet = sys::openAt(folderFd.get(), name, kReadFlags);
    if (!openedSet) {
        if (openedSet.error().code == ENOENT) {
            return std::optional<unsigned>();
        }
        return std::unexpected(name + ": " + openedSet.error().description);
    }
    const FileDescriptor set(*openedSet);
    const auto folderInfo = sys::fstat(folderFd.get());
    const auto setInfo = sys::fstat(set.get());
    if (!folderInfo || !setInfo) {
        return std::unexpected(name + ": " +
                               (folderInfo ? setInfo : folderInfo).error().description);
    }
    if (!S_ISREG(setInfo->st_mode) || !trustedEvidenceFile(*setInfo, *folderInfo)) {
        return std::unexpected(passedOverNotice(joinedPath(folder, name)));
    }
    const int parts[] = {set.get()};
    const auto contents = parity::readSet(parts);
    if (!contents) {
        return std::unexpected(name + ": " + contents.error());
    }
    if (!contents->writtenByQuelby) {
        return std::unexpected(name + ": not written by Quelby");
    }
    return std::optional<unsigned>(contents->percent);
}

} // namespace

FoldersView::FoldersView(UserTimers& timers, std::string statePath, QWidget* parent)
    : QWidget(parent), timers_(&timers), statePath_(std::move(statePath))
{
    parityLooks_.setMaxThreadCount(1);
    createControls();
    refresh();
}

FoldersView::~FoldersView()
{
    ++*latestLook_;
    parityLooks_.waitForDone();
}

void FoldersView::createControls()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("foldersList"));
    list->setAccessibleName(tr("Folders"));
    list->setToolTip(tr("The folders Quelby looks after; select one to verify or schedule it"));
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setHeaderLabels({tr("Folder"), tr("Last verified"), tr("Verified"), tr("Digests in"),
                           tr("Problems"), tr("Parity")});
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(list, 1);

    auto* controls = new QHBoxLayout;
    checkRegularly = new QCheckBox(tr("Check &regularly"), this);
    checkRegularly->setObjectName(QStringLiteral("checkRegularly"));
    checkRegularly->setAccessibleName(tr("Check regularly"));
    periodBox = new QSpinBox(this);
    periodBox->setObjectName(QStringLiteral("periodBox"));
    periodBox->setAccessibleName(tr("Period in days"));
    periodBox->setToolTip(tr("Every file of the folder is verified within this many days"));
    periodBox->setRange(1, 3650);
    periodBox->setValue(kDefaultPeriodDays);
    periodBox->setSuffix(tr(" days"));
    verifyNowButton = new QPushButton(tr("&Verify Now"), this);
    verifyNowButton->setObjectName(QStringLiteral("verifyNowButton"));
    verifyNowButton->setAccessibleName(tr("Verify now"));
    verifyNowButton->setToolTip(tr("Verify the files of the selected folder that are due"));
    addFolderButton = new QPushButton(tr("&Add Folder…"), this);
    addFolderButton->setObjectName(QStringLiteral("addFolderButton"));
    addFolderButton->setAccessibleName(tr("Add Folder"));
    addFolderButton->setToolTip(tr("Choose a folder to look after, and verify it now"));
    keepParity = new QCheckBox(tr("Keep &parity"), this);
    keepParity->setObjectName(QStringLiteral("keepParity"));
    keepParity->setAccessibleName(tr("Keep parity"));
    keepParity->setToolTip(tr("Keep recovery data beside the files of the selected folder, so "
                              "that a damaged file can be rebuilt without a copy"));
    parityPercentBox = new QSpinBox(this);
    parityPercentBox->setObjectName(QStringLiteral("parityPercentBox"));
    parityPercentBox->setAccessibleName(tr("Parity percentage"));
    parityPercentBox->setToolTip(
        tr("Recovery data as a share of the files' bytes: as much damage as this can be rebuilt"));
    parityPercentBox->setRange(1, 100);
    parityPercentBox->setValue(kDefaultParityPercent);
    parityPercentBox->setSuffix(tr(" %"));
    controls->addWidget(checkRegularly);
    controls->addWidget(periodBox);
    controls->addSpacing(12);
    controls->addWidget(keepParity);
    controls->addWidget(parityPercentBox);
    controls->addStretch(1);
    controls->addWidget(verifyNowButton);
    controls->addWidget(addFolderButton);
    layout->addLayout(controls);

    connect(list, &QTreeWidget::currentItemChanged, this, &FoldersView::showSelection);
    connect(checkRegularly, &QCheckBox::clicked, this, &FoldersView::changeSchedule);
    connect(periodBox, &QSpinBox::editingFinished, this, &FoldersView::changePeriod);
    connect(keepParity, &QCheckBox::clicked, this, &FoldersView::changeParity);
    connect(parityPercentBox, &QSpinBox::editingFinished, this, &FoldersView::changeParityPercent);
    connect(verifyNowButton, &QPushButton::clicked, this, [this] {
        if (const auto folder = selectedFolder()) {
            emit verifyRequested(QByteArray::fromStdString(*folder));
        }
    });
    connect(addFolderButton, &QPushButton::clicked, this, &FoldersView::addFolderRequested);
}

void FoldersView::setStatePath(std::string statePath)
{
    statePath_ = std::move(statePath);
    refresh();
}

void FoldersView::setTimers(UserTimers& timers)
{
    timers_ = &timers;
    refresh();
}

void FoldersView::refresh()
{
    const std::optional<std::string> selected = selectedFolder();
    std::map<std::string, Row> rows;
    // Opening creates a state; a user who never scrubbed gets none from looking.
    if (!statePath_.empty() && QFileInfo::exists(QFile::decodeName(QByteArray::fromStdString(statePath_)))) {
        if (auto state = quelby::scrub::ScrubState::open(statePath_, [](const std::string&) {})) {
            const auto now = static_cast<quelby::scrub::Seconds>(std::time(nullptr));
            if (auto records = (*state)->folders()) {
                for (auto& record : *records) {
                    rows[record.folder].record = std::move(record);
                }
            }
            if (auto counts = (*state)->folderCounts(now)) {
                for (auto& count : *counts) {
                    rows[count.folder].counts = std::move(count);
                }
            }
        }
    }
    for (std::string& folder : timers_->scheduledFolders()) {
        Row& row = rows[folder];
        row.scheduled = true;
        row.scheduledPeriod = timers_->periodDays(folder);
    }

    const QColor problemColour = lineColours(palette())[static_cast<int>(LineKind::failure)];
    const QColor warningColour = lineColours(palette())[static_cast<int>(LineKind::warning)];
    const QLocale locale;
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const auto& [folder, row] : rows) {
        auto* item = new QTreeWidgetItem;
        item->setText(folderColumn, QFile::decodeName(QByteArray::fromStdString(folder)));
        item->setData(folderColumn, kFolderRole, QByteArray::fromStdString(folder));
        const int period = row.scheduledPeriod.value_or(
            row.record ? static_cast<int>(row.record->everyDays) : kDefaultPeriodDays);
        item->setData(folderColumn, kPeriodRole, period);
        item->setData(folderColumn, kScheduledRole, row.scheduled);
        const auto lastRun = row.record ? row.record->lastRun : std::nullopt;
        item->setText(lastVerifiedColumn,
                      lastRun ? locale.toString(QDateTime::fromSecsSinceEpoch(*lastRun),
                                                QLocale::ShortFormat)
                              : tr("not yet"));
        if (row.record && row.counts) {
            const auto& counts = *row.counts;
            // A file without a digest is never verified: it holds the share down.
            const auto files = counts.files + counts.withoutDigest;
            const auto percent = files == 0 ? 100 : counts.verifiedInPeriod * 100 / files;
            QString share =
                tr("%1 % verified in the last %2 days").arg(percent).arg(row.record->everyDays);
            if (counts.withoutDigest > 0) {
                share += "; " + (counts.withoutDigest == 1
                                     ? tr("1 file not protected")
                                     : tr("%1 files not protected").arg(counts.withoutDigest));
                item->setForeground(shareColumn, warningColour);
            }
            item->setText(shareColumn, share);
            item->setText(problemsColumn, QString::number(counts.problems));
            if (counts.problems > 0) {
                item->setForeground(problemsColumn, problemColour);
            }
        }
        item->setText(digestsColumn, digestsPlace(folder));
        item->setData(folderColumn, kParityRole, kParityUnknown);
        item->setText(parityColumn, tr("looking…"));
        items.push_back(item);
    }
    list->clear();
    list->addTopLevelItems(items);
    if (selected) {
        selectFolder(*selected);
    }
    if (list->currentItem() == nullptr && list->topLevelItemCount() > 0) {
        list->setCurrentItem(list->topLevelItem(0));
    }
    showSelection();
    lookAtParity();
}

void FoldersView::lookAtParity()
{
    generation_ = ++*latestLook_;
    for (int index = 0; index < list->topLevelItemCount(); ++index) {
        std::string folder =
            list->topLevelItem(index)->data(folderColumn, kFolderRole).toByteArray().toStdString();
        parityLooks_.start([this, folder = std::move(folder), generation = generation_,
                            latest = latestLook_] {
            if (latest->load() != generation) {
                return;
            }
            auto percent = parityPercent(folder);
            QMetaObject::invokeMethod(
                this,
                [this, folder, generation, percent = std::move(percent)] {
                    if (generation == generation_) {
                        showParity(folder, percent);
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

void FoldersView::showParity(const std::string& folder,
                             const std::expected<std::optional<unsigned>, std::string>& percent)
{
    const QByteArray wanted = QByteArray::fromStdString(folder);
    for (int index = 0; index < list->topLevelItemCount(); ++index) {
        QTreeWidgetItem* item = list->topLevelItem(index);
        if (item->data(folderColumn, kFolderRole).toByteArray() != wanted) {
            continue;
        }
        item->setData(folderColumn, kParityRole,
                      percent ? static_cast<int>(percent->value_or(0)) : 0);
        item->setText(parityColumn, percent && *percent ? tr("parity %1 %").arg(**percent)
                                    : percent           ? tr("no parity")
                                                        : tr("parity not usable"));
        if (!percent) {
            item->setToolTip(parityColumn, QString::fromStdString(percent.error()));
            item->setForeground(parityColumn,
                                lineColours(palette())[static_cast<int>(LineKind::warning)]);
        }
        if (item == list->currentItem()) {
            showParityControls();
        }
        return;
    }
}

// Keep parity is offered once the selected folder's set has been looked at: until then,
// neither checking nor unchecking would say what the user sees.
void FoldersView::showParityControls()
{
    const QTreeWidgetItem* item = list->currentItem();
    const int parity = item ? item->data(folderColumn, kParityRole).toInt() : kParityUnknown;
    keepParity->setEnabled(parity != kParityUnknown);
    keepParity->setChecked(parity > 0);
    if (parity > 0) {
        parityPercentBox->setValue(parity);
    }
}

std::optional<std::string> FoldersView::selectedFolder() const
{
    const QTreeWidgetItem* item = list->currentItem();
    if (item == nullptr) {
        return std::nullopt;
    }
    return item->data(folderColumn, kFolderRole).toByteArray().toStdString();
}

void FoldersView::selectFolder(const std::string& folder)
{
    const QByteArray wanted = QByteArray::fromStdString(folder);
    for (int index = 0; index < list->topLevelItemCount(); ++index) {
        QTreeWidgetItem* item = list->topLevelItem(index);
        if (item->data(folderColumn, kFolderRole).toByteArray() == wanted) {
            list->setCurrentItem(item);
            return;
        }
    }
}

int FoldersView::periodDays() const
{
    return periodBox->value();
}

void FoldersView::showSelection()
{
    const QTreeWidgetItem* item = list->currentItem();
    const std::optional<QString> unavailable = timers_->unavailableReason();
    checkRegularly->setEnabled(item != nullptr && !unavailable);
    checkRegularly->setToolTip(
        unavailable    ? *unavailable
        : item == nullptr ? tr("Select a folder to check it regularly")
                          : tr("Verify the selected folder in the background, every day a "
                               "share of it"));
    verifyNowButton->setEnabled(item != nullptr);
    showParityControls();
    if (item == nullptr) {
        checkRegularly->setChecked(false);
        return;
    }
    checkRegularly->setChecked(item->data(folderColumn, kScheduledRole).toBool());
    periodBox->setValue(item->data(folderColumn, kPeriodRole).toInt());
}

void FoldersView::changeSchedule(bool on)
{
    const auto folder = selectedFolder();
    if (!folder) {
        return;
    }
    const auto changed = on ? timers_->schedule(*folder, periodBox->value())
                            : timers_->unschedule(*folder);
    if (!changed) {
        emit scheduleFailed(changed.error());
    }
    // A failed change leaves the timer as it was.
    const bool scheduled = changed ? on : !on;
    QTreeWidgetItem* item = list->currentItem();
    item->setData(folderColumn, kScheduledRole, scheduled);
    item->setData(folderColumn, kPeriodRole, periodBox->value());
    checkRegularly->setChecked(scheduled);
}

// A new period for a scheduled folder is a new drop-in.
void FoldersView::changePeriod()
{
    QTreeWidgetItem* item = list->currentItem();
    if (item == nullptr || item->data(folderColumn, kPeriodRole).toInt() == periodBox->value()) {
        return;
    }
    item->setData(folderColumn, kPeriodRole, periodBox->value());
    if (checkRegularly->isChecked()) {
        changeSchedule(true);
    }
}

// The row changes when the Retag that writes or removes the sets has ended and the view is
// read again; until then the box shows what was asked.
void FoldersView::changeParity(bool on)
{
    const auto folder = selectedFolder();
    if (!folder) {
        return;
    }
    if (on) {
        emit keepParityRequested(QByteArray::fromStdString(*folder), parityPercentBox->value());
    } else {
        emit dropParityRequested(QByteArray::fromStdString(*folder));
    }
}

// A new percentage for a folder that keeps parity is its sets written anew.
void FoldersView::changeParityPercent()
{
    const QTreeWidgetItem* item = list->currentItem();
    if (item == nullptr || !keepParity->isChecked() ||
        item->data(folderColumn, kParityRole).toInt() == parityPercentBox->value()) {
        return;
    }
    changeParity(true);
}
