// Chromium and Chrome: a managed-policy file of ours listing the roots.
#include "trusttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Ps {
namespace {

QByteArray chromePolicy(const QVector<TrustRoot> &roots)
{
    QJsonArray certificates;
    for (const TrustRoot &root : roots)
        certificates.append(QString::fromLatin1(root.der.toBase64()));
    return QJsonDocument(QJsonObject{{QStringLiteral("CACertificates"), certificates}}).toJson(QJsonDocument::Indented);
}

class ChromePolicy : public TrustTarget
{
public:
    using TrustTarget::TrustTarget;

    QString place(const QDir &root, const QVector<TrustRoot> &roots) const override
    {
        return writeIfDifferent(root.filePath(file), chromePolicy(roots)) == Write::Failed ? notWritten() : QString();
    }

    QString takeAway(const QDir &root) const override
    {
        const QString path = root.filePath(file);
        const QString why = QFileInfo::exists(path) && !QFile::remove(path) ? notWritten() : QString();
        removeOurFolders(root);
        return why;
    }

    bool holds(const QDir &root, const QVector<TrustRoot> &roots) const override
    {
        const QString path = root.filePath(file);
        const QJsonArray listed =
            QJsonDocument::fromJson(readAll(path)).object().value(QStringLiteral("CACertificates")).toArray();
        return QFileInfo::exists(path) && std::all_of(roots.cbegin(), roots.cend(), [&listed](const TrustRoot &r) {
                   return listed.contains(QString::fromLatin1(r.der.toBase64()));
               });
    }

private:
    QString notWritten() const { return QStringLiteral("%1 could not be written").arg(shown()); }
};

} // namespace

std::unique_ptr<TrustTarget> makeChromePolicy(QString id, QStringList presentWhen, QString file, QString ourFolders)
{
    return std::make_unique<ChromePolicy>(std::move(id), std::move(presentWhen), std::move(file), std::move(ourFolders));
}

} // namespace Ps
