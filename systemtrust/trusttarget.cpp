#include "trusttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

namespace Ps {

TrustTarget::TrustTarget(QString id, QStringList presentWhen, QString file, QString ourFolders)
    : id(std::move(id)), presentWhen(std::move(presentWhen)), file(std::move(file)), ourFolders(std::move(ourFolders))
{
}

bool TrustTarget::present(const QDir &root) const
{
    return std::any_of(presentWhen.cbegin(), presentWhen.cend(),
                       [&root](const QString &marker) { return QFileInfo::exists(root.filePath(marker)); });
}

void TrustTarget::settle(const RefreshPlan &, TrustOutcome &) const {}

void TrustTarget::removeOurFolders(const QDir &root) const
{
    for (QString folder = QFileInfo(file).path(); folder.startsWith(ourFolders) && QDir(root.filePath(folder)).isEmpty();
         folder = QFileInfo(folder).path())
        root.rmdir(folder);
}

const QVector<const TrustTarget *> &trustTargets()
{
    static const std::unique_ptr<TrustTarget> owned[] = {
        makeFirefoxPolicy(QStringLiteral("firefox"), {QStringLiteral("usr/lib/firefox-esr"), QStringLiteral("usr/lib/firefox")},
                          QStringLiteral("etc/firefox/policies/policies.json"), QStringLiteral("etc/firefox")),
        makeChromePolicy(QStringLiteral("chromium"),
                         {QStringLiteral("usr/lib/chromium"), QStringLiteral("usr/lib/chromium-browser"),
                          QStringLiteral("etc/chromium")},
                         QStringLiteral("etc/chromium/policies/managed/vyr-cert-installer.json"),
                         QStringLiteral("etc/chromium/policies")),
        makeChromePolicy(QStringLiteral("chrome"), {QStringLiteral("opt/google/chrome")},
                         QStringLiteral("etc/opt/chrome/policies/managed/vyr-cert-installer.json"),
                         QStringLiteral("etc/opt/chrome")),
        makeJavaKeystore(QStringLiteral("java"), {QStringLiteral("etc/ssl/certs/java/cacerts")},
                         QStringLiteral("etc/ssl/certs/java/cacerts"),
                         QStringLiteral("etc/ca-certificates/update.d/jks-keystore")),
    };
    static const QVector<const TrustTarget *> table{owned[0].get(), owned[1].get(), owned[2].get(), owned[3].get()};
    return table;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TrustOutcome runTrustProcess(const RefreshPlan &plan, const QString &program, const QStringList &arguments,
                             const QByteArray &input)
{
    TrustOutcome outcome{TrustOutcome::Updated, 0, plan.family.name, program, {}};
    QProcess process;
    // Its own chatter is of no use to a person or to a deployment engine.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (process.waitForStarted(-1)) {
        process.write(input);
        process.closeWriteChannel();
    }
    process.waitForFinished(-1);
    if (process.error() == QProcess::FailedToStart) {
        outcome.kind = TrustOutcome::ToolMissing;
    } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        outcome.kind = TrustOutcome::RefreshFailed;
        outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    return outcome;
}

} // namespace Ps
