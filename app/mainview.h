#ifndef PS_MAINVIEW_H
#define PS_MAINVIEW_H

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>

class MainViewForm;

namespace Ps {

class Settings;
class SystemTrust;
struct VerbReport;

// The one window: two certificate lists, their progress, and a status line.
class MainView : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainView(QWidget *parent = nullptr);
    ~MainView() override;

    void showStatus(const QString &message);
    // Where a run's roots go beside the "ROOT" store; none by default.
    void setSystemTrust(std::shared_ptr<SystemTrust> trust);
    bool importCertificate(const wchar_t *filePath, const wchar_t *storeName, QString displayName);

    static const QString certDirPath;
    static const QString statusPrefix;
    static const QString statusSuffix;

private slots:
    void on_btnInstall_clicked();

private:
    void showSystemTrust(const VerbReport &report, const QString &explanation);

    MainViewForm *ui;
    Settings *settings;
    QStringList rootCertFiles;
    QStringList interimCertFiles;
    std::shared_ptr<SystemTrust> systemTrust;
};

} // namespace Ps

#endif
