#include "linuxtrust.h"

#include "certdecode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

namespace Ps {
namespace {

const QString ourName = QStringLiteral("vyr-cert-installer");

const TrustFamily families[] = {
    {QStringLiteral("Debian"), QStringLiteral("usr/local/share/ca-certificates"), true,
     QStringLiteral("usr/sbin/update-ca-certificates"), {}},
    {QStringLiteral("Fedora"), QStringLiteral("etc/pki/ca-trust/source/anchors"), false,
     QStringLiteral("usr/bin/update-ca-trust"), {QStringLiteral("extract")}},
    {QStringLiteral("openSUSE"), QStringLiteral("etc/pki/trust/anchors"), false,
     QStringLiteral("usr/sbin/update-ca-certificates"), {}},
    {QStringLiteral("p11-kit"), QStringLiteral("etc/ca-certificates/trust-source/anchors"), false,
     QStringLiteral("usr/bin/trust"), {QStringLiteral("extract-compat")}},
};

TrustOutcome finished(const TrustFamily &family, QProcess &process)
{
    TrustOutcome outcome{TrustOutcome::Updated, 0, family.name, family.tool};
    if (process.error() == QProcess::FailedToStart) {
        outcome.kind = TrustOutcome::ToolMissing;
    } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        outcome.kind = TrustOutcome::RefreshFailed;
        outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    return outcome;
}

class LinuxTrust : public SystemTrust
{
public:
    LinuxTrust(const QString &fileSystemRoot, bool privileged)
        : root(QDir(fileSystemRoot)), found(findTrustFamily(fileSystemRoot)), privileged(privileged)
    {
    }

    QString family() const override { return found ? found->name : QString(); }

    // PEM, as every family's tool reads it, written whole or not at all.
    bool place(const QByteArray &certificate) override
    {
        const auto decoded = decode(certificate);
        if (!found || !decoded)
            return false;
        const std::string pem = Standin::pemText(decoded->der);
        QSaveFile file(pathFor(*decoded));
        if (!QDir().mkpath(QFileInfo(file.fileName()).path()) || !file.open(QIODevice::WriteOnly))
            return false;
        file.write(pem.data(), qint64(pem.size()));
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                            | QFileDevice::ReadOther);
        return file.commit();
    }

    bool withdraw(const QByteArray &certificate) override
    {
        const auto decoded = decode(certificate);
        if (!found || !decoded || !QFile::remove(pathFor(*decoded)))
            return false;
        if (found->ownFolder)
            QDir(root.filePath(found->anchors)).rmdir(ourName); // only once empty
        return true;
    }

    bool holds(const QByteArray &certificate) const override
    {
        const auto decoded = decode(certificate);
        return found && decoded && QFile::exists(pathFor(*decoded));
    }

    TrustOutcome refresh() override
    {
        TrustOutcome outcome;
        if (!startable(outcome))
            return outcome;
        QProcess process;
        start(process);
        process.waitForFinished(-1);
        return finished(*found, process);
    }

    // The refresh takes seconds (its hooks included); the window keeps
    // answering meanwhile.
    void refreshInBackground(std::function<void(const TrustOutcome &)> done) override
    {
        TrustOutcome outcome;
        if (!startable(outcome)) {
            done(outcome);
            return;
        }
        auto *process = new QProcess;
        const TrustFamily family = *found;
        QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process,
                         [process, family, done] {
                             done(finished(family, *process));
                             process->deleteLater();
                         });
        QObject::connect(process, &QProcess::errorOccurred, process, [process, family, done](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            done(finished(family, *process));
            process->deleteLater();
        });
        start(*process);
    }

private:
    static std::optional<Standin::DecodedCertificate> decode(const QByteArray &certificate)
    {
        return Standin::decodeCertificate(reinterpret_cast<const unsigned char *>(certificate.constData()),
                                          std::size_t(certificate.size()));
    }

    QString pathFor(const Standin::DecodedCertificate &certificate) const
    {
        const QString thumbprint = QString::fromStdString(Standin::thumbprint(certificate.der));
        const QString anchors = root.filePath(found->anchors);
        return found->ownFolder ? anchors + '/' + ourName + '/' + thumbprint + QStringLiteral(".crt")
                                : anchors + '/' + ourName + '-' + thumbprint + QStringLiteral(".crt");
    }

    bool startable(TrustOutcome &outcome) const
    {
        outcome = {TrustOutcome::Updated, 0, family(), found ? found->tool : QString()};
        if (!found)
            outcome.kind = TrustOutcome::NoFamily;
        else if (!privileged)
            outcome.kind = TrustOutcome::NotPrivileged;
        else if (!QFileInfo(root.filePath(found->tool)).isExecutable())
            outcome.kind = TrustOutcome::ToolMissing;
        return outcome.kind == TrustOutcome::Updated;
    }

    void start(QProcess &process) const
    {
        // Its own chatter is of no use to a person or to a deployment engine.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(root.filePath(found->tool), found->arguments);
    }

    const QDir root;
    const std::optional<TrustFamily> found;
    const bool privileged;
};

} // namespace

std::optional<TrustFamily> findTrustFamily(const QString &fileSystemRoot)
{
    const QDir root(fileSystemRoot);
    for (const TrustFamily &family : families) {
        if (QFileInfo(root.filePath(family.anchors)).isDir())
            return family;
    }
    return std::nullopt;
}

std::unique_ptr<SystemTrust> makeLinuxTrust(const QString &fileSystemRoot, bool privileged)
{
    return std::make_unique<LinuxTrust>(fileSystemRoot, privileged);
}

} // namespace Ps
