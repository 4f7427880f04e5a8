// Off Windows: one file in the state folder above the store root, replaced
// whole at each change (QSettings writes through QSaveFile), so that a
// package's purge, which knows nothing of it, leaves it.
#include "record.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace Ps {

QString recordLocation()
{
    return QFileInfo(QStringLiteral(VYR_STORE_ROOT)).path() + QStringLiteral("/record.ini");
}

std::unique_ptr<QSettings> openRecordSettings()
{
    return std::make_unique<QSettings>(recordLocation(), QSettings::IniFormat);
}

bool removeRecordSettings()
{
    return QFile::remove(recordLocation()) || !QFileInfo::exists(recordLocation());
}

} // namespace Ps
