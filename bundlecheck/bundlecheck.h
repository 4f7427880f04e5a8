#ifndef PS_BUNDLECHECK_H
#define PS_BUNDLECHECK_H

#include "bundledcertificate.h"

#include <QString>
#include <QVector>

#include <ctime>

namespace Ps {

// One thing the check has to say about a file of the bundle folder.
struct Finding
{
    enum Severity { Error, Warning };
    Severity severity;
    QString file; // as found under the bundle folder, e.g. Cert/Vyr_Root_CA_1.cer
    QString reason;
};

struct BundleCheck
{
    QVector<Finding> findings;
    QVector<BundledCertificate> facts; // what the program keeps of each: roots first, each list in its order
    bool failed() const;
};

// Checks the bundle folder (Cert/, Json/Settings.json) as it would be shipped
// at the time now; a root that may vouch for any name (or any IP address) is
// an error with requireNameConstraints, a warning without.
BundleCheck checkBundle(const QString &folder, std::time_t now, bool requireNameConstraints = false);

// The facts as a C++ source defining what bundle/bundle.h declares.
QByteArray factsSource(const QVector<BundledCertificate> &facts);

} // namespace Ps

#endif
