#ifndef PS_BUNDLE_H
#define PS_BUNDLE_H

#include "bundledcertificate.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace Ps {

// A bundle as the program carries it: the certificates the build's check read,
// and the folder their files are found in (":/Cert" for the compiled-in one).
class Bundle
{
public:
    Bundle(QVector<BundledCertificate> read, QString folder);

    // The listed certificate with what the build read of it. A bundle
    // registered in place of the compiled-in one (as the tests do) has files
    // the build never read: what was read counts only for a file of the same
    // name and size, and otherwise only the list and the name are known.
    BundledCertificate certificate(StoreList list, const QString &name) const;
    // The file's bytes; none for a name that is not a bare file name or names
    // no file of the bundle.
    std::optional<QByteArray> bytes(const QString &name) const;

private:
    QVector<BundledCertificate> readByTheBuild;
    QString folder;
};

// What the build's check read of the compiled-in bundle, written by it as
// bundlefacts.cpp for every build.
QVector<BundledCertificate> bundledFacts();

} // namespace Ps

#endif
