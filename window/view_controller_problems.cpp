// The Problems dock of the main window and its View menu item.

#include "window/folders_view.h"
#include "window/problems_view.h"
#include "window/view_controller.h"

#include <QAction>
#include <QDockWidget>
#include <QMenu>

void ViewController::createProblemsView()
{
    problemsDock = new QDockWidget(tr("Open problems"), this);
    problemsDock->setObjectName(QStringLiteral("problemsDock"));
    problemsView =
        new ProblemsView(processingQueue, *alerts_, foldersView->statePath(), problemsDock);
    problemsDock->setWidget(problemsView);
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
