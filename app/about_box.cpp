#include "app/about_box.h"

#include "shell_config.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

AboutBox::AboutBox(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(tr("About Quelby"));

    auto* name = new QLabel(QStringLiteral("Quelby"), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.8);
    nameFont.setBold(true);
    name->setFont(nameFont);
    auto* version =
        new QLabel(tr("Version %1").arg(QString::fromLatin1(quelby::kAppVersion)), this);
    auto* purpose = new QLabel(
        tr("Quelby keeps a SHA-256 digest of every file in an extended attribute on the file "
           "itself, so that a later check finds any file whose contents changed."),
        this);
    purpose->setWordWrap(true);
    auto* licence =
        new QLabel(tr("Licence: %1").arg(QString::fromLatin1(quelby::kLicenseSpdx)), this);
    labels_ = {name, version, purpose, licence};

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    for (QLabel* label : labels_) {
        label->setAlignment(Qt::AlignHCenter);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(label);
    }
    layout->addSpacing(8);
    layout->addWidget(buttons);
    setFixedWidth(380);
}

QStringList AboutBox::lines() const
{
    QStringList text;
    for (const QLabel* label : labels_) {
        text.append(label->text());
    }
    return text;
}
