#include "mainview.h"

#include "mainviewform.h"
#include "settings.h"
#include "storeimport.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QStringListModel>

namespace Ps {

const QString MainView::certDirPath = QStringLiteral(":/Cert");
const QString MainView::statusPrefix =
    QStringLiteral("<html><head/><body><p align='center'><span style=' font-size:12pt;'>");
const QString MainView::statusSuffix = QStringLiteral("</span></p></body></html>");

namespace {

// A settings entry names a file inside the bundle's certificate folder. Joined
// to the temporary folder, anything but a bare name could reach outside it,
// and the removal before the copy would then delete someone else's file.
bool isBareFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
           && !name.contains(QChar(0));
}

QString progressText(int entry, int total, int succeeded)
{
    return QString::number(entry) + QLatin1String(" din ") + QString::number(total)
           + QLatin1String(". Succes - ") + QString::number(succeeded);
}

} // namespace

MainView::MainView(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainViewForm)
    , settings(new Settings(this, QStringLiteral("Settings.json")))
{
    interimCertFiles = settings->interimCertsModel->stringList();
    rootCertFiles = settings->rootCertsModel->stringList();
    ui->setupForm(this);
    ui->lblInterimCertsProgress->setText(QLatin1String("0 din ") + QString::number(interimCertFiles.size()));
    ui->lblRootCertsProgress->setText(QLatin1String("0 din ") + QString::number(rootCertFiles.size()));
}

MainView::~MainView()
{
    delete ui;
}

void MainView::showStatus(const QString &message)
{
    ui->lblStatus->setText(statusPrefix + message + statusSuffix);
}

bool MainView::importCertificate(const wchar_t *filePath, const wchar_t *storeName, QString displayName)
{
    return addCertificateFileToStore(filePath, storeName, [&] {
        showStatus(QStringLiteral("Importare certificat ") + displayName);
    });
}

void MainView::on_btnInstall_clicked()
{
    showStatus(QStringLiteral("Instalare..."));
    const QDir certDir(certDirPath);
    const int rootTotal = rootCertFiles.size();
    const int interimTotal = interimCertFiles.size();
    ui->progressInterimCerts->setMaximum(interimTotal);
    ui->progressRootCerts->setMaximum(rootTotal);

    const int rootOk = installList(certDir, rootCertFiles, L"ROOT", ui->lblRootCertsProgress, ui->progressRootCerts);
    const int interimOk = installList(certDir, interimCertFiles, L"CA", ui->lblInterimCertsProgress,
                                      ui->progressInterimCerts);

    ui->lblStatus->setText(statusPrefix
                           + QString::fromUtf8(u8"Importare finalizat\u0103 <br/> Importat cu succes ")
                           + QString::number(rootOk + interimOk) + QLatin1String(" certificate din ")
                           + QString::number(rootTotal + interimTotal) + statusSuffix);
}

int MainView::installList(const QDir &certDir, const QStringList &names, const wchar_t *storeName,
                          QLabel *progressLabel, QProgressBar *progressBar)
{
    const int total = names.size();
    int succeeded = 0;
    for (int i = 0; i < total; ++i) {
        const QString &name = names.at(i);
        const QString tempPath = QDir::tempPath() + QLatin1Char('/') + name;
        if (isBareFileName(name) && copyAndImport(certDir.filePath(name), tempPath, name, storeName))
            ++succeeded;
        progressLabel->setText(progressText(i + 1, total, succeeded));
        progressBar->setValue(i + 1);
    }
    return succeeded;
}

// The import needs a real file. Only a copy this run made is imported: a file
// left at the temporary path by someone else would otherwise be installed in
// its place.
bool MainView::copyAndImport(const QString &sourcePath, const QString &tempPath, const QString &name,
                             const wchar_t *storeName)
{
    if (QFile::exists(tempPath))
        QFile::remove(tempPath);
    if (!QFile::copy(sourcePath, tempPath))
        return false;
    // Copies of bundled files come out read-only; Windows would then refuse
    // the next run's removal, and with it the next run's copy.
    QFile::setPermissions(tempPath, QFile::permissions(tempPath) | QFileDevice::WriteOwner);
    return importCertificate(tempPath.toStdWString().c_str(), storeName, name);
}

} // namespace Ps
