#ifndef PS_INSTALLRUN_H
#define PS_INSTALLRUN_H

#include "bundledcertificate.h"
#include "outcome.h"
#include "record.h"
#include "systemtrust.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace Ps {

class Settings;

// A certificate with what a verb did to it: a bundled one (its SHA-1 empty
// when it could not be read) or a retired one of the record.
struct CertificateResult
{
    BundledCertificate certificate;
    Outcome outcome;
    // Install: the copy was left in the temporary folder. False when
    // something of another user's was in the way there: the import then took
    // the bundle's bytes through a private copy, since removed.
    bool copyLeft = true;
};

// The two lists in installation order.
struct CertificateLists
{
    QStringList roots;
    QStringList intermediates;

    // The settings' two models as plain lists: the one road from them, for
    // the window and the command line alike.
    static CertificateLists fromSettings(const Settings &settings);
    static CertificateLists fromBundle();
    bool isEmpty() const { return roots.isEmpty() && intermediates.isEmpty(); }
    const QStringList &of(StoreList list) const { return list == StoreList::Root ? roots : intermediates; }
};

// Told about a run as it goes, so that a face can show it.
class InstallObserver
{
public:
    virtual ~InstallObserver() = default;
    // The certificate's store is open and the certificate is about to be added.
    virtual void importing(const QString &name) { Q_UNUSED(name) }
    // Entry number entry (from 1) of total of one list is done.
    virtual void progressed(StoreList list, int entry, int total, int succeeded)
    {
        Q_UNUSED(list) Q_UNUSED(entry) Q_UNUSED(total) Q_UNUSED(succeeded)
    }
};

// Roots into "ROOT", then intermediates into "CA": each copied out of the
// bundle into the temporary folder and imported from there, where runs share
// the copies' names (through a private copy where another user's file or
// folder has the name). Without ourTurn (another run holds the machine's lock)
// each is Busy, its turn still shown.
QVector<CertificateResult> installCertificates(const CertificateLists &lists, InstallObserver &observer, bool ourTurn);
// Read-only lookups by thumbprint; changes nothing.
QVector<CertificateResult> checkCertificates(const CertificateLists &lists);
// Deletes exactly the bundled certificates from their stores.
QVector<CertificateResult> removeCertificates(const CertificateLists &lists);

// Whether every store the lists use can be opened for writing.
bool storesWritable(const CertificateLists &lists);
// A listed certificate of the compiled-in bundle, its SHA-1 known whenever
// its file can be read.
BundledCertificate bundledCertificate(StoreList list, const QString &name);
// The bundled file's bytes; none for a name that is not a bare file name or
// names no file of the bundle.
std::optional<QByteArray> bundledBytes(const QString &name);
// The bundled root of that name as the system trust takes it, read once and
// with the bundle's facts; none when it cannot be read.
std::optional<TrustRoot> bundledRoot(const BundledCertificate &certificate);
// Each bundled root that could be read.
QVector<TrustRoot> bundledRoots(const CertificateLists &lists);

} // namespace Ps

#endif
