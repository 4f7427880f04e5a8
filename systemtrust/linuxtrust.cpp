#include "linuxtrust.h"

#include "certdecode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QThread>

#include <openssl/evp.h>

namespace Ps {
namespace {

const QString ourName = QStringLiteral("vyr-cert-installer");
// Our security device in Firefox's policy; any other entry there is someone else's.
const QString firefoxDevice = QStringLiteral("vyr-cert-installer p11-kit-trust");

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

// Only where the client is installed: a browser installed later is reached
// by the next --install.
const TrustTarget targets[] = {
    {QStringLiteral("firefox"), TrustTarget::FirefoxPolicy,
     {QStringLiteral("usr/lib/firefox-esr"), QStringLiteral("usr/lib/firefox")},
     QStringLiteral("etc/firefox/policies/policies.json"), QStringLiteral("etc/firefox"), QString()},
    {QStringLiteral("chromium"), TrustTarget::ChromePolicy,
     {QStringLiteral("usr/lib/chromium"), QStringLiteral("usr/lib/chromium-browser"), QStringLiteral("etc/chromium")},
     QStringLiteral("etc/chromium/policies/managed/vyr-cert-installer.json"), QStringLiteral("etc/chromium/policies"),
     QString()},
    {QStringLiteral("chrome"), TrustTarget::ChromePolicy,
     {QStringLiteral("opt/google/chrome")}, QStringLiteral("etc/opt/chrome/policies/managed/vyr-cert-installer.json"),
     QStringLiteral("etc/opt/chrome"), QString()},
    {QStringLiteral("java"), TrustTarget::JavaKeystore, {QStringLiteral("etc/ssl/certs/java/cacerts")},
     QStringLiteral("etc/ssl/certs/java/cacerts"), QString(), QStringLiteral("etc/ca-certificates/update.d/jks-keystore")},
};

// p11-kit's module that presents the distribution's trust as a PKCS #11 token.
const QStringList p11KitTrustModules{QStringLiteral("usr/lib/" VYR_MULTIARCH "/pkcs11/p11-kit-trust.so"),
                                     QStringLiteral("usr/lib64/pkcs11/p11-kit-trust.so"),
                                     QStringLiteral("usr/lib/pkcs11/p11-kit-trust.so")};

// A bundled root as the targets need it.
struct Root
{
    QByteArray der;
    QString thumbprint;
    QByteArray pem;
};

QVector<Root> decodeRoots(const QVector<QByteArray> &certificates, bool *allDecoded = nullptr)
{
    QVector<Root> roots;
    for (const QByteArray &certificate : certificates) {
        const auto decoded = Standin::decodeCertificate(reinterpret_cast<const unsigned char *>(certificate.constData()),
                                                        std::size_t(certificate.size()));
        if (!decoded)
            continue;
        const std::string pem = Standin::pemText(decoded->der);
        roots.append({QByteArray(reinterpret_cast<const char *>(decoded->der.data()), int(decoded->der.size())),
                      QString::fromStdString(Standin::thumbprint(decoded->der)),
                      QByteArray(pem.data(), int(pem.size()))});
    }
    if (allDecoded)
        *allDecoded = roots.size() == certificates.size();
    return roots;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

enum class Write { Unchanged, Written, Failed };

// Whole or not at all, readable by every client, and only when the bytes differ.
Write writeIfDifferent(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo(path).isFile() && readAll(path) == bytes)
        return Write::Unchanged;
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly))
        return Write::Failed;
    file.write(bytes);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    return file.commit() ? Write::Written : Write::Failed;
}

// Firefox takes its security devices as {"Add": {name: path}, "Delete": [...]},
// or, in its older form, as names mapped to paths directly; ours goes in
// whichever form the file already uses. Only our entry is ever touched.
bool isListForm(const QJsonObject &devices)
{
    return devices.isEmpty() || devices.contains(QStringLiteral("Add")) || devices.contains(QStringLiteral("Delete"));
}

// The devices Firefox is to add, in either form.
QJsonObject addedDevices(const QJsonObject &devices)
{
    return isListForm(devices) ? devices.value(QStringLiteral("Add")).toObject() : devices;
}

enum class Merge { Unchanged, Changed };
Merge mergeFirefoxDevice(QJsonObject &document, const QString *module)
{
    QJsonObject policies = document.value(QStringLiteral("policies")).toObject();
    QJsonObject devices = policies.value(QStringLiteral("SecurityDevices")).toObject();
    const bool listForm = isListForm(devices);
    QJsonObject added = addedDevices(devices);
    if (module ? added.value(firefoxDevice) == QJsonValue(*module) : !added.contains(firefoxDevice))
        return Merge::Unchanged;
    if (module)
        added.insert(firefoxDevice, *module);
    else
        added.remove(firefoxDevice);
    if (!listForm)
        devices = added;
    else if (added.isEmpty())
        devices.remove(QStringLiteral("Add"));
    else
        devices.insert(QStringLiteral("Add"), added);
    if (devices.isEmpty())
        policies.remove(QStringLiteral("SecurityDevices"));
    else
        policies.insert(QStringLiteral("SecurityDevices"), devices);
    document.insert(QStringLiteral("policies"), policies);
    return Merge::Changed;
}

// The file as a JSON object, or nothing (with why) when it is something else:
// a file we cannot read as policies is never overwritten.
std::optional<QJsonObject> readPolicies(const QString &path, const QString &shown, QString &why)
{
    if (!QFileInfo::exists(path))
        return QJsonObject();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("%1 could not be read").arg(shown);
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    const QJsonValue policies = document.object().value(QStringLiteral("policies"));
    if (error.error != QJsonParseError::NoError || !document.isObject()
        || !(policies.isUndefined() || policies.isObject())) {
        why = QStringLiteral("%1 is not a policies file; left as it was").arg(shown);
        return std::nullopt;
    }
    return document.object();
}

QByteArray chromePolicy(const QVector<Root> &roots)
{
    QJsonArray certificates;
    for (const Root &root : roots)
        certificates.append(QString::fromLatin1(root.der.toBase64()));
    return QJsonDocument(QJsonObject{{QStringLiteral("CACertificates"), certificates}}).toJson(QJsonDocument::Indented);
}

bool chromePolicyHolds(const QString &path, const QVector<Root> &roots)
{
    const QJsonArray listed =
        QJsonDocument::fromJson(readAll(path)).object().value(QStringLiteral("CACertificates")).toArray();
    return std::all_of(roots.cbegin(), roots.cend(), [&listed](const Root &root) {
        return listed.contains(QString::fromLatin1(root.der.toBase64()));
    });
}

QByteArray sha256Fingerprint(const QByteArray &der)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(der.constData(), std::size_t(der.size()), digest, &size, EVP_sha256(), nullptr) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(size)).toHex(':').toUpper();
}

// How many of the roots the keystore holds. Java's JKS keystores hold trusted
// certificates as their plain DER bytes; any other keystore is listed once
// through keytool (Debian's default password) and matched by fingerprint.
int keystoreCount(const QString &path, const QVector<Root> &roots)
{
    QByteArray listing = readAll(path);
    const bool jks = listing.startsWith(QByteArray::fromHex("feedfeed"));
    if (!jks) {
        QProcess keytool;
        keytool.start(QStringLiteral("keytool"), {QStringLiteral("-list"), QStringLiteral("-keystore"), path,
                                                 QStringLiteral("-storepass"), QStringLiteral("changeit")});
        listing = keytool.waitForFinished(60000) ? keytool.readAllStandardOutput() : QByteArray();
    }
    return int(std::count_if(roots.cbegin(), roots.cend(), [&](const Root &root) {
        const QByteArray wanted = jks ? root.der : sha256Fingerprint(root.der);
        return !wanted.isEmpty() && listing.contains(wanted);
    }));
}

bool present(const QDir &root, const TrustTarget &target)
{
    return std::any_of(target.presentWhen.cbegin(), target.presentWhen.cend(),
                       [&root](const QString &marker) { return QFileInfo::exists(root.filePath(marker)); });
}

// What a refresh has to do, copied so that it can run on another thread.
struct RefreshPlan
{
    QDir root;
    TrustFamily family;
    bool runTool = false;
    bool removal = false;
    QVector<Root> roots;
    QStringList linkedAs; // each root's name where the family's refresh links it, for Java's hook
    QVector<UnreachedTarget> unreached;
};

TrustOutcome runProcess(const RefreshPlan &plan, const QString &program, const QStringList &arguments,
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

// Debian's hook learns of added roots from the refresh, but never of removed
// ones, and misses both while dpkg is busy: the keystore is checked after the
// refresh, and fed or rebuilt when it does not hold what it should.
void settleKeystore(const RefreshPlan &plan, const TrustTarget &java, TrustOutcome &outcome)
{
    const QString keystore = plan.root.filePath(java.file);
    const int wanted = plan.removal ? 0 : plan.roots.size();
    if (keystoreCount(keystore, plan.roots) == wanted)
        return;
    const QString feeder = plan.root.filePath(java.feeder);
    if (QFileInfo(feeder).isExecutable()) {
        QByteArray added;
        for (const QString &linked : plan.linkedAs)
            added += '+' + QFile::encodeName(linked) + '\n';
        const TrustOutcome fed = plan.removal ? runProcess(plan, feeder, {QStringLiteral("--fresh")}, QByteArray())
                                              : runProcess(plan, feeder, {}, added);
        if (fed.kind == TrustOutcome::Updated && outcome.kind == TrustOutcome::Unchanged)
            outcome.kind = TrustOutcome::Updated;
    }
    const int held = keystoreCount(keystore, plan.roots);
    if (held == wanted)
        return;
    outcome.unreached.append({java.id, plan.removal ? QStringLiteral("/%1 still holds %2 of the roots").arg(java.file).arg(held)
                                                    : QStringLiteral("/%1 lacks %2 of the roots (is dpkg busy?)")
                                                          .arg(java.file)
                                                          .arg(wanted - held)});
}

TrustOutcome runRefresh(const RefreshPlan &plan)
{
    TrustOutcome outcome{TrustOutcome::Unchanged, 0, plan.family.name, plan.family.tool, plan.unreached};
    if (plan.runTool) {
        const QString tool = plan.root.filePath(plan.family.tool);
        if (!QFileInfo(tool).isExecutable()) {
            outcome.kind = TrustOutcome::ToolMissing;
            return outcome;
        }
        const TrustOutcome ran =
            runProcess(plan, tool, plan.removal ? plan.family.removalArguments : plan.family.arguments, QByteArray());
        outcome.kind = ran.kind;
        outcome.exitCode = ran.exitCode;
        if (ran.kind != TrustOutcome::Updated)
            return outcome;
    }
    for (const TrustTarget &target : targets) {
        if (target.kind == TrustTarget::JavaKeystore && present(plan.root, target))
            settleKeystore(plan, target, outcome);
    }
    return outcome;
}

class LinuxTrust : public SystemTrust
{
public:
    LinuxTrust(const QString &fileSystemRoot, bool privileged)
        : root(QDir(fileSystemRoot)), found(findTrustFamily(fileSystemRoot)), privileged(privileged),
          plan{root, found.value_or(TrustFamily{}), false, false, {}, {}, {}}
    {
    }

    QString family() const override { return found ? found->name : QString(); }

    TrustOutcome place(const QVector<QByteArray> &certificates) override
    {
        return change(certificates, false);
    }

    TrustOutcome withdraw(const QVector<QByteArray> &certificates) override
    {
        return change(certificates, true);
    }

    bool holds(const QByteArray &certificate) const override
    {
        const QVector<Root> roots = decodeRoots({certificate});
        return found && !roots.isEmpty() && QFile::exists(pathFor(roots.first()));
    }

    QVector<TrustTargetState> check(const QVector<QByteArray> &certificates) const override
    {
        const QVector<Root> roots = decodeRoots(certificates);
        QVector<TrustTargetState> states;
        if (!found)
            return states;
        const QByteArray bundle = readAll(root.filePath(found->bundle));
        states.append({QStringLiteral("bundle"), std::all_of(roots.cbegin(), roots.cend(), [&bundle](const Root &r) {
                           return bundle.contains(r.pem);
                       })});
        for (const TrustTarget &target : targets) {
            if (present(root, target))
                states.append({target.id, targetHolds(target, roots)});
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
    TrustOutcome change(const QVector<QByteArray> &certificates, bool removal)
    {
        TrustOutcome outcome{TrustOutcome::Updated, 0, family(), found ? found->tool : QString(), {}};
        plan = RefreshPlan{root, found.value_or(TrustFamily{}), false, removal, {}, {}, {}};
        if (!found) {
            outcome.kind = TrustOutcome::NoFamily;
            return outcome;
        }
        bool allDecoded = false;
        plan.roots = decodeRoots(certificates, &allDecoded);
        for (const Root &certificate : qAsConst(plan.roots)) {
            const QString path = pathFor(certificate);
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
            const Write written = writeIfDifferent(path, certificate.pem);
            plan.runTool = plan.runTool || written == Write::Written;
            if (written == Write::Failed)
                outcome.kind = TrustOutcome::WriteFailed;
        }
        if (!allDecoded)
            outcome.kind = TrustOutcome::WriteFailed;
        if (removal && found->ownFolder)
            QDir(root.filePath(found->anchors)).rmdir(ourName); // only once empty
        for (const TrustTarget &target : targets) {
            // A removal takes ours away even from a client uninstalled since.
            if (removal || present(root, target))
                changeTarget(target, removal);
        }
        outcome.unreached = plan.unreached;
        return outcome;
    }

    void changeTarget(const TrustTarget &target, bool removal)
    {
        const QString path = root.filePath(target.file);
        const QString shown = QLatin1Char('/') + target.file;
        switch (target.kind) {
        case TrustTarget::FirefoxPolicy: {
            QString why;
            std::optional<QJsonObject> policies = readPolicies(path, shown, why);
            const auto module = std::find_if(p11KitTrustModules.cbegin(), p11KitTrustModules.cend(),
                                             [this](const QString &file) { return QFileInfo::exists(root.filePath(file)); });
            const QString modulePath = module == p11KitTrustModules.cend() ? QString() : QLatin1Char('/') + *module;
            if (!policies) {
                plan.unreached.append({target.id, why});
            } else if (!removal && modulePath.isEmpty()) {
                plan.unreached.append({target.id, QStringLiteral("p11-kit-trust.so is missing (p11-kit-modules)")});
            } else if (mergeFirefoxDevice(*policies, removal ? nullptr : &modulePath) == Merge::Changed) {
                // Nothing but an empty policies object left: the file was only ours.
                const bool empty = policies->size() == 1 && policies->value(QStringLiteral("policies")).toObject().isEmpty();
                const bool ok = removal && empty ? QFile::remove(path)
                                                 : writeIfDifferent(path, QJsonDocument(*policies).toJson()) != Write::Failed;
                if (!ok)
                    plan.unreached.append({target.id, QStringLiteral("%1 could not be written").arg(shown)});
            }
            break;
        }
        case TrustTarget::ChromePolicy:
            if (removal ? QFileInfo::exists(path) && !QFile::remove(path)
                        : writeIfDifferent(path, chromePolicy(plan.roots)) == Write::Failed)
                plan.unreached.append({target.id, QStringLiteral("%1 could not be written").arg(shown)});
            break;
        case TrustTarget::JavaKeystore:
            return; // fed by the refresh, then settled
        }
        if (!removal)
            return;
        // Folders that a placement may have made go too, once nothing is in them.
        for (QString folder = QFileInfo(target.file).path();
             folder.startsWith(target.ourFolders) && QDir(root.filePath(folder)).isEmpty();
             folder = QFileInfo(folder).path())
            root.rmdir(folder);
    }

    bool targetHolds(const TrustTarget &target, const QVector<Root> &roots) const
    {
        const QString path = root.filePath(target.file);
        switch (target.kind) {
        case TrustTarget::FirefoxPolicy: {
            QString why;
            const std::optional<QJsonObject> policies = readPolicies(path, QString(), why);
            const QJsonObject devices =
                policies.value_or(QJsonObject()).value(QStringLiteral("policies")).toObject().value(QStringLiteral("SecurityDevices")).toObject();
            return addedDevices(devices).contains(firefoxDevice);
        }
        case TrustTarget::ChromePolicy:
            return QFileInfo::exists(path) && chromePolicyHolds(path, roots);
        case TrustTarget::JavaKeystore:
            return keystoreCount(path, roots) == roots.size();
        }
        return false;
    }

    QString pathFor(const Root &certificate) const
    {
        const QString anchors = root.filePath(found->anchors);
        return found->ownFolder ? anchors + '/' + ourName + '/' + certificate.thumbprint + QStringLiteral(".crt")
                                : anchors + '/' + ourName + '-' + certificate.thumbprint + QStringLiteral(".crt");
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
