#include "window/control_frames.h"

#include "window/line_colours.h"

#include <QPainter>
#include <QStyleOption>

namespace {

void drawOutline(const QStyleOption& option, QPainter& painter, qreal radius)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(controlFrameColour(option.palette), 1.0));
    painter.setBrush(Qt::NoBrush);
    // Half a pixel in, so that the straight runs of the outline cover whole pixels.
    const QRectF outline = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawRoundedRect(outline, radius, radius);
    painter.restore();
}

} // namespace

void ControlFrameStyle::drawComplexControl(ComplexControl control,
                                           const QStyleOptionComplex* option, QPainter* painter,
                                           const QWidget* widget) const
{
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    if (control == CC_SpinBox && option != nullptr && painter != nullptr) {
        drawOutline(*option, *painter, 2.0);
    }
}

void ControlFrameStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                      QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    const bool outlined = element == PE_IndicatorCheckBox || element == PE_FrameLineEdit ||
                          element == PE_PanelButtonCommand;
    if (!outlined || option == nullptr || painter == nullptr) {
        return;
    }
    drawOutline(*option, *painter, element == PE_IndicatorCheckBox ? 1.0 : 2.0);
}
