// Off Windows: one JSON file in the state folder above the store root, which
// a package's purge knows nothing of, replaced whole at each change.
#include "record_int.h"

#include "filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <sys/stat.h>

namespace Ps {

QString recordLocation()
{
    return QFileInfo(QStringLiteral(VYR_STORE_ROOT)).path() + QStringLiteral("/record.json");
}

std::optional<StoredRecord> readRecord()
{
    // Only a record that is surely not there is none: a failing look at it
    // must not make the next removal take what was there before.
    struct stat status;
    if (stat(QFile::encodeName(recordLocation()).constData(), &status) != 0)
        return errno == ENOENT ? std::optional<StoredRecord>(StoredRecord()) : std::nullopt;
    QFile file(recordLocation());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (file.error() != QFileDevice::NoError || error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    StoredRecord record{true, {}};
    for (const QJsonValue &value : document.object().value(QStringLiteral("certificates")).toArray()) {
        const QJsonObject entry = value.toObject();
        const QJsonValue added = entry.value(QStringLiteral("added"));
        const std::optional<StoreList> list = storeListNamed(entry.value(QStringLiteral("store")).toString());
        if (!added.isBool() || !list)
            return std::nullopt;
        BundledCertificate certificate;
        certificate.list = *list;
        certificate.sha1 = entry.value(QStringLiteral("sha1")).toString();
        certificate.sha256 = entry.value(QStringLiteral("sha256")).toString();
        certificate.name = entry.value(QStringLiteral("name")).toString();
        certificate.subject = entry.value(QStringLiteral("subject")).toString();
        record.entries.append({certificate, added.toBool()});
    }
    return record;
}

bool writeRecord(const QVector<RecordEntry> &entries, const QVector<RecordEntry> &)
{
    QJsonArray certificates;
    for (const RecordEntry &entry : entries) {
        const BundledCertificate &certificate = entry.certificate;
        certificates.append(QJsonObject{{QStringLiteral("store"), storeLabel(certificate.list)},
                                        {QStringLiteral("sha1"), certificate.sha1},
                                        {QStringLiteral("sha256"), certificate.sha256},
                                        {QStringLiteral("name"), certificate.name},
                                        {QStringLiteral("subject"), certificate.subject},
                                        {QStringLiteral("added"), entry.added}});
    }
    // The state folder may not exist yet: the record is written before the
    // first certificate.
    return writeIfDifferent(recordLocation(), QJsonDocument(QJsonObject{{QStringLiteral("certificates"), certificates}}).toJson())
           != Write::Failed;
}

} // namespace Ps
