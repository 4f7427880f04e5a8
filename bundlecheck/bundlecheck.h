#ifndef PS_BUNDLECHECK_H
#define PS_BUNDLECHECK_H

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

// What the program keeps of each listed certificate, so that it never has to
// decode one to know it.
struct CertificateFacts
{
    QString store; // "ROOT" or "CA"
    QString name;
    QString sha1;   // 40 uppercase hex digits
    QString sha256; // 64 uppercase hex digits
    QString subject; // RFC 2253
    qint64 notBefore; // seconds since 1970, UTC
    qint64 notAfter;
    qint64 size; // bytes of the file
};

struct BundleCheck
{
    QVector<Finding> findings;
    QVector<CertificateFacts> facts; // roots first, each list in its order
    bool failed() const;
};

// Checks the bundle folder (Cert/, Json/Settings.json) as it would be shipped
// at the time now.
BundleCheck checkBundle(const QString &folder, std::time_t now);

// The facts as a C++ source defining the table that bundlefacts.h declares.
QByteArray factsSource(const QVector<CertificateFacts> &facts);

} // namespace Ps

#endif
