#include "window/alert_presenter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

std::unique_ptr<QMessageBox> makeAlertBox(const Alert& alert, QWidget* parent)
{
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(QApplication::applicationName());
    box->setIcon(alert.style == Alert::Style::critical ? QMessageBox::Critical
                                                       : QMessageBox::Information);
    // Alerts carry text from the update list and from file names; as rich text a tag in it
    // would become a link or an image the box loads.
    box->setTextFormat(Qt::PlainText);
    box->setText(alert.message);
    box->setInformativeText(alert.informative);
    for (QLabel* label : box->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    for (const QString& title : alert.buttons) {
        QPushButton* button = box->addButton(title, QMessageBox::ActionRole);
        if (box->buttons().size() == 1) {
            box->setDefaultButton(button);
            box->setEscapeButton(button);
        }
    }
    return box;
}

int MessageBoxAlertPresenter::run(const Alert& alert)
{
    std::unique_ptr<QMessageBox> box = makeAlertBox(alert, QApplication::activeWindow());
    box->exec();
    // A box closed without a button press counts as the default button.
    const auto pressed = box->buttons().indexOf(box->clickedButton());
    return pressed < 0 ? 0 : static_cast<int>(pressed);
}
