#include "window/line_colours.h"

#include <QPalette>
#include <algorithm>
#include <cmath>

namespace {

constexpr double kLeastContrast = 4.5;
// What a control's outline needs against what surrounds it.
constexpr double kLeastFrameContrast = 3.0;

double channelLuminance(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double relativeLuminance(const QColor& colour)
{
    return 0.2126 * channelLuminance(colour.redF()) + 0.7152 * channelLuminance(colour.greenF()) +
           0.0722 * channelLuminance(colour.blueF());
}

double contrast(const QColor& one, const QColor& other)
{
    const double a = relativeLuminance(one);
    const double b = relativeLuminance(other);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

bool isDark(const QColor& colour)
{
    // Judged by luminance, not HSL lightness: a saturated green base is "light" to the eye.
    return contrast(colour, Qt::white) > contrast(colour, Qt::black);
}

// A hue kept at the given HSL hue and saturation, its lightness moved away from the base's.
QColor legibleOn(const QColor& base, int hue, int saturation)
{
    const bool darkBase = isDark(base);
    const int step = darkBase ? 6 : -6;
    int lightness = darkBase ? 170 : 90;
    QColor colour = QColor::fromHsl(hue, saturation, lightness);
    // Whichever of black and white is further from the base reads at 4.5:1 or better on it,
    // so the walk ends at the latest there.
    while (contrast(colour, base) < kLeastContrast && lightness > 0 && lightness < 255) {
        lightness = std::clamp(lightness + step, 0, 255);
        colour = QColor::fromHsl(hue, saturation, lightness);
    }
    return colour.toRgb();
}

} // namespace

LineColours lineColours(const QPalette& palette)
{
    const QColor base = palette.color(QPalette::Base);
    const QColor text = palette.color(QPalette::Text);
    LineColours colours;
    colours[static_cast<std::size_t>(LineKind::failure)] = legibleOn(base, 0, 200);
    colours[static_cast<std::size_t>(LineKind::warning)] = legibleOn(base, 38, 230);
    colours[static_cast<std::size_t>(LineKind::success)] = legibleOn(base, 125, 160);
    colours[static_cast<std::size_t>(LineKind::digest)] = text;
    colours[static_cast<std::size_t>(LineKind::other)] = text;
    return colours;
}

QColor controlFrameColour(const QPalette& palette)
{
    const QColor window = palette.color(QPalette::Window);
    const QColor base = palette.color(QPalette::Base);
    const bool darkWindow = isDark(window);
    const int step = darkWindow ? 4 : -4;
    int lightness = darkWindow ? 110 : 150;
    const auto grey = [&lightness] { return QColor::fromHsl(0, 0, lightness); };
    while ((contrast(grey(), window) < kLeastFrameContrast ||
            contrast(grey(), base) < kLeastFrameContrast) &&
           lightness > 0 && lightness < 255) {
        lightness = std::clamp(lightness + step, 0, 255);
    }
    return grey().toRgb();
}
