#include "linuxtrust.h"

#include "trusttarget.h"

#include "certdecode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace Ps {
namespace {

const QString ourName = QStringLiteral("vyr-cert-installer");

const TrustFamily families[] = {
    {QStringLiteral("Debian"), QStringLiteral("usr/local/share/ca-certificates"), true,
     QStringLiteral("usr/sbin/update-ca-certificates"), {}, {QStringLiteral("--fresh")},
     QStringLiteral("etc/ssl/certs/ca-certificates.crt")},
    {QStringLiteral("Fedora"), QStringLiteral("etc/pki/ca-trust/source/anchors"), false,
     QStringLiteral("usr/bin/update-ca-trust"), {QStringLiteral("extract")}, {QStringLiteral("extract")},
     QStringLiteral("etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem")},
    {QStringLiteral("openSUSE"), QStringLiteral("etc/pki/trust/anchors"), false,
     QStringLiteral("usr/sbin/update-ca-certificates"), {}, {}, QStringLiteral("var/lib/ca-certificates/ca-bundle.pem")},
    {QStringLiteral("p11-kit"), QStringLiteral("etc/ca-certificates/trust-source/anchors"), false,
     QStringLiteral("usr/bin/trust"), {QStringLiteral("extract-compat")}, {QStringLiteral("extract-compat")},
     QStringLiteral("etc/ca-certificates/extracted/tls-ca-bundle.pem")},
};

TrustOutcome runRefresh(const RefreshPlan &plan)
{
    TrustOutcome outcome{TrustOutcome::Unchanged, 0, plan.family.name, plan.family.tool, plan.unreached};
    if (plan.runTool) {
        const QString tool = plan.root.filePath(plan.family.tool);
        if (!QFileInfo(tool).isExecutable()) {
            outcome.kind = TrustOutcome::ToolMissing;
            return outcome;
        }
        // A removed file is dropped from what was built from it only by the
        // removal's form of the refresh.
        const bool removed = plan.removal || !plan.retired.isEmpty();
        const TrustOutcome ran =
            runTrustProcess(plan, tool, removed ? plan.family.removalArguments : plan.family.arguments, QByteArray());
        outcome.kind = ran.kind;
        outcome.exitCode = ran.exitCode;
        if (ran.kind != TrustOutcome::Updated)
            return outcome;
    }
    for (const TrustTarget *target : trustTargets()) {
        if (target->present(plan.root))
            target->settle(plan, outcome);
    }
    return outcome;
}

class LinuxTrust : public SystemTrust
{
public:
    LinuxTrust(const QString &fileSystemRoot, bool privileged)
        : root(QDir(fileSystemRoot)), found(findTrustFamily(fileSystemRoot)), privileged(privileged),
          plan{root, found.value_or(TrustFamily{}), false, false, {}, {}, {}, {}}
    {
    }

    QString family() const override { return found ? found->name : QString(); }

    TrustOutcome place(const QVector<TrustRoot> &roots, const QVector<BundledCertificate> &retired) override
    {
        return change(roots, retired, false);
    }

    TrustOutcome withdraw(const QVector<TrustRoot> &roots, const QVector<BundledCertificate> &retired) override
    {
        return change(roots, retired, true);
    }

    bool holds(const TrustRoot &trustRoot) const override
    {
        return found && QFile::exists(pathFor(trustRoot.certificate.sha1));
    }

    QVector<TrustTargetState> check(const QVector<TrustRoot> &roots) const override
    {
        QVector<TrustTargetState> states;
        if (!found)
            return states;
        const QByteArray bundle = readAll(root.filePath(found->bundle));
        states.append({QStringLiteral("bundle"), std::all_of(roots.cbegin(), roots.cend(), [&bundle](const TrustRoot &r) {
                           return bundle.contains(r.pem);
                       })});
        for (const TrustTarget *target : trustTargets()) {
            if (target->present(root))
                states.append({target->id, target->holds(root, roots)});
        }
        return states;
    }

    TrustOutcome refresh() override
    {
        TrustOutcome outcome;
        if (!startable(outcome))
            return outcome;
        return runRefresh(plan);
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
        auto result = std::make_shared<TrustOutcome>();
        QThread *worker = QThread::create([planned = plan, result] { *result = runRefresh(planned); });
        auto *receiver = new QObject;
        QObject::connect(worker, &QThread::finished, receiver, [worker, receiver, result, done] {
            done(*result);
            worker->deleteLater();
            receiver->deleteLater();
        });
        worker->start();
    }

private:
    TrustOutcome change(const QVector<TrustRoot> &roots, const QVector<BundledCertificate> &retired, bool removal)
    {
        TrustOutcome outcome{TrustOutcome::Updated, 0, family(), found ? found->tool : QString(), {}};
        plan = RefreshPlan{root, found.value_or(TrustFamily{}), false, removal, {}, {}, {}, {}};
        if (!found) {
            outcome.kind = TrustOutcome::NoFamily;
            return outcome;
        }
        plan.roots = roots;
        for (const TrustRoot &trustRoot : qAsConst(plan.roots)) {
            const QString path = pathFor(trustRoot.certificate.sha1);
            plan.linkedAs.append(root.filePath(QStringLiteral("etc/ssl/certs/") + QFileInfo(path).completeBaseName()
                                               + QStringLiteral(".pem")));
            if (removal) {
                if (!QFileInfo::exists(path))
                    continue;
                if (!QFile::remove(path))
                    outcome.kind = TrustOutcome::WriteFailed;
                plan.runTool = true;
                continue;
            }
            const Write written = writeIfDifferent(path, trustRoot.pem);
            plan.runTool = plan.runTool || written == Write::Written;
            if (written == Write::Failed)
                outcome.kind = TrustOutcome::WriteFailed;
        }
        // Only a retired root that we had placed makes a refresh worth running.
        for (const BundledCertificate &gone : retired) {
            const QString path = pathFor(gone.sha1);
            if (!QFileInfo::exists(path))
                continue;
            if (!QFile::remove(path))
                outcome.kind = TrustOutcome::WriteFailed;
            plan.retired.append(gone);
            plan.runTool = true;
        }
        if (removal && found->ownFolder)
            QDir(root.filePath(found->anchors)).rmdir(ourName); // only once empty
        for (const TrustTarget *target : trustTargets()) {
            // A removal takes ours away even from a client uninstalled since.
            if (!removal && !target->present(root))
                continue;
            const QString why = removal ? target->takeAway(root) : target->place(root, plan.roots);
            if (!why.isEmpty())
                plan.unreached.append({target->id, why});
        }
        outcome.unreached = plan.unreached;
        return outcome;
    }

    QString pathFor(const QString &thumbprint) const
    {
        const QString anchors = root.filePath(found->anchors);
        return found->ownFolder ? anchors + '/' + ourName + '/' + thumbprint + QStringLiteral(".crt")
                                : anchors + '/' + ourName + '-' + thumbprint + QStringLiteral(".crt");
    }

    bool startable(TrustOutcome &outcome) const
    {
        outcome = {TrustOutcome::Updated, 0, family(), found ? found->tool : QString(), plan.unreached};
        if (!found)
            outcome.kind = TrustOutcome::NoFamily;
        else if (!privileged)
            outcome.kind = TrustOutcome::NotPrivileged;
        return outcome.kind == TrustOutcome::Updated;
    }

    const QDir root;
    const std::optional<TrustFamily> found;
    const bool privileged;
    RefreshPlan plan;
};

} // namespace

std::optional<TrustRoot> readTrustRoot(const QByteArray &bytes, BundledCertificate facts)
{
    const auto decoded =
        CertDecode::decodeCertificate(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()));
    if (!decoded)
        return std::nullopt;
    if (facts.sha1.isEmpty())
        facts.sha1 = QString::fromStdString(CertDecode::thumbprint(decoded->der));
    if (facts.sha256.isEmpty())
        facts.sha256 = QString::fromStdString(CertDecode::sha256Thumbprint(decoded->der));
    const std::string pem = CertDecode::pemText(decoded->der);
    return TrustRoot{std::move(facts), QByteArray(reinterpret_cast<const char *>(decoded->der.data()), int(decoded->der.size())),
                     QByteArray(pem.data(), int(pem.size()))};
}

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
