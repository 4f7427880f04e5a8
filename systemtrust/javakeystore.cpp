// Java's keystore: fed by the family's refresh through a hook that is never
// told of removals, so settled after it.
#include "trusttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace Ps {
namespace {

// As keytool prints it: AB:CD:...
QByteArray sha256Fingerprint(const BundledCertificate &certificate)
{
    return QByteArray::fromHex(certificate.sha256.toLatin1()).toHex(':').toUpper();
}

// The keystore listed through keytool (Debian's default password): each
// entry with its SHA-256 fingerprint.
QByteArray keytoolListing(const QString &path)
{
    QProcess keytool;
    keytool.start(QStringLiteral("keytool"), {QStringLiteral("-list"), QStringLiteral("-keystore"), path,
                                             QStringLiteral("-storepass"), QStringLiteral("changeit")});
    return keytool.waitForFinished(60000) ? keytool.readAllStandardOutput() : QByteArray();
}

// How many of the roots the keystore holds. Java's JKS keystores hold trusted
// certificates as their plain DER bytes; any other keystore is listed once
// through keytool and matched by fingerprint.
int keystoreCount(const QString &path, const QVector<TrustRoot> &roots)
{
    QByteArray listing = readAll(path);
    const bool jks = listing.startsWith(QByteArray::fromHex("feedfeed"));
    if (!jks)
        listing = keytoolListing(path);
    return int(std::count_if(roots.cbegin(), roots.cend(), [&](const TrustRoot &root) {
        const QByteArray wanted = jks ? root.der : sha256Fingerprint(root.certificate);
        return !wanted.isEmpty() && listing.contains(wanted);
    }));
}

// How many of the retired roots, known only by their fingerprints, the
// keystore still holds.
int retiredCount(const QString &path, const QVector<BundledCertificate> &retired)
{
    if (retired.isEmpty())
        return 0;
    const QByteArray listing = keytoolListing(path);
    return int(std::count_if(retired.cbegin(), retired.cend(), [&listing](const BundledCertificate &root) {
        const QByteArray fingerprint = sha256Fingerprint(root);
        return !fingerprint.isEmpty() && listing.contains(fingerprint);
    }));
}

class JavaKeystore : public TrustTarget
{
public:
    JavaKeystore(QString id, QStringList presentWhen, QString file, QString feeder)
        : TrustTarget(std::move(id), std::move(presentWhen), std::move(file), QString()), feeder(std::move(feeder))
    {
    }

    // Fed by the refresh, then settled.
    QString place(const QDir &, const QVector<TrustRoot> &) const override { return QString(); }
    QString takeAway(const QDir &) const override { return QString(); }

    bool holds(const QDir &root, const QVector<TrustRoot> &roots) const override
    {
        return keystoreCount(root.filePath(file), roots) == roots.size();
    }

    // Debian's hook learns of added roots from the refresh, but never of
    // removed ones, and misses both while dpkg is busy: the keystore is
    // checked after the refresh, and fed or rebuilt when it does not hold
    // what it should.
    void settle(const RefreshPlan &plan, TrustOutcome &outcome) const override
    {
        const QString keystore = plan.root.filePath(file);
        const int wanted = plan.removal ? 0 : plan.roots.size();
        if (keystoreCount(keystore, plan.roots) == wanted && retiredCount(keystore, plan.retired) == 0)
            return;
        const QString hook = plan.root.filePath(feeder);
        if (QFileInfo(hook).isExecutable()) {
            QByteArray added;
            for (const QString &linked : plan.linkedAs)
                added += '+' + QFile::encodeName(linked) + '\n';
            const bool rebuild = plan.removal || !plan.retired.isEmpty();
            const TrustOutcome fed = rebuild ? runTrustProcess(plan, hook, {QStringLiteral("--fresh")}, QByteArray())
                                             : runTrustProcess(plan, hook, {}, added);
            if (fed.kind == TrustOutcome::Updated && outcome.kind == TrustOutcome::Unchanged)
                outcome.kind = TrustOutcome::Updated;
        }
        const int held = keystoreCount(keystore, plan.roots);
        const int retiredHeld = retiredCount(keystore, plan.retired);
        if (retiredHeld > 0)
            outcome.unreached.append({id, QStringLiteral("/%1 still holds %2 retired roots").arg(file, QString::number(retiredHeld))});
        if (held == wanted)
            return;
        outcome.unreached.append(
            {id, plan.removal ? QStringLiteral("/%1 still holds %2 of the roots").arg(file, QString::number(held))
                              : QStringLiteral("/%1 lacks %2 of the roots (is dpkg busy?)").arg(file, QString::number(wanted - held))});
    }

private:
    const QString feeder; // the hook that adds to or rebuilds the keystore
};

} // namespace

std::unique_ptr<TrustTarget> makeJavaKeystore(QString id, QStringList presentWhen, QString file, QString feeder)
{
    return std::make_unique<JavaKeystore>(std::move(id), std::move(presentWhen), std::move(file), std::move(feeder));
}

} // namespace Ps
