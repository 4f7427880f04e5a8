#include "platform.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace Ps::Platform {

// Liberation Sans has Arial's metrics, which Windows' dialog font shares
// closely enough that every caption ends before its progress label. The
// texts placed by pixel take it (labels, and the status bar's one line); the
// buttons keep the desktop's font, whose height fills their row as before.
void useLayoutFont()
{
    const QString family = QStringLiteral("Liberation Sans");
    if (!QFontDatabase().families().contains(family))
        return;
    const QFont font(family, 8);
    QApplication::setFont(font, "QLabel");
    QApplication::setFont(font, "QStatusBar");
}

QString privilegedAccount()
{
    return QStringLiteral("root");
}

} // namespace Ps::Platform
