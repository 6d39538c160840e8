// The Preferences dialog: the app's own choices that have no place among the window's controls.
// Each change is stored at once, as the desktop's settings dialogs do; Close only closes.
#pragma once

#include <QDialog>
#include <QSettings>
#include <functional>
#include <memory>

class QCheckBox;

class PreferencesDialog : public QDialog
{
    Q_OBJECT

public:
    // openSettings: the store the update check reads, which the dialog writes.
    explicit PreferencesDialog(std::function<std::unique_ptr<QSettings>()> openSettings,
                               QWidget* parent = nullptr);

    QCheckBox* updateCheckbox() const { return updateCheckbox_; }

signals:
    // The user switched the automatic update check on or off.
    void updateCheckChanged(bool checksForUpdates);

protected:
    // Read again at each showing: the first start's question may have been answered since.
    void showEvent(QShowEvent* event) override;

private:
    std::function<std::unique_ptr<QSettings>()> openSettings_;
    QCheckBox* updateCheckbox_ = nullptr;
};
