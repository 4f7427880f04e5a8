#ifndef PS_MAINVIEW_H
#define PS_MAINVIEW_H

#include <QMainWindow>
#include <QString>
#include <QStringList>

class MainViewForm;

namespace Ps {

class Settings;

// The one window: two certificate lists, their progress, and a status line.
class MainView : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainView(QWidget *parent = nullptr);
    ~MainView() override;

    void showStatus(const QString &message);
    bool importCertificate(const wchar_t *filePath, const wchar_t *storeName, QString displayName);

    static const QString certDirPath;
    static const QString statusPrefix;
    static const QString statusSuffix;

private slots:
    void on_btnInstall_clicked();

private:
    MainViewForm *ui;
    Settings *settings;
    QStringList rootCertFiles;
    QStringList interimCertFiles;
};

} // namespace Ps

#endif
