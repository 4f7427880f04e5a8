#ifndef PS_FLEET_H
#define PS_FLEET_H

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Ps {

// One host's state, worst first: the order the report sorts and counts by.
enum class HostState { Unreachable, Failed, Lacking, Retired, Expiring, InStep };
constexpr int hostStateCount = 6;

QString hostStateName(HostState state); // "unreachable", ..., "in step"
bool hostStateNamed(const QString &name, HostState *state);

// A certificate as one host's check found it.
struct HostCertificate
{
    QString store;
    QString name;
    QString thumbprint;
    QString result; // the check's word: present, missing, retired, failed
    QDateTime notAfter;
    qint64 daysLeft = 0;
    bool dated = false; // notAfter and daysLeft were given
};

struct HostReport
{
    QString host;
    QDateTime checkedAt;
    HostState state = HostState::Failed;
    QString why;          // what needs doing or what went wrong, one line
    QStringList lacking;  // certificate names, and trust places, the host lacks
    QString document;     // the file it came from
    QString version;      // the program's version, when the engine gave it
    bool lastKnown = false; // kept from the previous report: its document here was older
    QVector<HostCertificate> certificates;

    qint64 earliestDaysLeft() const; // of the dated certificates; a large number when none
};

struct FleetOptions
{
    int expiryDays = 30;
    QString scope = QStringLiteral("all hosts");
    QDateTime now = QDateTime::currentDateTimeUtc();
};

struct Fleet
{
    QDateTime generated;
    QString scope;
    QString release; // the versions the hosts reported, most common first
    int expiryDays = 30;
    QVector<HostReport> hosts; // worst first, then by earliest expiry, then by name
    int count(HostState state) const;
    int exitCode() const; // 0 in step, 1 expiry only, 2 lacking or retired, 3 incomplete
};

// One engine's document: what --check --json printed, with "schema",
// "host" and "checked_at" added; or, for a host the engine could not check,
// "error" ("unreachable" or "failed") and "message" in place of the check.
HostReport readHostDocument(const QString &path, const FleetOptions &options);

// Every *.json document in the folder (the report's own files aside), with
// the previous report's fleet.json (or none) for hosts whose document is older
// than what that report knew.
Fleet buildFleet(const QString &folder, const QString &previousReport, const FleetOptions &options);

} // namespace Ps

#endif
