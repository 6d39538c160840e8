// The help window: the manual as one scrolling column of pages.
#pragma once

#include <QString>
#include <QWidget>

class QPdfDocument;
class QPdfView;

// Where the manual is compiled into the program.
inline constexpr char kManualPath[] = ":/QuelbyHelp.pdf";

// The help window, which shows the manual.
class RefViewController : public QWidget
{
    Q_OBJECT

public:
    explicit RefViewController(QString manualPath = QString::fromLatin1(kManualPath),
                               QWidget* parent = nullptr);

    // Null until the window has been shown with a manual in place.
    QPdfDocument* document() const { return thePDFDocument; }
    QPdfView* pdfView() const { return helpPDFView; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void loadManual();

    QString manualPath_;
    QPdfDocument* thePDFDocument = nullptr;
    QPdfView* helpPDFView = nullptr;
};
