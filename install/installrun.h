#ifndef PS_INSTALLRUN_H
#define PS_INSTALLRUN_H

#include "compiledbundle.h"
#include "outcome.h"

#include <QString>
#include <QVector>

namespace Ps {

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
} // namespace Ps

#endif
