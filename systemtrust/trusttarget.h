#ifndef PS_TRUSTTARGET_H
#define PS_TRUSTTARGET_H

#include "filewrite.h"
#include "linuxtrust.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

namespace Ps {

// What a refresh has to do, copied so that it can run on another thread.
struct RefreshPlan
{
    QDir root;
    TrustFamily family;
    bool runTool = false;
    bool removal = false;
    QVector<TrustRoot> roots;
    QStringList linkedAs; // each root's name where the family's refresh links it, for Java's hook
    QVector<UnreachedTarget> unreached;
    QVector<BundledCertificate> retired; // retired roots whose files this change took away
};

// A client that does not take the roots from the distribution's bundle alone:
// how ours is placed there, taken away, and checked. Each kind lives in a file
// of its own; trustTargets() is the table of them.
class TrustTarget
{
public:
    TrustTarget(QString id, QStringList presentWhen, QString file, QString ourFolders);
    virtual ~TrustTarget() = default;

    // The target is on this machine when any of presentWhen exists.
    bool present(const QDir &root) const;
    // Each answers why the target did not take the change, or an empty string.
    virtual QString place(const QDir &root, const QVector<TrustRoot> &roots) const = 0;
    virtual QString takeAway(const QDir &root) const = 0;
    virtual bool holds(const QDir &root, const QVector<TrustRoot> &roots) const = 0;
    // What is left after the family's refresh, for a target the refresh feeds.
    virtual void settle(const RefreshPlan &plan, TrustOutcome &outcome) const;

    const QString id;
    const QStringList presentWhen;
    const QString file; // what we write, merge into, or read; relative to the root

protected:
    // The folders above file that a placement may have made, once empty; no
    // higher than ourFolders.
    void removeOurFolders(const QDir &root) const;
    QString shown() const { return QLatin1Char('/') + file; }

    const QString ourFolders;
};

// Only where the client is installed: a browser installed later is reached
// by the next --install.
const QVector<const TrustTarget *> &trustTargets();

std::unique_ptr<TrustTarget> makeFirefoxPolicy(QString id, QStringList presentWhen, QString file, QString ourFolders);
std::unique_ptr<TrustTarget> makeChromePolicy(QString id, QStringList presentWhen, QString file, QString ourFolders);
std::unique_ptr<TrustTarget> makeJavaKeystore(QString id, QStringList presentWhen, QString file, QString feeder);

// Shared by the targets and the trust source, beside writeIfDifferent.
QByteArray readAll(const QString &path);
// Runs a tool of the refresh, its output discarded; Updated when it succeeded.
TrustOutcome runTrustProcess(const RefreshPlan &plan, const QString &program, const QStringList &arguments,
                             const QByteArray &input);

} // namespace Ps

#endif
