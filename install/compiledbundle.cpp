#include "compiledbundle.h"

#include "bundle.h"
#include "bundlerules.h"
#include "settings.h"
#include "storequery.h"

#include <QDir>
#include <QStringListModel>

namespace Ps {
namespace {

const QString bundleCertDir = QStringLiteral(":/") + BundleRules::certificateFolder;

const Bundle &compiledIn()
{
    static const Bundle bundle(bundledFacts(), bundleCertDir);
    return bundle;
}

} // namespace

BundledCertificate knownCertificate(StoreList list, const QString &name)
{
    return compiledIn().certificate(list, name);
}

QString bundledFilePath(const QString &name)
{
    return QDir(bundleCertDir).filePath(name);
}

std::optional<QByteArray> bundledBytes(const QString &name)
{
    return compiledIn().bytes(name);
}

CertificateLists CertificateLists::fromSettings(const Settings &settings)
{
    return {settings.rootCertsModel->stringList(), settings.interimCertsModel->stringList()};
}

CertificateLists CertificateLists::fromBundle()
{
    return fromSettings(Settings(nullptr, QStringLiteral("Settings.json")));
}

BundledCertificate bundledCertificate(StoreList list, const QString &name)
{
    BundledCertificate certificate = compiledIn().certificate(list, name);
    if (certificate.sha1.isEmpty()) {
        if (const std::optional<QByteArray> bytes = bundledBytes(name))
            certificate.sha1 = QString::fromStdString(certificateThumbprint(bytes->constData(), std::size_t(bytes->size())));
    }
    return certificate;
}

std::optional<TrustRoot> bundledRoot(const BundledCertificate &certificate)
{
    const std::optional<QByteArray> bytes = bundledBytes(certificate.name);
    return bytes ? readTrustRoot(*bytes, certificate) : std::nullopt;
}

QVector<TrustRoot> bundledRoots(const CertificateLists &lists)
{
    QVector<TrustRoot> roots;
    for (const QString &name : lists.roots) {
        if (const std::optional<TrustRoot> root = bundledRoot(bundledCertificate(StoreList::Root, name)))
            roots.append(*root);
    }
    return roots;
}

} // namespace Ps
