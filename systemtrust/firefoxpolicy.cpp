// Firefox: our security device, p11-kit's trust module, merged into its
// policies.json, so that it follows the distribution's bundle.
#include "trusttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <optional>

namespace Ps {
namespace {

// Our security device in Firefox's policy; any other entry there is someone else's.
const QString firefoxDevice = QStringLiteral("vyr-cert-installer p11-kit-trust");

// p11-kit's module that presents the distribution's trust as a PKCS #11 token.
const QStringList p11KitTrustModules{QStringLiteral("usr/lib/" VYR_MULTIARCH "/pkcs11/p11-kit-trust.so"),
                                     QStringLiteral("usr/lib64/pkcs11/p11-kit-trust.so"),
                                     QStringLiteral("usr/lib/pkcs11/p11-kit-trust.so")};

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

class FirefoxPolicy : public TrustTarget
{
public:
    using TrustTarget::TrustTarget;

    QString place(const QDir &root, const QVector<TrustRoot> &) const override { return change(root, false); }

    QString takeAway(const QDir &root) const override
    {
        const QString why = change(root, true);
        removeOurFolders(root);
        return why;
    }

    bool holds(const QDir &root, const QVector<TrustRoot> &) const override
    {
        QString why;
        const std::optional<QJsonObject> policies = readPolicies(root.filePath(file), QString(), why);
        const QJsonObject devices = policies.value_or(QJsonObject())
                                        .value(QStringLiteral("policies"))
                                        .toObject()
                                        .value(QStringLiteral("SecurityDevices"))
                                        .toObject();
        return addedDevices(devices).contains(firefoxDevice);
    }

private:
    QString change(const QDir &root, bool removal) const
    {
        const QString path = root.filePath(file);
        QString why;
        std::optional<QJsonObject> policies = readPolicies(path, shown(), why);
        const auto module = std::find_if(p11KitTrustModules.cbegin(), p11KitTrustModules.cend(),
                                         [&root](const QString &file) { return QFileInfo::exists(root.filePath(file)); });
        const QString modulePath = module == p11KitTrustModules.cend() ? QString() : QLatin1Char('/') + *module;
        if (!policies)
            return why;
        if (!removal && modulePath.isEmpty())
            return QStringLiteral("p11-kit-trust.so is missing (p11-kit-modules)");
        if (mergeFirefoxDevice(*policies, removal ? nullptr : &modulePath) == Merge::Unchanged)
            return QString();
        // Nothing but an empty policies object left: the file was only ours.
        const bool empty = policies->size() == 1 && policies->value(QStringLiteral("policies")).toObject().isEmpty();
        const bool ok = removal && empty ? QFile::remove(path)
                                         : writeIfDifferent(path, QJsonDocument(*policies).toJson()) != Write::Failed;
        return ok ? QString() : QStringLiteral("%1 could not be written").arg(shown());
    }
};

} // namespace

std::unique_ptr<TrustTarget> makeFirefoxPolicy(QString id, QStringList presentWhen, QString file, QString ourFolders)
{
    return std::make_unique<FirefoxPolicy>(std::move(id), std::move(presentWhen), std::move(file), std::move(ourFolders));
}

} // namespace Ps
