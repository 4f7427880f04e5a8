#include "platform.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace Ps::Platform {

// Liberation Sans has Arial's metrics, which Windows' dialog font shares
// closely enough that every caption ends before its progress label.
void useLayoutFont()
{
    const QString family = QStringLiteral("Liberation Sans");
    if (QFontDatabase().families().contains(family))
        QApplication::setFont(QFont(family, 8));
}

QString privilegedAccount()
{
    return QStringLiteral("root");
}

} // namespace Ps::Platform
