// The Problems dock of the main window and its View menu item.

#include "engine/text/display_text.h"
#include "window/folder_chooser.h"
#include "window/folders_view.h"
#include "window/problems_view.h"
#include "window/view_controller.h"

#include <QAction>
#include <QDesktopServices>
#include <QDockWidget>
#include <QFileDialog>
#include <QMenu>
#include <QUrl>

void ViewController::createProblemsView()
{
    problemsDock = new QDockWidget(tr("Open problems"), this);
    problemsDock->setObjectName(QStringLiteral("problemsDock"));
    problemsView =
        new ProblemsView(processingQueue, *alerts_, foldersView->statePath(), problemsDock);
    problemsDock->setWidget(problemsView);
    problemsView->setCopyChooser([this] {
        QFileDialog* chooser = makeFolderChooser(this, FolderChoice::copyToRepairFrom, copyFolder_);
        chooser->setObjectName(QStringLiteral("copyChooser"));
        const bool chosen = chooser->exec() == QDialog::Accepted;
        const QString copy = chosen ? chooser->selectedFiles().value(0) : QString();
        delete chooser;
        if (!copy.isEmpty()) {
            copyFolder_ = copy;
        }
        return copy;
    });
    openFolder_ = [](const QUrl& folder) { return QDesktopServices::openUrl(folder); };
    // Without a file manager the press would seem to do nothing at all.
    problemsView->setFolderOpener([this](const QUrl& folder) {
        if (openFolder_(folder)) {
            return;
        }
        const QString path = QString::fromStdString(quelby::withInvalidUtf8Escaped(
            QByteArray::fromPercentEncoding(folder.path(QUrl::FullyEncoded).toLatin1())
                .toStdString()));
        alerts_->run(Alert{Alert::Style::informational,
                           tr("No file manager could open %1").arg(path),
                           tr("Open the folder in a file manager of your own, or install one "
                              "that the desktop offers for folders."),
                           {tr("OK")}});
    });
    addDockWidget(Qt::BottomDockWidgetArea, problemsDock);
    resizeDocks({problemsDock}, {fontMetrics().height() * 10}, Qt::Vertical);
    problemsDock->setVisible(problemsView->problemCount() > 0);

    QAction* showProblems = problemsDock->toggleViewAction();
    showProblems->setText(tr("Show Problems"));
    showProblems->setObjectName(QStringLiteral("actionShowProblems"));
    showProblems->setToolTip(tr("Show the files scrubs found damaged or unreadable"));
    // Shown again, the list is read again: a scrub may have run meanwhile.
    connect(problemsDock, &QDockWidget::visibilityChanged, problemsView, [this](bool visible) {
        if (visible) {
            problemsView->refresh();
        }
    });
    findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(showProblems);
    connect(problemsView, &ProblemsView::reportReady, this,
            [this](const KindedText& reportText) { setReportText(reportText); });
    // A problem closed here, or by a run, changes its folder's count.
    connect(problemsView, &ProblemsView::refreshed, foldersView, &FoldersView::refresh);
}
