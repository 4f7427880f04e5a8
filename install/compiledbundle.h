#ifndef PS_COMPILEDBUNDLE_H
#define PS_COMPILEDBUNDLE_H

#include "bundledcertificate.h"
#include "systemtrust.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace Ps {

class Settings;

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

// A listed certificate as the build knew it: its SHA-1 empty when the
// build's facts do not have it (a bundle registered at run time).
BundledCertificate knownCertificate(StoreList list, const QString &name);
// Where the import finds the bundled file; the file may not exist.
QString bundledFilePath(const QString &name);
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
