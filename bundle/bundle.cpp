#include "bundle.h"

#include "bundlerules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace Ps {

Bundle::Bundle(QVector<BundledCertificate> read, QString folder) : readByTheBuild(std::move(read)), folder(std::move(folder)) {}

BundledCertificate Bundle::certificate(StoreList list, const QString &name) const
{
    BundledCertificate certificate;
    certificate.list = list;
    certificate.name = name;
    if (!BundleRules::isBareFileName(name))
        return certificate;
    const auto read = std::find_if(readByTheBuild.cbegin(), readByTheBuild.cend(),
                                   [&name](const BundledCertificate &each) { return each.name == name; });
    if (read != readByTheBuild.cend() && QFileInfo(QDir(folder).filePath(name)).size() == read->size) {
        certificate = *read;
        certificate.list = list;
    }
    return certificate;
}

std::optional<QByteArray> Bundle::bytes(const QString &name) const
{
    QFile file(QDir(folder).filePath(name));
    if (!BundleRules::isBareFileName(name) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

} // namespace Ps
