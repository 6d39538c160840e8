#include "app/preferences_dialog.h"

#include "app/update_schedule.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>

PreferencesDialog::PreferencesDialog(std::function<std::unique_ptr<QSettings>()> openSettings,
                                     QWidget* parent)
    : QDialog(parent), openSettings_(std::move(openSettings))
{
    setObjectName(QStringLiteral("preferencesDialog"));
    setWindowTitle(tr("Preferences"));

    updateCheckbox_ = new QCheckBox(tr("Check for &updates automatically"), this);
    updateCheckbox_->setObjectName(QStringLiteral("updateCheckbox"));
    updateCheckbox_->setAccessibleName(tr("Check for updates automatically"));
    auto* explanation =
        new QLabel(tr("Quelby looks twice a day for a newer version and offers it; nothing else "
                      "goes out. The Help menu says when it last looked."),
                   this);
    explanation->setWordWrap(true);
    // Under the box's label, not its box.
    explanation->setIndent(style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                           style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
    explanation->setForegroundRole(QPalette::PlaceholderText);
    updateCheckbox_->setToolTip(explanation->text());

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(updateCheckbox_);
    layout->addWidget(explanation);
    layout->addSpacing(8);
    layout->addStretch(1);
    layout->addWidget(buttons);
    setMinimumWidth(420);

    connect(updateCheckbox_, &QCheckBox::toggled, this, [this](bool checksForUpdates) {
        const auto settings = openSettings_();
        settings->setValue(kNoUpdateCheckKey, !checksForUpdates);
        settings->sync();
        emit updateCheckChanged(checksForUpdates);
    });
}

void PreferencesDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    // Unanswered counts as off: nothing goes out until the user has said it may.
    const bool checksForUpdates = !openSettings_()->value(kNoUpdateCheckKey, true).toBool();
    const QSignalBlocker quiet(updateCheckbox_);
    updateCheckbox_->setChecked(checksForUpdates);
}
