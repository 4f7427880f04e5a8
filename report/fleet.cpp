#include "fleet.h"

#include "bundlerules.h"
#include "fleetfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace Ps {
namespace {

namespace Result = HostCheck::Result;

const char *const stateNames[hostStateCount] = {"unreachable", "failed", "stale",    "lacking",
                                                "retired",     "channel quiet", "expiring", "in step"};

HostReport failedDocument(const QString &path, const QString &why)
{
    HostReport report;
    report.host = QFileInfo(path).fileName();
    report.document = report.host;
    report.state = HostState::Failed;
    report.why = why;
    return report;
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("no regular file");
}

// The file's bytes, or why there are none: a link is never followed (a link
// to a FIFO would hang the report, one to a device fill its memory), nothing
// but a regular file is read, and never more than the cap.
std::optional<QByteArray> readDocumentBytes(const QString &path, qint64 cap, QString *why)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP ? QStringLiteral("a link, not followed")
                              : QStringLiteral("the document could not be read: ") + QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    QFile file;
    struct stat status{};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = QStringLiteral("not a document: ") + kindOf(status.st_mode);
        file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
        return std::nullopt;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *why = QStringLiteral("the document could not be read: ") + file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.read(cap + 1);
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("the document could not be read: ") + file.errorString();
        return std::nullopt;
    }
    if (bytes.size() > cap) {
        *why = QStringLiteral("larger than ") + QString::number(cap) + QStringLiteral(" bytes: no host's check");
        return std::nullopt;
    }
    return bytes;
}

std::optional<QJsonObject> readObject(const QString &path, qint64 cap, QString *why)
{
    const std::optional<QByteArray> bytes = readDocumentBytes(path, cap, why);
    if (!bytes)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        *why = QStringLiteral("not JSON: ") + error.errorString() + QStringLiteral(" at byte ") + QString::number(error.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *why = QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return document.object();
}

// Whole days until the time, by the report's clock; negative once it passed.
qint64 daysUntil(const QDateTime &now, const QDateTime &time)
{
    const qint64 seconds = now.secsTo(time);
    return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

void countDays(QVector<HostCertificate> &certificates, const QDateTime &now)
{
    for (HostCertificate &certificate : certificates) {
        if (certificate.notAfter.isValid())
            certificate.daysLeft = daysUntil(now, certificate.notAfter);
    }
}

// The certificates the host still needs that end within the band, for its why.
QStringList expiringOf(const HostReport &report, const FleetOptions &options)
{
    QStringList expiring;
    for (const HostCertificate &certificate : report.certificates) {
        if (certificate.notAfter.isValid() && certificate.daysLeft <= options.expiryDays && certificate.result != Result::retired)
            expiring.append(certificate.name + (certificate.daysLeft < 0 ? QStringLiteral(" expired in ") : QStringLiteral(" expires in "))
                            + QString::number(certificate.daysLeft) + QStringLiteral(" days (")
                            + certificate.notAfter.date().toString(Qt::ISODate) + QLatin1Char(')'));
    }
    return expiring;
}

// What is wrong with a host's channel, or nothing: its lists are older than
// the limit by the report's clock (or were never fetched).
QString quietChannel(const std::optional<HostCheck::Channel> &channel, const FleetOptions &options)
{
    if (!channel)
        return QString();
    const QString look = QStringLiteral("; look at apt-get update there (a signing key it lacks, a proxy, the source's URL)");
    if (!channel->refreshed.isValid())
        return QStringLiteral("its lists of ") + channel->source + QStringLiteral(" were never fetched") + look;
    if (channel->refreshed.daysTo(options.now) <= options.channelDays)
        return QString();
    return QStringLiteral("its lists of ") + channel->source + QStringLiteral(" were last refreshed ")
           + ageText(channel->refreshed, options.now) + QStringLiteral(" ago (more than ")
           + QString::number(options.channelDays) + QStringLiteral(" days)") + look;
}

// The state a host's check tells, worst first; its why names what to do.
void judge(HostReport &report, const HostCheck::Document &check, const FleetOptions &options)
{
    QStringList failed, retired;
    for (const HostCertificate &certificate : qAsConst(report.certificates)) {
        if (certificate.result == Result::missing)
            report.lacking.append(certificate.name);
        else if (certificate.result == Result::retired)
            retired.append(certificate.name);
        else if (certificate.result != Result::present)
            failed.append(certificate.name + QStringLiteral(": ")
                          + (certificate.reason.isEmpty() ? certificate.result : certificate.reason));
    }
    for (auto it = check.systemTrustHolds.cbegin(); it != check.systemTrustHolds.cend(); ++it) {
        if (!it.value())
            report.lacking.append(QStringLiteral("system trust ") + it.key());
    }
    for (auto it = check.trustTargets.cbegin(); it != check.trustTargets.cend(); ++it) {
        if (!it.value())
            report.lacking.append(QStringLiteral("trust target ") + it.key());
    }
    const QStringList expiring = expiringOf(report, options);
    if (!failed.isEmpty()) {
        report.state = HostState::Failed;
        report.why = QStringLiteral("the check failed: ") + failed.join(QStringLiteral(", "));
    } else if (!report.lacking.isEmpty()) {
        report.state = HostState::Lacking;
        report.why = QStringLiteral("lacks ") + report.lacking.join(QStringLiteral(", "));
    } else if (!retired.isEmpty()) {
        report.state = HostState::Retired;
        report.why = QStringLiteral("still trusts retired ") + retired.join(QStringLiteral(", "));
    } else if (check.exitCode != 0) {
        // The host's own verdict stands even where its certificates look right.
        report.state = HostState::Failed;
        report.why = QStringLiteral("its own check exited ") + QString::number(check.exitCode.value_or(-1))
                     + QStringLiteral(": ") + (check.record.isEmpty() ? check.summary : check.record);
    } else if (const QString quiet = quietChannel(check.channel, options); !quiet.isEmpty()) {
        report.state = HostState::ChannelQuiet;
        report.why = quiet;
    } else if (!expiring.isEmpty()) {
        report.state = HostState::Expiring;
        report.why = expiring.join(QStringLiteral(", "));
    } else {
        report.state = HostState::InStep;
    }
}

bool inFuture(const QDateTime &time, const FleetOptions &options)
{
    return options.now.secsTo(time) > options.skewSeconds;
}

QString futureWhy(const QDateTime &time, const FleetOptions &options)
{
    return QStringLiteral("dated ") + time.toString(Qt::ISODate) + QStringLiteral(", ahead of this report's clock (")
           + options.now.toString(Qt::ISODate) + QStringLiteral(") by more than ") + QString::number(options.skewSeconds)
           + QStringLiteral(" s");
}

// Every host holds the same few certificates: one copy of each text is
// what keeps a fleet of 100,000 in memory.
void shareTexts(HostReport &report)
{
    static thread_local QSet<QString> texts;
    const auto shared = [](QString &text) { text = *texts.insert(text); };
    for (HostCertificate &certificate : report.certificates) {
        shared(certificate.store);
        shared(certificate.name);
        shared(certificate.thumbprint);
        shared(certificate.result);
        shared(certificate.reason);
    }
    shared(report.version);
    shared(report.keyring);
}

} // namespace

std::optional<KnownHost> knownHost(const QJsonObject &entry, const FleetOptions &options)
{
    KnownHost known;
    HostReport &host = known.report;
    host.host = entry.value(QStringLiteral("host")).toString();
    host.checkedAt = QDateTime::fromString(entry.value(QStringLiteral("checked_at")).toString(), Qt::ISODate).toUTC();
    host.why = entry.value(QStringLiteral("why")).toString();
    host.document = entry.value(QStringLiteral("document")).toString();
    host.version = entry.value(QStringLiteral("version")).toString();
    host.keyring = entry.value(QStringLiteral("keyring")).toString();
    host.outOfStepSince = QDateTime::fromString(entry.value(QStringLiteral("out_of_step_since")).toString(), Qt::ISODate).toUTC();
    if (!host.outOfStepSince.isValid() && entry.value(QStringLiteral("state")).toString() != hostStateName(HostState::InStep))
        host.outOfStepSince = host.checkedAt;
    for (const QJsonValue &lacking : entry.value(QStringLiteral("lacking")).toArray())
        host.lacking.append(lacking.toString());
    for (const QJsonValue &certificate : entry.value(QStringLiteral("certificates")).toArray()) {
        const QJsonObject c = certificate.toObject();
        host.certificates.append({c.value(QStringLiteral("store")).toString(), c.value(QStringLiteral("name")).toString(),
                                  c.value(QStringLiteral("thumbprint")).toString(),
                                  c.value(QStringLiteral("result")).toString(),
                                  c.value(QStringLiteral("reason")).toString(),
                                  QDateTime::fromString(c.value(QStringLiteral("not_after")).toString(), Qt::ISODate).toUTC(), 0, std::nullopt});
    }
    countDays(host.certificates, options.now);
    shareTexts(host);
    if (!BundleRules::isBareFileName(host.host) || !host.checkedAt.isValid()
        || !hostStateNamed(entry.value(QStringLiteral("state")).toString(), &host.state))
        return std::nullopt;
    return known;
}

// What an earlier report said of its hosts, read back from its fleet.json.
KnownHosts previousHosts(const QString &folder, const FleetOptions &options, QString *why)
{
    KnownHosts hosts;
    if (folder.isEmpty())
        return hosts;
    const QString path = QDir(folder).filePath(QStringLiteral("fleet.json"));
    const std::optional<QJsonObject> report = readObject(path, std::numeric_limits<int>::max() / 2, why);
    if (!report)
        return hosts;
    if (report->value(QStringLiteral("schema")).toString() != fleetSchema) {
        *why = QStringLiteral("not a fleet report");
        return hosts;
    }
    why->clear();
    for (const QJsonValue &value : report->value(QStringLiteral("hosts")).toArray()) {
        if (std::optional<KnownHost> known = knownHost(value.toObject(), options))
            hosts.insert(known->report.host, *known);
    }
    return hosts;
}

namespace {

// A state older than the limit says nothing of the host today; one that
// holds a certificate that has ended since is expiring by now.
void age(HostReport &host, const FleetOptions &options)
{
    if (host.state == HostState::InStep) {
        const QStringList expiring = expiringOf(host, options);
        if (!expiring.isEmpty()) {
            host.state = HostState::Expiring;
            host.why = expiring.join(QStringLiteral(", "));
        }
    }
    if (host.state <= HostState::Stale || !host.checkedAt.isValid()
        || host.checkedAt.daysTo(options.now) <= options.staleDays)
        return;
    host.why = QStringLiteral("not checked for ") + ageText(host.checkedAt, options.now) + QStringLiteral(" (more than ")
               + QString::number(options.staleDays) + QStringLiteral(" days); then ") + hostStateName(host.state)
               + (host.why.isEmpty() ? QString() : QStringLiteral(": ") + host.why);
    host.state = HostState::Stale;
}

HostReport hostReportOf(const QJsonObject &object, const QString &path, const FleetOptions &options)
{
    QString why;
    const std::optional<HostCheck::Document> check = HostCheck::fromJson(object, &why);
    // The host names files and rows: a path or an empty name is no host.
    const QString host = object.value(QStringLiteral("host")).toString();
    if (object.value(QStringLiteral("schema")).toString() == HostCheck::schema && !BundleRules::isBareFileName(host))
        return failedDocument(path, QStringLiteral("the host name '") + host + QStringLiteral("' is not a bare file name"));
    if (!check)
        return failedDocument(path, why);
    HostReport report;
    report.host = check->host;
    report.document = QFileInfo(path).fileName();
    report.checkedAt = check->checkedAt;
    report.version = check->version;
    if (inFuture(report.checkedAt, options)) {
        report.why = futureWhy(report.checkedAt, options);
        return report;
    }
    if (!check->error.isEmpty()) {
        report.state = check->error == QLatin1String("unreachable") ? HostState::Unreachable : HostState::Failed;
        report.why = check->message.isEmpty() ? check->error : check->message;
        return report;
    }
    if (check->channel)
        report.keyring = check->channel->keyringVersion;
    report.certificates = check->certificates;
    countDays(report.certificates, options.now);
    shareTexts(report);
    judge(report, *check, options);
    return report;
}

bool worseFirst(const HostReport &a, const HostReport &b)
{
    if (a.state != b.state)
        return a.state < b.state;
    if (a.earliestDaysLeft() != b.earliestDaysLeft())
        return a.earliestDaysLeft() < b.earliestDaysLeft();
    return a.host < b.host;
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
        if (certificate.notAfter.isValid())
            earliest = std::min(earliest, certificate.daysLeft);
    }
    return earliest;
}

int Fleet::count(HostState state) const
{
    return int(std::count_if(hosts.cbegin(), hosts.cend(), [state](const HostReport &host) { return host.state == state; }));
}

int reportThreads()
{
    return std::clamp(int(std::thread::hardware_concurrency()), 1, 8);
}

int ReportCounts::total() const
{
    return std::accumulate(counts.cbegin(), counts.cend(), 0);
}

int Fleet::exitCode() const
{
    if (count(HostState::Unreachable) + count(HostState::Failed) + count(HostState::Stale) > 0)
        return 3;
    if (count(HostState::Lacking) + count(HostState::Retired) + count(HostState::ChannelQuiet) > 0)
        return 2;
    return count(HostState::Expiring) > 0 ? 1 : 0;
}

HostReport readHostDocument(const QString &path, const FleetOptions &options)
{
    QString why;
    const std::optional<QJsonObject> object = readObject(path, options.maxDocumentBytes, &why);
    return object ? hostReportOf(*object, path, options) : failedDocument(path, why);
}

Fleet buildFleet(const QString &folder, KnownHosts previous, const FleetOptions &options, const KnownLoader &load)
{
    const auto whole = [&load](const KnownHost &known) -> std::optional<KnownHost> {
        if (!known.partial)
            return known;
        return load ? load(known.report.host) : std::nullopt;
    };
    Fleet fleet;
    fleet.generated = options.now;
    fleet.scope = options.scope;
    fleet.expiryDays = options.expiryDays;
    QHash<QString, QDateTime> outSince;
    for (auto it = previous.cbegin(); it != previous.cend(); ++it) {
        if (it->report.outOfStepSince.isValid() && !inFuture(it->report.checkedAt, options))
            outSince.insert(it.key(), it->report.outOfStepSince);
    }
    QHash<QString, int> index;
    // Names only, sorted here: QDir's own sort looks at each entry's file first.
    QStringList entries;
    for (QDirIterator it(folder, {QStringLiteral("*.json")}, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
         it.hasNext();) {
        it.next();
        entries.append(it.fileName());
    }
    std::sort(entries.begin(), entries.end());
    // Reading and judging the documents is most of a report's time, and no
    // document depends on another: each core takes every n-th of them.
    std::vector<std::optional<HostReport>> read(std::size_t(entries.size()));
    const auto readEvery = [&](int first, int step) {
        for (int i = first; i < entries.size(); i += step) {
            const QString path = QDir(folder).filePath(entries.at(i));
            // A report written into this folder before is no host; anything else is judged.
            QString why;
            const std::optional<QJsonObject> object = readObject(path, options.maxDocumentBytes, &why);
            if (!object || object->value(QStringLiteral("schema")).toString() != fleetSchema)
                read[std::size_t(i)] = object ? hostReportOf(*object, path, options) : failedDocument(path, why);
        }
    };
    const int cores = reportThreads();
    std::vector<std::thread> others;
    for (int core = 1; core < cores && core < entries.size(); ++core)
        others.emplace_back(readEvery, core, cores);
    readEvery(0, cores);
    for (std::thread &other : others)
        other.join();
    for (std::optional<HostReport> &each : read) {
        if (!each)
            continue;
        HostReport report = std::move(*each);
        each.reset();
        const auto known = previous.constFind(report.host);
        if (known != previous.cend() && !inFuture(known->report.checkedAt, options) && report.checkedAt.isValid()
            && known->report.checkedAt > report.checkedAt) {
            if (const std::optional<KnownHost> last = whole(*known)) {
                report = last->report;
                report.lastKnown = true;
            }
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
    for (const KnownHost &known : qAsConst(previous)) {
        // A state dated ahead of this report's clock decides nothing.
        const bool future = inFuture(known.report.checkedAt, options);
        std::optional<KnownHost> last = future ? known : whole(known);
        if (!last)
            continue;
        HostReport &host = last->report;
        host.lastKnown = true;
        if (future) {
            host.state = HostState::Failed;
            host.why = QStringLiteral("its last known state is ") + futureWhy(host.checkedAt, options);
        }
        fleet.hosts.append(host);
    }
    for (HostReport &host : fleet.hosts) {
        age(host, options);
        const QDateTime since = outSince.value(host.host);
        host.outOfStepSince = host.state == HostState::InStep ? QDateTime()
                              : since.isValid()                ? since
                              : host.checkedAt.isValid()       ? std::min(host.checkedAt, options.now)
                                                               : options.now;
    }
    // Each host's key once, not at each comparison: its earliest expiry is a walk over its certificates.
    std::vector<std::pair<qint64, int>> order;
    order.reserve(std::size_t(fleet.hosts.size()));
    for (int i = 0; i < fleet.hosts.size(); ++i)
        order.emplace_back(fleet.hosts.at(i).earliestDaysLeft(), i);
    std::sort(order.begin(), order.end(), [&fleet](const std::pair<qint64, int> &a, const std::pair<qint64, int> &b) {
        const HostReport &x = fleet.hosts.at(a.second), &y = fleet.hosts.at(b.second);
        if (x.state != y.state)
            return x.state < y.state;
        return a.first != b.first ? a.first < b.first : x.host < y.host;
    });
    QVector<HostReport> sorted;
    sorted.reserve(fleet.hosts.size());
    for (const auto &each : order)
        sorted.append(std::move(fleet.hosts[each.second]));
    fleet.hosts = std::move(sorted);
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
    fleet.trend.append(ReportCounts{fleet.generated, {}});
    for (int i = 0; i < hostStateCount; ++i)
        fleet.trend.last().counts[std::size_t(i)] = fleet.count(HostState(i));
    return fleet;
}

Fleet buildFleet(const QString &folder, const QString &previousReport, const FleetOptions &options)
{
    QString why;
    Fleet fleet = buildFleet(folder, previousHosts(previousReport, options, &why), options);
    // A previous report named but unreadable is said, not passed over: every
    // host it knew would otherwise vanish without a word.
    if (!why.isEmpty()) {
        HostReport unread = failedDocument(QDir(previousReport).filePath(QStringLiteral("fleet.json")),
                                           QStringLiteral("the previous report: ") + why);
        unread.host = QStringLiteral("(previous report)");
        unread.outOfStepSince = options.now;
        fleet.hosts.insert(std::lower_bound(fleet.hosts.begin(), fleet.hosts.end(), unread, worseFirst), unread);
        ++fleet.trend.last().counts[std::size_t(HostState::Failed)];
    }
    return fleet;
}

} // namespace Ps
