#include "hostcheck.h"

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>

namespace Ps::HostCheck {
namespace {

const QString keySchema = QStringLiteral("schema"), keyHost = QStringLiteral("host"),
              keyCheckedAt = QStringLiteral("checked_at"), keyVersion = QStringLiteral("version"),
              keyError = QStringLiteral("error"), keyMessage = QStringLiteral("message"), keyVerb = QStringLiteral("verb"),
              keyCertificates = QStringLiteral("certificates"), keySummary = QStringLiteral("summary"),
              keyExitCode = QStringLiteral("exit_code"), keyRecord = QStringLiteral("record"),
              keySystemTrust = QStringLiteral("system_trust"), keyTargetsFailed = QStringLiteral("trust_targets_failed"),
              keyTargets = QStringLiteral("trust_targets"), keyHolds = QStringLiteral("system_trust_holds"),
              keyStore = QStringLiteral("store"), keyName = QStringLiteral("name"),
              keyThumbprint = QStringLiteral("thumbprint"), keyResult = QStringLiteral("result"),
              keyReason = QStringLiteral("reason"), keyNotAfter = QStringLiteral("not_after"),
              keyDaysLeft = QStringLiteral("days_left"), keyVouchesFor = QStringLiteral("vouches_for"),
              keyPermitted = QStringLiteral("permitted"), keyExcluded = QStringLiteral("excluded"),
              keyChannel = QStringLiteral("channel"), keySource = QStringLiteral("source"),
              keyRefreshed = QStringLiteral("refreshed_at"), keyTrustVersion = QStringLiteral("vyr_ca_trust"),
              keyKeyringVersion = QStringLiteral("vyr_archive_keyring");

QString isoText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

// An ISO 8601 time with its zone; one without is no time at all, since a
// reader elsewhere would take it in its own zone.
QDateTime isoTime(const QJsonValue &value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() && time.timeSpec() != Qt::LocalTime ? time.toUTC() : QDateTime();
}

template <typename Value>
QJsonObject objectOf(const QMap<QString, Value> &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// A whole number of days that fits: anything else a host wrote is not its count.
std::optional<qint64> wholeDays(const QJsonValue &value)
{
    const double days = value.toDouble(std::nan(""));
    if (!std::isfinite(days) || std::floor(days) != days || std::fabs(days) > 1e9)
        return std::nullopt;
    return qint64(days);
}

// "any", or {"permitted": [...], "excluded": [...]}.
QJsonValue scopeJson(const NameScope &scope)
{
    if (scope.any)
        return QStringLiteral("any");
    return QJsonObject{{keyPermitted, QJsonArray::fromStringList(scope.permitted)},
                       {keyExcluded, QJsonArray::fromStringList(scope.excluded)}};
}

std::optional<QStringList> stringsOf(const QJsonValue &value)
{
    QStringList strings;
    for (const QJsonValue &entry : value.toArray()) {
        if (!entry.isString())
            return std::nullopt;
        strings.append(entry.toString());
    }
    return value.isArray() ? std::optional<QStringList>(strings) : std::nullopt;
}

std::optional<NameScope> scopeOf(const QJsonValue &value)
{
    if (value.toString() == QLatin1String("any"))
        return NameScope{};
    const std::optional<QStringList> permitted = stringsOf(value[keyPermitted]);
    const std::optional<QStringList> excluded = stringsOf(value[keyExcluded]);
    if (!value.isObject() || !permitted || !excluded)
        return std::nullopt;
    return NameScope{false, *permitted, *excluded};
}

} // namespace

QJsonObject toJson(const Document &document)
{
    QJsonObject object;
    const auto text = [&object](const QString &key, const QString &value) {
        if (!value.isEmpty())
            object.insert(key, value);
    };
    if (!document.host.isEmpty())
        object.insert(keySchema, schema);
    text(keyHost, document.host);
    if (document.checkedAt.isValid())
        object.insert(keyCheckedAt, isoText(document.checkedAt));
    text(keyVersion, document.version);
    text(keyError, document.error);
    text(keyMessage, document.message);
    if (!document.error.isEmpty())
        return object;
    QJsonArray certificates;
    for (const Certificate &certificate : document.certificates) {
        QJsonObject entry{{keyStore, certificate.store},
                          {keyName, certificate.name},
                          {keyThumbprint, certificate.thumbprint},
                          {keyResult, certificate.result}};
        if (!certificate.reason.isEmpty())
            entry.insert(keyReason, certificate.reason);
        if (certificate.notAfter.isValid()) {
            entry.insert(keyNotAfter, isoText(certificate.notAfter));
            entry.insert(keyDaysLeft, certificate.daysLeft);
        }
        if (certificate.vouchesFor)
            entry.insert(keyVouchesFor, scopeJson(*certificate.vouchesFor));
        certificates.append(entry);
    }
    object.insert(keyVerb, document.verb);
    object.insert(keyCertificates, certificates);
    object.insert(keySummary, document.summary);
    if (document.exitCode)
        object.insert(keyExitCode, *document.exitCode);
    text(keyRecord, document.record);
    text(keySystemTrust, document.systemTrust);
    if (!document.trustTargetsFailed.isEmpty())
        object.insert(keyTargetsFailed, objectOf(document.trustTargetsFailed));
    if (!document.trustTargets.isEmpty())
        object.insert(keyTargets, objectOf(document.trustTargets));
    if (!document.systemTrustHolds.isEmpty())
        object.insert(keyHolds, objectOf(document.systemTrustHolds));
    if (const std::optional<Channel> &channel = document.channel) {
        QJsonObject entry{{keySource, channel->source}};
        if (channel->refreshed.isValid())
            entry.insert(keyRefreshed, isoText(channel->refreshed));
        if (!channel->trustVersion.isEmpty())
            entry.insert(keyTrustVersion, channel->trustVersion);
        if (!channel->keyringVersion.isEmpty())
            entry.insert(keyKeyringVersion, channel->keyringVersion);
        object.insert(keyChannel, entry);
    }
    return object;
}

std::optional<Document> fromJson(const QJsonObject &object, QString *why)
{
    const auto none = [why](const QString &reason) {
        *why = reason;
        return std::optional<Document>();
    };
    Document document;
    const QString given = object.value(keySchema).toString();
    if (given != schema)
        return none(QStringLiteral("unknown schema '") + given + QStringLiteral("' (expected '") + schema
                    + QStringLiteral("')"));
    document.host = object.value(keyHost).toString();
    document.checkedAt = isoTime(object.value(keyCheckedAt));
    document.version = object.value(keyVersion).toString();
    if (!document.checkedAt.isValid())
        return none(QStringLiteral("checked_at is not an ISO 8601 time with its zone"));
    if (object.contains(keyError)) {
        document.error = object.value(keyError).toString();
        if (document.error != QLatin1String("unreachable"))
            document.error = QStringLiteral("failed");
        document.message = object.value(keyMessage).toString();
        return document;
    }
    const QString notACheck = QStringLiteral("not what --check --json prints (a verb \"check\", its certificates "
                                             "and its exit code)");
    document.verb = object.value(keyVerb).toString();
    const QJsonValue exitCode = object.value(keyExitCode);
    if (document.verb != QLatin1String("check") || !exitCode.isDouble() || exitCode.toDouble() != exitCode.toInt())
        return none(notACheck);
    document.exitCode = exitCode.toInt();
    for (const QJsonValue &value : object.value(keyCertificates).toArray()) {
        const QJsonObject entry = value.toObject();
        Certificate certificate{entry.value(keyStore).toString(),  entry.value(keyName).toString(),
                                entry.value(keyThumbprint).toString(), entry.value(keyResult).toString(),
                                entry.value(keyReason).toString(), QDateTime(), 0, std::nullopt};
        if (certificate.name.isEmpty() || certificate.result.isEmpty())
            return none(notACheck);
        if (entry.contains(keyNotAfter)) {
            certificate.notAfter = isoTime(entry.value(keyNotAfter));
            const std::optional<qint64> days = wholeDays(entry.value(keyDaysLeft));
            if (!certificate.notAfter.isValid() || !days)
                return none(certificate.name + QStringLiteral(": not_after and days_left are not a time and a whole number of days"));
            certificate.daysLeft = *days;
        }
        if (entry.contains(keyVouchesFor)) {
            certificate.vouchesFor = scopeOf(entry.value(keyVouchesFor));
            if (!certificate.vouchesFor)
                return none(certificate.name + QStringLiteral(": vouches_for is neither \"any\" nor permitted and excluded names"));
        }
        document.certificates.append(certificate);
    }
    if (document.certificates.isEmpty())
        return none(notACheck);
    document.summary = object.value(keySummary).toString();
    document.record = object.value(keyRecord).toString();
    document.systemTrust = object.value(keySystemTrust).toString();
    const QJsonObject failed = object.value(keyTargetsFailed).toObject();
    for (auto it = failed.begin(); it != failed.end(); ++it)
        document.trustTargetsFailed.insert(it.key(), it.value().toString());
    const QJsonObject targets = object.value(keyTargets).toObject();
    for (auto it = targets.begin(); it != targets.end(); ++it)
        document.trustTargets.insert(it.key(), it.value().toBool());
    const QJsonObject holds = object.value(keyHolds).toObject();
    for (auto it = holds.begin(); it != holds.end(); ++it)
        document.systemTrustHolds.insert(it.key(), it.value().toBool());
    if (object.contains(keyChannel)) {
        const QJsonObject entry = object.value(keyChannel).toObject();
        Channel channel{entry.value(keySource).toString(), isoTime(entry.value(keyRefreshed)),
                        entry.value(keyTrustVersion).toString(), entry.value(keyKeyringVersion).toString()};
        if (channel.source.isEmpty() || (entry.contains(keyRefreshed) && !channel.refreshed.isValid()))
            return none(QStringLiteral("channel is not a source and an ISO 8601 time with its zone"));
        document.channel = channel;
    }
    return document;
}

} // namespace Ps::HostCheck
