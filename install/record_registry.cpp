// On Windows: a registry key under HKLM\SOFTWARE, where only administrators
// and SYSTEM may write; a subkey per store, and per certificate one value
// written in one step, so that no fault leaves half an entry.
#include "record_int.h"

#include <QSettings>

namespace Ps {
namespace {

const QString parentKey = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vyr");
const QString ownKey = QStringLiteral("Cert Installer");
const QString addedWord = QStringLiteral("added");
const QString presentWord = QStringLiteral("present before");
// Written with the first entry and never taken away: a key without it is no record.
const QString formatValue = QStringLiteral("Format");

QString keyOf(const RecordEntry &entry)
{
    return storeLabel(entry.certificate.list) + QLatin1Char('/') + entry.certificate.sha1;
}

} // namespace

QString recordLocation()
{
    return QStringLiteral("HKLM\\SOFTWARE\\Vyr\\") + ownKey;
}

std::optional<StoredRecord> readRecord()
{
    QSettings settings(parentKey + QLatin1Char('\\') + ownKey, QSettings::NativeFormat);
    StoredRecord record{settings.contains(formatValue), {}};
    for (const QString &key : settings.allKeys()) {
        if (key == formatValue)
            continue;
        const QStringList value = settings.value(key).toStringList();
        const std::optional<StoreList> list = storeListNamed(key.section(QLatin1Char('/'), 0, 0));
        if (value.size() != 4 || (value[3] != addedWord && value[3] != presentWord) || !list)
            return std::nullopt;
        BundledCertificate certificate;
        certificate.list = *list;
        certificate.sha1 = key.section(QLatin1Char('/'), 1);
        certificate.name = value[0];
        certificate.sha256 = value[1];
        certificate.subject = value[2];
        record.entries.append({certificate, value[3] == addedWord});
    }
    if (settings.status() != QSettings::NoError)
        return std::nullopt;
    return record;
}

bool writeRecord(const QVector<RecordEntry> &entries, const QVector<RecordEntry> &before)
{
    QSettings settings(parentKey + QLatin1Char('\\') + ownKey, QSettings::NativeFormat);
    settings.setValue(formatValue, 1);
    for (const RecordEntry &entry : before) {
        if (std::none_of(entries.cbegin(), entries.cend(),
                         [&entry](const RecordEntry &other) { return entry.sameCertificate(other); }))
            settings.remove(keyOf(entry));
    }
    for (const RecordEntry &entry : entries)
        settings.setValue(keyOf(entry), QStringList{entry.certificate.name, entry.certificate.sha256,
                                                    entry.certificate.subject, entry.added ? addedWord : presentWord});
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace Ps
