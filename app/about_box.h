// The About box: name, version, what Quelby does, and its licence.
#pragma once

#include <QDialog>

class QLabel;

class AboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit AboutBox(QWidget* parent = nullptr);

    // The box's text as the user reads it, line by line.
    QStringList lines() const;

private:
    QList<QLabel*> labels_;
};
