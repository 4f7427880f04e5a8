#include "fleet.h"

#include "bundlerules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>

namespace Ps {
namespace {

const QString hostSchema = QStringLiteral("vyr-host-check/1");

const char *const stateNames[hostStateCount] = {"unreachable", "failed", "lacking", "retired", "expiring", "in step"};

QDateTime isoTime(const QJsonValue &value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

HostReport failedDocument(const QString &path, const QString &why)
{
    HostReport report;
    report.host = QFileInfo(path).fileName();
    report.document = report.host;
    report.state = HostState::Failed;
    report.why = why;
    return report;
}

// The state a host's check tells, worst first; its why names what to do.
void judge(HostReport &report, const QJsonObject &check, const FleetOptions &options)
{
    QStringList failed, retired, expiring;
    for (const HostCertificate &certificate : qAsConst(report.certificates)) {
        if (certificate.result == QLatin1String("missing"))
            report.lacking.append(certificate.name);
        else if (certificate.result == QLatin1String("retired"))
            retired.append(certificate.name);
        else if (certificate.result != QLatin1String("present"))
            failed.append(certificate.name + QStringLiteral(": ") + certificate.result);
        if (certificate.dated && certificate.daysLeft <= options.expiryDays && certificate.result != QLatin1String("retired"))
            expiring.append(QStringLiteral("%1 %2 in %3 days (%4)")
                                .arg(certificate.name,
                                     certificate.daysLeft < 0 ? QStringLiteral("expired") : QStringLiteral("expires"))
                                .arg(certificate.daysLeft)
                                .arg(certificate.notAfter.date().toString(Qt::ISODate)));
    }
    const QJsonObject trusted = check.value(QStringLiteral("system_trust_holds")).toObject();
    for (auto it = trusted.begin(); it != trusted.end(); ++it) {
        if (!it.value().toBool())
            report.lacking.append(QStringLiteral("system trust ") + it.key());
    }
    const QJsonObject targets = check.value(QStringLiteral("trust_targets")).toObject();
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        if (!it.value().toBool())
            report.lacking.append(QStringLiteral("trust target ") + it.key());
    }
    if (!failed.isEmpty()) {
        report.state = HostState::Failed;
        report.why = QStringLiteral("the check failed: ") + failed.join(QStringLiteral(", "));
    } else if (!report.lacking.isEmpty()) {
        report.state = HostState::Lacking;
        report.why = QStringLiteral("lacks ") + report.lacking.join(QStringLiteral(", "));
    } else if (!retired.isEmpty()) {
        report.state = HostState::Retired;
        report.why = QStringLiteral("still trusts retired ") + retired.join(QStringLiteral(", "));
    } else if (!expiring.isEmpty()) {
        report.state = HostState::Expiring;
        report.why = expiring.join(QStringLiteral(", "));
    } else {
        report.state = HostState::InStep;
    }
}

QVector<HostCertificate> certificatesOf(const QJsonArray &array, bool *whole)
{
    QVector<HostCertificate> certificates;
    *whole = true;
    for (const QJsonValue &value : array) {
        const QJsonObject entry = value.toObject();
        HostCertificate certificate{entry.value(QStringLiteral("store")).toString(),
                                    entry.value(QStringLiteral("name")).toString(),
                                    entry.value(QStringLiteral("thumbprint")).toString(),
                                    entry.value(QStringLiteral("result")).toString(),
                                    isoTime(entry.value(QStringLiteral("not_after"))),
                                    entry.value(QStringLiteral("days_left")).toVariant().toLongLong(),
                                    false};
        certificate.dated = certificate.notAfter.isValid() && entry.value(QStringLiteral("days_left")).isDouble();
        if (certificate.name.isEmpty() || certificate.result.isEmpty())
            *whole = false;
        certificates.append(certificate);
    }
    return certificates;
}

// What an earlier report said of its hosts, read back from its fleet.json.
QHash<QString, HostReport> previousHosts(const QString &folder)
{
    QHash<QString, HostReport> hosts;
    if (folder.isEmpty())
        return hosts;
    QFile file(QDir(folder).filePath(QStringLiteral("fleet.json")));
    if (!file.open(QIODevice::ReadOnly))
        return hosts;
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue &value : report.value(QStringLiteral("hosts")).toArray()) {
        const QJsonObject entry = value.toObject();
        HostReport host;
        host.host = entry.value(QStringLiteral("host")).toString();
        host.checkedAt = isoTime(entry.value(QStringLiteral("checked_at")));
        host.why = entry.value(QStringLiteral("why")).toString();
        host.document = entry.value(QStringLiteral("document")).toString();
        host.version = entry.value(QStringLiteral("version")).toString();
        for (const QJsonValue &lacking : entry.value(QStringLiteral("lacking")).toArray())
            host.lacking.append(lacking.toString());
        bool whole = false;
        host.certificates = certificatesOf(entry.value(QStringLiteral("certificates")).toArray(), &whole);
        if (!host.host.isEmpty() && host.checkedAt.isValid()
            && hostStateNamed(entry.value(QStringLiteral("state")).toString(), &host.state))
            hosts.insert(host.host, host);
    }
    return hosts;
}

} // namespace

QString hostStateName(HostState state)
{
    return QString::fromLatin1(stateNames[int(state)]);
}

bool hostStateNamed(const QString &name, HostState *state)
{
    for (int i = 0; i < hostStateCount; ++i) {
        if (name == QLatin1String(stateNames[i])) {
            *state = HostState(i);
            return true;
        }
    }
    return false;
}

qint64 HostReport::earliestDaysLeft() const
{
    qint64 earliest = std::numeric_limits<qint64>::max();
    for (const HostCertificate &certificate : certificates) {
        if (certificate.dated)
            earliest = std::min(earliest, certificate.daysLeft);
    }
    return earliest;
}

int Fleet::count(HostState state) const
{
    return int(std::count_if(hosts.cbegin(), hosts.cend(), [state](const HostReport &host) { return host.state == state; }));
}

int Fleet::exitCode() const
{
    if (count(HostState::Unreachable) + count(HostState::Failed) > 0)
        return 3;
    if (count(HostState::Lacking) + count(HostState::Retired) > 0)
        return 2;
    return count(HostState::Expiring) > 0 ? 1 : 0;
}

HostReport readHostDocument(const QString &path, const FleetOptions &options)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failedDocument(path, QStringLiteral("the document could not be read: ") + file.errorString());
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return failedDocument(path, QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return failedDocument(path, QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    const QString schema = object.value(QStringLiteral("schema")).toString();
    if (schema != hostSchema)
        return failedDocument(path, QStringLiteral("unknown schema '%1' (expected '%2')").arg(schema, hostSchema));
    const QString host = object.value(QStringLiteral("host")).toString();
    // The host names files and rows: a path or an empty name is no host.
    if (!BundleRules::isBareFileName(host))
        return failedDocument(path, QStringLiteral("the host name '%1' is not a bare file name").arg(host));
    HostReport report;
    report.host = host;
    report.document = QFileInfo(path).fileName();
    report.checkedAt = isoTime(object.value(QStringLiteral("checked_at")));
    report.version = object.value(QStringLiteral("version")).toString();
    if (!report.checkedAt.isValid()) {
        report.why = QStringLiteral("checked_at is not an ISO 8601 time");
        return report;
    }
    const QString kind = object.value(QStringLiteral("error")).toString();
    if (object.contains(QStringLiteral("error"))) {
        report.state = kind == QLatin1String("unreachable") ? HostState::Unreachable : HostState::Failed;
        report.why = object.value(QStringLiteral("message")).toString();
        if (report.why.isEmpty())
            report.why = kind;
        return report;
    }
    bool whole = false;
    report.certificates = certificatesOf(object.value(QStringLiteral("certificates")).toArray(), &whole);
    if (object.value(QStringLiteral("verb")).toString() != QLatin1String("check") || report.certificates.isEmpty() || !whole) {
        report.why = QStringLiteral("not what --check --json prints (a verb \"check\" and its certificates)");
        return report;
    }
    judge(report, object, options);
    return report;
}

Fleet buildFleet(const QString &folder, const QString &previousReport, const FleetOptions &options)
{
    Fleet fleet;
    fleet.generated = options.now;
    fleet.scope = options.scope;
    fleet.expiryDays = options.expiryDays;
    QHash<QString, HostReport> previous = previousHosts(previousReport);
    QHash<QString, int> index;
    const QStringList documents =
        QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable | QDir::Hidden, QDir::Name);
    for (const QString &name : documents) {
        if (name == QLatin1String("fleet.json"))
            continue;
        HostReport report = readHostDocument(QDir(folder).filePath(name), options);
        const auto known = previous.constFind(report.host);
        if (known != previous.cend() && report.checkedAt.isValid() && known->checkedAt > report.checkedAt) {
            report = *known;
            report.lastKnown = true;
        }
        previous.remove(report.host);
        // One host, two documents: the newer one speaks.
        const auto seen = index.constFind(report.host);
        if (seen == index.cend()) {
            index.insert(report.host, fleet.hosts.size());
            fleet.hosts.append(report);
        } else if (report.checkedAt > fleet.hosts[*seen].checkedAt) {
            fleet.hosts[*seen] = report;
        }
    }
    for (HostReport &known : previous) {
        known.lastKnown = true;
        fleet.hosts.append(known);
    }
    std::sort(fleet.hosts.begin(), fleet.hosts.end(), [](const HostReport &a, const HostReport &b) {
        if (a.state != b.state)
            return a.state < b.state;
        if (a.earliestDaysLeft() != b.earliestDaysLeft())
            return a.earliestDaysLeft() < b.earliestDaysLeft();
        return a.host < b.host;
    });
    QHash<QString, int> versions;
    for (const HostReport &host : qAsConst(fleet.hosts)) {
        if (!host.version.isEmpty())
            ++versions[host.version];
    }
    QStringList byUse = versions.keys();
    std::sort(byUse.begin(), byUse.end(), [&versions](const QString &a, const QString &b) {
        return versions[a] != versions[b] ? versions[a] > versions[b] : a < b;
    });
    fleet.release = byUse.join(QStringLiteral(", "));
    return fleet;
}

} // namespace Ps
