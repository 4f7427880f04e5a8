#ifndef PS_HOSTCHECK_H
#define PS_HOSTCHECK_H

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// One host's check as a document: what the command line prints with --json,
// and what the fleet's report reads back once an engine has added who and
// when. Writer and reader share this type so that neither can drift.
namespace Ps::HostCheck {

// The schema an engine stamps on a document it collected.
inline const QString schema = QStringLiteral("vyr-host-check/1");

// What became of a certificate, as the document says it.
namespace Result {
inline const QString added = QStringLiteral("added");
inline const QString present = QStringLiteral("present");
inline const QString missing = QStringLiteral("missing");
inline const QString removed = QStringLiteral("removed");
inline const QString absent = QStringLiteral("absent");
inline const QString withdrawn = QStringLiteral("withdrawn");
inline const QString retired = QStringLiteral("retired");
inline const QString kept = QStringLiteral("kept");
inline const QString failed = QStringLiteral("failed");
} // namespace Result

// What a root may vouch for, as its name constraints say: any name, or only
// the permitted ones outside the excluded ones.
struct NameScope
{
    bool any = true;
    QStringList permitted;
    QStringList excluded;

    bool operator==(const NameScope &other) const
    {
        return any == other.any && permitted == other.permitted && excluded == other.excluded;
    }
};

struct Certificate
{
    QString store;
    QString name;
    QString thumbprint;
    QString result;
    QString reason;     // why it failed; empty otherwise
    QDateTime notAfter; // UTC; invalid when the verb does not look at dates
    qint64 daysLeft = 0; // as the host counted them; a reader judges notAfter by its own clock
    std::optional<NameScope> vouchesFor; // a check's roots, where the build read it
};

// Where a machine takes our releases from, where it has our apt repository
// configured: its source, when its lists were last refreshed (invalid: never
// fetched) and the versions of our two packages there (empty: not installed).
struct Channel
{
    QString source;
    QDateTime refreshed;
    QString trustVersion;
    QString keyringVersion;

    bool operator==(const Channel &other) const
    {
        return source == other.source && refreshed == other.refreshed && trustVersion == other.trustVersion
               && keyringVersion == other.keyringVersion;
    }
};

struct Document
{
    // Stamped by the engine that collected it.
    QString host;
    QDateTime checkedAt;
    QString version;
    QString error;   // "unreachable" or "failed" when the engine could not check the host
    QString message; // the engine's words for that

    // The verb's own.
    QString verb;
    QVector<Certificate> certificates;
    QString summary;
    std::optional<int> exitCode;
    QString record;      // what the verb could not do with its record; empty when all was well
    QString systemTrust; // what the trust step did; empty when there was none
    QMap<QString, QString> trustTargetsFailed;
    QMap<QString, bool> trustTargets;
    QMap<QString, bool> systemTrustHolds;
    std::optional<Channel> channel;
};

QJsonObject toJson(const Document &document);
// The document, or why it is none: the reason names the first thing wrong.
std::optional<Document> fromJson(const QJsonObject &object, QString *why);

} // namespace Ps::HostCheck

#endif
