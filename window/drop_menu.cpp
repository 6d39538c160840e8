#include "window/drop_menu.h"

#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

QStringList droppedFolders(const QMimeData& data)
{
    QStringList folders;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isDir()) {
            folders.append(url.toLocalFile());
        }
    }
    return folders;
}

QMenu* openDropMenu(QWidget* parent, const QPoint& globalPosition,
                    std::function<void(quelby::Operation)> start)
{
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("dropMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const struct
    {
        quelby::Operation operation;
        const char* name;
        QString text;
    } choices[] = {{quelby::Operation::check, "dropCheck", QObject::tr("&Check")},
                   {quelby::Operation::tag, "dropTag", QObject::tr("&Tag")},
                   {quelby::Operation::retag, "dropRetag", QObject::tr("&Retag")}};
    for (const auto& choice : choices) {
        QAction* action = menu->addAction(choice.text);
        action->setObjectName(QString::fromLatin1(choice.name));
        QObject::connect(action, &QAction::triggered, menu,
                         [start, operation = choice.operation] { start(operation); });
    }
    menu->popup(globalPosition);
    return menu;
}
