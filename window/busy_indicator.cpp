#include "window/busy_indicator.h"

#include <QAccessible>
#include <QPainter>

#include <cmath>

namespace {
constexpr int kSpokes = 12;
}

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent)
{
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % kSpokes;
        update();
    });
    setAccessibleName(tr("Activity"));
    setAccessibleDescription(tr("Idle"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BusyIndicator::startAnimation()
{
    timer_.start();
    setAccessibleDescription(tr("A run is under way"));
    setToolTip(tr("A run is under way"));
}

void BusyIndicator::stopAnimation()
{
    timer_.stop();
    setAccessibleDescription(tr("Idle"));
    setToolTip({});
}

QSize BusyIndicator::sizeHint() const
{
    const int side = fontMetrics().height() + 6;
    return {side, side};
}

void BusyIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    const QColor base = palette().color(QPalette::WindowText);
    QPen pen;
    pen.setWidthF(std::max(1.5, side / 10.0));
    pen.setCapStyle(Qt::RoundCap);
    for (int spoke = 0; spoke < kSpokes; ++spoke) {
        QColor colour = base;
        const int age = (step_ - spoke + kSpokes) % kSpokes;
        colour.setAlphaF(static_cast<float>(1.0 - 0.8 * age / kSpokes));
        pen.setColor(colour);
        painter.setPen(pen);
        painter.save();
        painter.rotate(360.0 * spoke / kSpokes);
        painter.drawLine(QPointF(0, side * 0.22), QPointF(0, side * 0.44));
        painter.restore();
    }
}
