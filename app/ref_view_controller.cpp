#include "app/ref_view_controller.h"

#include <QFile>
#include <QPdfDocument>
#include <QPdfView>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>

RefViewController::RefViewController(QString manualPath, QWidget* parent)
    : QWidget(parent), manualPath_(std::move(manualPath))
{
    setWindowTitle(tr("Quelby Help"));
    helpPDFView = new QPdfView(this);
    helpPDFView->setObjectName(QStringLiteral("helpPDFView"));
    helpPDFView->setPageMode(QPdfView::PageMode::MultiPage);
    helpPDFView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(helpPDFView);
    resize(760, 900);
    // A reading window goes as a dialog does: Escape as well as the desktop's Close, and Ctrl+W
    // wherever the desktop's Close is something else.
    QList<QKeySequence> closeKeys = QKeySequence::keyBindings(QKeySequence::Close);
    for (const QKeySequence& key :
         {QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)}) {
        if (!closeKeys.contains(key)) {
            closeKeys.append(key);
        }
    }
    auto* closeShortcut = new QShortcut(this);
    closeShortcut->setKeys(closeKeys);
    connect(closeShortcut, &QShortcut::activated, this, &QWidget::close);
}

void RefViewController::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Restoring a minimised window is no new showing of the manual.
    if (!event->spontaneous()) {
        loadManual();
    }
}

void RefViewController::loadManual()
{
    // A missing manual leaves the window blank; one that can't be read as a
    // PDF gives a document without pages, which shows nothing either.
    if (!QFile::exists(manualPath_)) {
        return;
    }
    auto* fresh = new QPdfDocument(this);
    fresh->load(manualPath_);
    helpPDFView->setDocument(fresh);
    helpPDFView->setPageMode(QPdfView::PageMode::MultiPage);
    helpPDFView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    delete thePDFDocument;
    thePDFDocument = fresh;
}
