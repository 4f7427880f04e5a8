#ifndef PS_FLEET_H
#define PS_FLEET_H

#include "hostcheck.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <functional>
#include <optional>

namespace Ps {

// One host's state, worst first: the order the report sorts and counts by.
// Stale: the last state known is older than the report's limit, so it says
// nothing of the host today. ChannelQuiet: the host's certificates are in
// place, but it has taken nothing from the repository for longer than the
// limit, so the next release will pass it by.
enum class HostState { Unreachable, Failed, Stale, Lacking, Retired, ChannelQuiet, Expiring, InStep };
constexpr int hostStateCount = 8;

QString hostStateName(HostState state); // "unreachable", ..., "in step"
bool hostStateNamed(const QString &name, HostState *state);

// A certificate as one host's check found it; its days left are counted
// by the report's clock, not the host's.
using HostCertificate = HostCheck::Certificate;

struct HostReport
{
    QString host;
    QDateTime checkedAt;
    HostState state = HostState::Failed;
    QString why;          // what needs doing or what went wrong, one line
    QStringList lacking;  // certificate names, and trust places, the host lacks
    QString document;     // the file it came from
    QString version;      // the program's version, when the engine gave it
    QString keyring;      // the repository's keyring package there, when the host has the channel
    bool lastKnown = false; // kept from the previous report: its document here was older
    QDateTime outOfStepSince; // when a report first found it in any state but in step, since the last in step; none in step
    QVector<HostCertificate> certificates;

    qint64 earliestDaysLeft() const; // of the dated certificates; a large number when none
};

struct FleetOptions
{
    int expiryDays = 30;
    QString scope = QStringLiteral("all hosts");
    QDateTime now = QDateTime::currentDateTimeUtc();
    qint64 maxDocumentBytes = 1024 * 1024; // a document larger than this is no host's check
    qint64 skewSeconds = 300;              // how far ahead of the report's clock a document may be dated
    int staleDays = 7;                     // a state older than this is stale
    int channelDays = 7;                   // lists older than this are a quiet channel
};

// One report's count of hosts in each state, for the trend.
struct ReportCounts
{
    QDateTime generated;
    std::array<int, hostStateCount> counts{};
    int total() const;
};

struct Fleet
{
    QDateTime generated;
    QString scope;
    QString release; // the versions the hosts reported, most common first
    int expiryDays = 30;
    QVector<HostReport> hosts; // worst first, then by earliest expiry, then by name
    QVector<ReportCounts> trend; // the reports before this one that the history holds, oldest first, then this one
    QString history;             // what the history said, or why there is none
    int count(HostState state) const;
    int exitCode() const; // 0 in step, 1 expiry only, 2 lacking, retired or channel quiet, 3 incomplete (unreachable, failed, stale)
};

// The schema of the report's own fleet.json.
inline const QString fleetSchema = QStringLiteral("vyr-fleet-report/1");

// One engine's document: what --check --json printed, with "schema",
// "host" and "checked_at" added; or, for a host the engine could not check,
// "error" ("unreachable" or "failed") and "message" in place of the check.
// Only a regular file is read, never through a link, never blocking, and
// never more than the options' cap.
HostReport readHostDocument(const QString &path, const FleetOptions &options);

// What an earlier report knew of a host: its state from its last document
// read, and since when it has been out of step.
struct KnownHost
{
    HostReport report;
    bool partial = false; // its name, check time and "since" only: the rest is read when it is wanted
};
using KnownHosts = QHash<QString, KnownHost>;
// The whole of a partial known host, or none when it cannot be had.
using KnownLoader = std::function<std::optional<KnownHost>(const QString &host)>;

// How many threads a report shares its work among: the machine's cores.
int reportThreads();

// A host as fleet.json holds it (and the history); none when it names no host
// or no state a report gives.
std::optional<KnownHost> knownHost(const QJsonObject &entry, const FleetOptions &options);

// The hosts a previous report's fleet.json holds; none, and why, when it
// cannot be read.
KnownHosts previousHosts(const QString &folder, const FleetOptions &options, QString *why);

// Every *.json entry in the folder (a report's own fleet.json aside, known by
// its schema; any other entry that is no readable document a failed host),
// with what earlier reports knew for hosts whose document is older than what
// they knew, or missing; "out of step since" carried on from them.
Fleet buildFleet(const QString &folder, KnownHosts known, const FleetOptions &options, const KnownLoader &load = {});
// The same with the previous report's folder (or none); an unreadable one is a failed host.
Fleet buildFleet(const QString &folder, const QString &previousReport, const FleetOptions &options);

} // namespace Ps

#endif
