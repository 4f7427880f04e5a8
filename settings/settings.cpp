#include "settings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>
#include <QStringListModel>

namespace Ps {

const QString Settings::jsonDirPath = QStringLiteral(":/Json");

namespace {

// A non-string element still occupies its place, as an empty name, so the
// list keeps the positions the file gives.
QStringList stringsOf(const QJsonValue &value)
{
    QStringList names;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array)
        names.append(element.toString());
    return names;
}

} // namespace

Settings::Settings(QObject *parent, const QString &fileName)
    : QObject(parent)
    , rootCertsModel(new QStringListModel(this))
    , interimCertsModel(new QStringListModel(this))
    , settingsFileName(fileName)
{
    loadSettings();
}

QString Settings::readSettingsText() const
{
    const QDir dir(jsonDirPath);
    if (!dir.exists())
        return QString();

    QFile file(dir.filePath(settingsFileName));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();

    // Stops at the first zero byte, like any C string of the file's text.
    return QString::fromUtf8(file.readAll().constData());
}

QJsonObject Settings::parseSettingsObject(const QString &text)
{
    QJsonParseError error;
    return QJsonDocument::fromJson(text.toUtf8(), &error).object();
}

void Settings::loadSettings()
{
    const QString text = readSettingsText();
    if (text.isEmpty())
        return;

    const QJsonObject settings = parseSettingsObject(text);
    rootCertsModel->setStringList(stringsOf(settings.value(QLatin1String("rootCerts"))));
    interimCertsModel->setStringList(stringsOf(settings.value(QLatin1String("interimCerts"))));
}

} // namespace Ps
