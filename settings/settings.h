#ifndef PS_SETTINGS_H
#define PS_SETTINGS_H

#include <QJsonObject>
#include <QObject>
#include <QString>

class QStringListModel;

namespace Ps {

// The certificate lists named by a settings file inside the resource bundle.
// Every failure (no folder, no file, bad JSON, wrong types) ends in empty lists.
class Settings : public QObject
{
    Q_OBJECT

public:
    Settings(QObject *parent, const QString &fileName);

    static QJsonObject parseSettingsObject(const QString &text);

    static const QString jsonDirPath;

    QStringListModel *rootCertsModel;
    QStringListModel *interimCertsModel;

private:
    void loadSettings();
    QString readSettingsText() const;

    QString settingsFileName;
};

} // namespace Ps

#endif
