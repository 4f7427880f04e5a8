#include "platform.h"

#include <QApplication>
#include <QFont>

namespace Ps::Platform {

// Liberation Sans has Arial's metrics, which Windows' dialog font shares
// closely enough that every caption ends before its progress label. The
// texts placed by pixel take it (labels, and the status bar's one line); the
// buttons keep the desktop's font, whose height fills their row as before.
// Where the package is missing, fontconfig's nearest match at 8 points still
// fits better than the desktop's default; listing every family to find out
// first would cost the start-up more than the choice is worth.
void useLayoutFont()
{
    const QFont font(QStringLiteral("Liberation Sans"), 8);
    QApplication::setFont(font, "QLabel");
    QApplication::setFont(font, "QStatusBar");
}

QString privilegedAccount()
{
    return QStringLiteral("root");
}

} // namespace Ps::Platform
