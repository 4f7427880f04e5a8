#include "mainview.h"

#include "installrun.h"
#include "mainviewform.h"
#include "runexplanation.h"
#include "settings.h"
#include "storeimport.h"
#include "verbs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringListModel>

namespace Ps {

const QString MainView::certDirPath = QStringLiteral(":/Cert");
const QString MainView::statusPrefix =
    QStringLiteral("<html><head/><body><p align='center'><span style=' font-size:12pt;'>");
const QString MainView::statusSuffix = QStringLiteral("</span></p></body></html>");

namespace {

QString progressText(int entry, int total, int succeeded)
{
    return QString::number(entry) + QLatin1String(" din ") + QString::number(total)
           + QLatin1String(". Succes - ") + QString::number(succeeded);
}

QString importMessage(const QString &name)
{
    return QStringLiteral("Importare certificat ") + name;
}

// Shows a run as it goes. Each label and bar write happens as it always did,
// but while the run holds the event loop the window paints at most once a
// frame: a synchronous repaint per bar step would cost more than the import.
class RunProgress : public InstallObserver
{
public:
    RunProgress(MainView &view, MainViewForm &form) : view(view), form(form)
    {
        sincePaint.start();
        view.setUpdatesEnabled(false);
    }
    ~RunProgress() override { view.setUpdatesEnabled(true); }

    void importing(const QString &name) override { view.showStatus(importMessage(name)); }

    void progressed(StoreList list, int entry, int total, int succeeded) override
    {
        const bool root = list == StoreList::Root;
        (root ? form.lblRootCertsProgress : form.lblInterimCertsProgress)
            ->setText(progressText(entry, total, succeeded));
        (root ? form.progressRootCerts : form.progressInterimCerts)->setValue(entry);
        if (sincePaint.elapsed() >= frameMs) {
            view.setUpdatesEnabled(true);
            view.repaint();
            view.setUpdatesEnabled(false);
            sincePaint.restart();
        }
    }

private:
    static constexpr qint64 frameMs = 16;
    MainView &view;
    MainViewForm &form;
    QElapsedTimer sincePaint;
};

} // namespace

MainView::MainView(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainViewForm)
    , settings(new Settings(this, QStringLiteral("Settings.json")))
{
    const CertificateLists lists = CertificateLists::fromSettings(*settings);
    interimCertFiles = lists.intermediates;
    rootCertFiles = lists.roots;
    ui->setupForm(this);
    ui->lblInterimCertsProgress->setText(QLatin1String("0 din ") + QString::number(interimCertFiles.size()));
    ui->lblRootCertsProgress->setText(QLatin1String("0 din ") + QString::number(rootCertFiles.size()));
}

MainView::~MainView()
{
    delete ui;
}

void MainView::setSystemTrust(std::shared_ptr<SystemTrust> trust)
{
    systemTrust = std::move(trust);
}

void MainView::showStatus(const QString &message)
{
    ui->lblStatus->setText(statusPrefix + message + statusSuffix);
}

bool MainView::importCertificate(const wchar_t *filePath, const wchar_t *storeName, QString displayName)
{
    return addCertificateFileToStore(filePath, storeName, [&] { showStatus(importMessage(displayName)); })
           == ImportResult::Added;
}

void MainView::on_btnInstall_clicked()
{
    showStatus(QStringLiteral("Instalare..."));
    const int rootTotal = rootCertFiles.size();
    const int interimTotal = interimCertFiles.size();
    ui->progressInterimCerts->setMaximum(interimTotal);
    ui->progressRootCerts->setMaximum(rootTotal);

    VerbReport report;
    {
        RunProgress progress(*this, *ui);
        report = runInstall({rootCertFiles, interimCertFiles}, systemTrust.get(), progress);
    }

    ui->lblStatus->setText(statusPrefix
                           + QString::fromUtf8(u8"Importare finalizat\u0103 <br/> Importat cu succes ")
                           + QString::number(report.imported) + QLatin1String(" certificate din ")
                           + QString::number(rootTotal + interimTotal) + statusSuffix);
    QStringList parts;
    if (report.withdrawnCount() > 0)
        parts << withdrawnMessage(report.withdrawnCount());
    parts << runExplanation(report.certificates + report.retired);
    parts.removeAll(QString());
    const QString explanation = parts.join(QLatin1Char(' '));
    if (explanation.isEmpty())
        ui->statusBar->clearMessage();
    else
        ui->statusBar->showMessage(explanation);
    if (report.trust)
        showSystemTrust(report, explanation);
}

// The summary stands as soon as the stores are written; the system trust's
// refresh, seconds long, goes on in the background and reports on the status
// bar, after what the run itself had to say.
void MainView::showSystemTrust(const VerbReport &report, const QString &explanation)
{
    const QPointer<QStatusBar> statusBar = ui->statusBar;
    auto show = [statusBar, explanation](const QString &trust) {
        if (statusBar)
            statusBar->showMessage(explanation.isEmpty() ? trust : explanation + QLatin1Char(' ') + trust);
    };
    if (!report.refreshPending) {
        show(trustMessage(*report.trust));
        return;
    }
    show(trustUpdatingMessage());
    // The machine's lock goes with the refresh: no other run starts before it ends.
    systemTrust->refreshInBackground([show, turn = report.turn](const TrustOutcome &outcome) mutable {
        turn.reset();
        show(trustMessage(outcome));
    });
}

} // namespace Ps
