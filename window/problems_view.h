#pragma once

// The open problems of every scrubbed folder, as the scrub state holds them,
// and what can be done about one: rebuild it from its folder's parity or bring
// it back from a copy, accept it as an edit, or show it in the file manager.
// Each action runs the engine on that one file (problem_actions.h) on the pool
// it is given, and hands its report on through reportReady for the main
// window to show.

#include "window/problem_actions.h"

#include <QDBusConnection>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AlertPresenter;
class QPushButton;
class QThreadPool;
class QTreeWidget;

class ProblemsView : public QWidget
{
    Q_OBJECT

public:
    // pool: where the engine calls run; alerts: where Accept as edited asks first;
    // statePath: the scrub state read, empty for none.
    ProblemsView(QThreadPool& pool, AlertPresenter& alerts, std::string statePath,
                 QWidget* parent = nullptr);

    void setStatePath(std::string path);
    void setAlertPresenter(AlertPresenter& alerts) { alerts_ = &alerts; }
    // Asks for the folder of intact copies; an empty answer changes nothing.
    void setCopyChooser(std::function<QString()> chooser) { chooseCopy_ = std::move(chooser); }
    // Opens a folder when no file manager answers on the bus.
    void setFolderOpener(std::function<void(const QUrl&)> opener)
    {
        openFolder_ = std::move(opener);
    }
    // The bus the file manager is asked on; by default the session bus at the time.
    void setFileManagerBus(const QDBusConnection& bus) { bus_ = bus; }

    // Reads the state again; the verdicts follow as each file is looked at.
    void refresh();
    // Ends the looks at files under way, as the window goes: each reads a whole file.
    void stopLooking() { ++*latestLook_; }
    int problemCount() const { return static_cast<int>(problems_.size()); }

signals:
    // After every refresh, with what it found.
    void refreshed(int problems);
    // The report of an action, as the engine wrote it, to replace the window's report.
    void reportReady(const KindedText& reportText);

private:
    using Problem = OpenProblem;

    void createControls();
    std::optional<Problem> selected() const;
    void selectionChanged();
    void lookAtVerdicts();
    void repairFrom();
    void repair();
    void startRepair(const Problem& problem, const std::string& copy, bool dryRun);
    void startParityRepair(const Problem& problem);
    void acceptAsEdited();
    void showInFiles();

    QThreadPool& pool_;
    AlertPresenter* alerts_;
    std::string statePath_;
    std::vector<Problem> problems_;
    // Verdicts that arrive after a newer refresh belong to rows gone since; the looks
    // themselves stop once a newer refresh or stopLooking has moved this on.
    int generation_ = 0;
    std::shared_ptr<std::atomic<int>> latestLook_ = std::make_shared<std::atomic<int>>(0);
    // The copy the last dry run found for the selected problem; the Repair button uses it.
    std::optional<std::string> chosenCopy_;
    // The selected problem's folder has a parity set: Repair needs no copy.
    bool selectedHasParity_ = false;
    QTreeWidget* list_ = nullptr;
    QPushButton* repairFromButton_ = nullptr;
    QPushButton* repairButton_ = nullptr;
    QPushButton* acceptButton_ = nullptr;
    QPushButton* showButton_ = nullptr;
    std::function<QString()> chooseCopy_;
    std::function<void(const QUrl&)> openFolder_;
    std::optional<QDBusConnection> bus_;
};

// A file:// address for a path of raw bytes, which no text need stand for.
QUrl fileAddress(const std::string& path);
