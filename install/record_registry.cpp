// On Windows: a registry key under HKLM\SOFTWARE, where only administrators
// and SYSTEM may write; a subkey per store, a value per certificate.
#include "record.h"

#include <QSettings>

namespace Ps {
namespace {

const QString parentKey = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vyr");
const QString ownKey = QStringLiteral("Cert Installer");

} // namespace

QString recordLocation()
{
    return QStringLiteral("HKLM\\SOFTWARE\\Vyr\\") + ownKey;
}

std::unique_ptr<QSettings> openRecordSettings()
{
    return std::make_unique<QSettings>(parentKey + QLatin1Char('\\') + ownKey, QSettings::NativeFormat);
}

bool removeRecordSettings()
{
    QSettings parent(parentKey, QSettings::NativeFormat);
    parent.remove(ownKey);
    parent.sync();
    return parent.status() == QSettings::NoError;
}

} // namespace Ps
