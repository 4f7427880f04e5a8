#include "platform.h"

#include <QApplication>

namespace Ps::Platform {

// The form is placed in pixels; Qt 5 sizes fonts by the screen's dpi but
// leaves such a layout in device pixels, so above 100 % the texts outgrow
// it. Scaled, the pixels are logical and the window grows as a whole, at
// 125 and 150 % too rather than rounded to 1 or 2.
void scaleWithDisplay()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

} // namespace Ps::Platform
