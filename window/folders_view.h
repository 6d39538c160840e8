#pragma once

// The Folders view: every folder the user has scrubbed (from the scrub
// state) or scheduled (an enabled quelby-scrub timer), with when it was last
// verified, the share of its files verified in its period, where its digests
// are kept, its open problems and its parity. The selected folder is the one
// Verify now, Check regularly and Keep parity act on.

#include <QByteArray>
#include <QThreadPool>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class UserTimers;

class FoldersView : public QWidget {
    Q_OBJECT

public:
    enum Column {
        folderColumn,
        lastVerifiedColumn,
        shareColumn,
        digestsColumn,
        problemsColumn,
        parityColumn
    };

    // statePath: the scrub state to read; empty for none.
    FoldersView(UserTimers& timers, std::string statePath, QWidget* parent = nullptr);
    ~FoldersView() override;

    const std::string& statePath() const { return statePath_; }
    void setStatePath(std::string statePath);
    void setTimers(UserTimers& timers);
    // Reads the state and the timers again, keeping the selection where it can; each
    // folder's parity follows once its set has been read.
    void refresh();
    // The folder's raw bytes; none when no folder is selected.
    std::optional<std::string> selectedFolder() const;
    // Selects the folder's row, when it has one.
    void selectFolder(const std::string& folder);
    // The period of the selected folder, as shown beside Check regularly.
    int periodDays() const;

    QTreeWidget* list = nullptr;
    QCheckBox* checkRegularly = nullptr;
    QSpinBox* periodBox = nullptr;
    QPushButton* verifyNowButton = nullptr;
    QPushButton* addFolderButton = nullptr;
    QCheckBox* keepParity = nullptr;
    QSpinBox* parityPercentBox = nullptr;

signals:
    void verifyRequested(const QByteArray& folder);
    void addFolderRequested();
    // Keep parity: the folder's sets written anew with this percentage, or removed.
    void keepParityRequested(const QByteArray& folder, int percent);
    void dropParityRequested(const QByteArray& folder);
    // A schedule that could not be changed, in words.
    void scheduleFailed(const QString& reason);

private:
    void createControls();
    void showSelection();
    void changeSchedule(bool on);
    void changePeriod();
    void changeParity(bool on);
    void changeParityPercent();
    void lookAtParity();
    // percent: what the folder's set records; none without a set; unexpected with the
    // reason when its set cannot be used.
    void showParity(const std::string& folder,
                    const std::expected<std::optional<unsigned>, std::string>& percent);
    void showParityControls();

    UserTimers* timers_;
    std::string statePath_;
    // A set is read whole to tell its percentage, so never on the main thread. Looks queued
    // before a newer refresh are dropped; the view waits for the one under way as it goes.
    QThreadPool parityLooks_;
    int generation_ = 0;
    std::shared_ptr<std::atomic<int>> latestLook_ = std::make_shared<std::atomic<int>>(0);
};
