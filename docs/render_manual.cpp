// Renders the manual's HTML to a PDF at build time:
//   quelby_render_manual manual.html QuelbyHelp.pdf
// The file is written whole or not at all, so a failed run never leaves a
// truncated manual for the build to pick up.
#include <QFile>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: quelby_render_manual MANUAL.html OUTPUT.pdf\n");
        return 2;
    }

    QFile source(QString::fromLocal8Bit(argv[1]));
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "quelby_render_manual: %s: %s\n", argv[1],
                     qPrintable(source.errorString()));
        return 1;
    }
    const QString html = QString::fromUtf8(source.readAll());

    QSaveFile output(QString::fromLocal8Bit(argv[2]));
    if (!output.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "quelby_render_manual: %s: %s\n", argv[2],
                     qPrintable(output.errorString()));
        return 1;
    }
    {
        QPdfWriter writer(&output);
        writer.setTitle(QStringLiteral("Quelby Help"));
        writer.setCreator(QStringLiteral("Quelby"));
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(18, 16, 18, 16), QPageLayout::Millimeter));

        QTextDocument manual;
        QFont bodyFont(QStringLiteral("DejaVu Sans"));
        bodyFont.setPointSizeF(10.5);
        manual.setDefaultFont(bodyFont);
        manual.setHtml(html);
        manual.print(&writer);
    }
    if (!output.commit()) {
        std::fprintf(stderr, "quelby_render_manual: %s: %s\n", argv[2],
                     qPrintable(output.errorString()));
        return 1;
    }
    return 0;
}
