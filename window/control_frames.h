#pragma once

// Outlines for the main window's controls. Some styles draw a check box's
// indicator and a field's frame a shade off the window's background, which a
// dark palette turns into nothing; this style draws the style's own control
// and then an outline in controlFrameColour on top.

#include <QProxyStyle>

class ControlFrameStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    // A spin box's frame is drawn as a whole control, not as a field's frame.
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget = nullptr) const override;
};
