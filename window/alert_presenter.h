#pragma once

// Modal alerts of the window and the shell. Everything that asks or tells the
// user something in a box goes through AlertPresenter, so tests can read an
// alert and answer it.

#include <QString>
#include <QStringList>
#include <memory>

class QMessageBox;
class QWidget;

struct Alert
{
    enum class Style
    {
        informational,
        critical
    };

    Style style = Style::informational;
    QString message;
    QString informative;
    // In the order they are added; the first one is the default button.
    QStringList buttons;
};

class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert modally; returns the index of the button pressed.
    virtual int run(const Alert& alert) = 0;
};

class MessageBoxAlertPresenter : public AlertPresenter
{
public:
    int run(const Alert& alert) override;
};

// The message box MessageBoxAlertPresenter shows, not yet shown.
std::unique_ptr<QMessageBox> makeAlertBox(const Alert& alert, QWidget* parent = nullptr);
