// The import of one file and the installation run behind the install button,
// in process, against the scratch stores and with test bundles registered at
// run time.
#include "linuxtrust.h"
#include "mainview.h"
#include "verbs.h"
#include "storefixture.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QStatusBar>
#include <QtTest>

#include <functional>
#include <memory>

using namespace StoreFixture;

namespace {

QString bundle(const char *name)
{
    return QStringLiteral(VYR_TEST_BUNDLES "/") + QLatin1String(name) + QStringLiteral(".rcc");
}

QString summary(int succeeded, int total)
{
    return Ps::MainView::statusPrefix
           + QString::fromUtf8(u8"Importare finalizat\u0103 <br/> Importat cu succes %1 certificate din %2")
                 .arg(succeeded)
                 .arg(total)
           + Ps::MainView::statusSuffix;
}

QStringList certificateFiles(const QString &store)
{
    return QDir(storeFolder(store)).entryList({QStringLiteral("*.crt")}, QDir::Files);
}

// Registers a test bundle for one scope.
class Bundle
{
public:
    explicit Bundle(const QString &path) : path(path) { registered = QResource::registerResource(path); }
    ~Bundle()
    {
        if (registered)
            QResource::unregisterResource(path);
    }
    bool registered = false;

private:
    QString path;
};

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void importsOneFile_data();
    void importsOneFile();
    void runsBothLists_data();
    void runsBothLists();
    void reportsSystemTrust_data();
    void reportsSystemTrust();
    void secondRunStartsAfresh();
    void unsafeNamesTouchNoFile();

private:
    template <typename T>
    T *child(Ps::MainView &view, const char *name)
    {
        return view.findChild<T *>(QLatin1String(name));
    }
    QString tempDir() const { return QStringLiteral(VYR_TEST_SCRATCH "/tmp/run"); }
    std::function<bool()> plant(const QString &hazard);

    std::unique_ptr<Bundle> certificates;
};

void TestInstall::initTestCase()
{
    // The run copies into the temporary folder; keep it inside the scratch
    // space, one level down, so names that climb out of it can be watched.
    qputenv("TMPDIR", tempDir().toLocal8Bit());
    certificates = std::make_unique<Bundle>(bundle("certs"));
    QVERIFY(certificates->registered);
}

void TestInstall::init()
{
    clearStores();
    QDir(QStringLiteral(VYR_TEST_SCRATCH "/tmp")).removeRecursively();
    QVERIFY(QDir().mkpath(tempDir()));
}

void TestInstall::importsOneFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("store");
    QTest::addColumn<bool>("added");

    QTest::newRow("DER root into ROOT") << "root.der" << "ROOT" << true;
    QTest::newRow("PEM intermediate into CA") << "inter.pem" << "CA" << true;
    QTest::newRow("missing file") << "absent.der" << "ROOT" << false;
    QTest::newRow("not a certificate") << "text.txt" << "ROOT" << false;
    QTest::newRow("truncated certificate") << "truncated.der" << "ROOT" << false;
    QTest::newRow("CRL") << "crl.der" << "ROOT" << false;
    QTest::newRow("PKCS #7 bundle") << "p7.der" << "CA" << false;
    QTest::newRow("unknown store") << "root.der" << "VyrNoSuchStore" << false;
}

// The status line announces a certificate only once its store is open, and
// a failed decode or open leaves the line as it was.
void TestInstall::importsOneFile()
{
    QFETCH(QString, file);
    QFETCH(QString, store);
    QFETCH(bool, added);

    Ps::MainView view;
    view.showStatus(QStringLiteral("Instalare..."));
    const QString before = child<QLabel>(view, "lblStatus")->text();

    const bool result = view.importCertificate(testData(file).toStdWString().c_str(), store.toStdWString().c_str(),
                                               QStringLiteral("Display_Name.cer"));

    QCOMPARE(result, added);
    const QString status = child<QLabel>(view, "lblStatus")->text();
    if (added) {
        QCOMPARE(status, Ps::MainView::statusPrefix + QStringLiteral("Importare certificat Display_Name.cer")
                             + Ps::MainView::statusSuffix);
        QCOMPARE(certificateFiles(store).size(), 1);
    } else {
        QCOMPARE(status, before);
        QVERIFY(certificateFiles(QStringLiteral("ROOT")).isEmpty());
        QVERIFY(certificateFiles(QStringLiteral("CA")).isEmpty());
    }
}

void TestInstall::runsBothLists_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("rootLabel");
    QTest::addColumn<QString>("interimLabel");
    QTest::addColumn<int>("rootBar");
    QTest::addColumn<int>("interimBar");
    QTest::addColumn<int>("succeeded");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("rootFiles");
    QTest::addColumn<int>("interimFiles");
    QTest::addColumn<QString>("hazard"); // what waits in or at the temporary folder
    QTest::addColumn<QString>("statusBar");

    QTest::newRow("both lists empty")
        << bundle("settings_empty_lists") << "0 din 0" << "0 din 0" << 0 << 0 << 0 << 0 << 0 << 0 << "" << "";
    QTest::newRow("4 roots and 5 intermediates")
        << bundle("settings_shipped") << "4 din 4. Succes - 4" << "5 din 5. Succes - 5" << 4 << 5 << 9 << 9 << 4 << 5
        << "" << "";
    QTest::newRow("second of four roots missing from the bundle")
        << bundle("settings_second_root_missing") << "4 din 4. Succes - 3" << "5 din 5. Succes - 5" << 4 << 5 << 8
        << 9 << 3 << 5 << "" << "Nu au putut fi citite ca certificate: Vyr_Root_CA_9.cer.";
    QTest::newRow("a name listed twice counts twice")
        << bundle("settings_listed_twice") << "3 din 3. Succes - 3" << "2 din 2. Succes - 2" << 3 << 2 << 5 << 5
        << 2 << 1 << "" << "";
    QTest::newRow("unsafe names count as attempts without success")
        << bundle("settings_unsafe_names") << "8 din 8. Succes - 1" << "2 din 2. Succes - 1" << 8 << 2 << 2 << 10
        << 1 << 1 << ""
        << QString::fromUtf8(u8"Setările numesc fișiere care nu pot fi folosite: \"\", \".\", \"..\", "
                             u8"\"../victim.cer\", \"sub/victim.cer\", \"sub\\victim.cer\", \"../../victim.crt\".");
    QTest::newRow("a bundled file that is not a certificate")
        << bundle("settings_not_a_certificate") << "4 din 4. Succes - 3" << "5 din 5. Succes - 5" << 4 << 5 << 8
        << 9 << 3 << 5 << "" << "Nu au putut fi citite ca certificate: Not_A_Certificate.cer.";
    for (const char *hazard : {"missing temporary folder", "file as temporary folder"}) {
        QTest::newRow(hazard) << bundle("settings_shipped") << "4 din 4. Succes - 0" << "5 din 5. Succes - 0" << 4
                              << 5 << 0 << 9 << 0 << 0 << hazard
                              << QString::fromUtf8(u8"Dosarul temporar nu există sau nu este un dosar.");
    }
    QTest::newRow("dangling link at a copy's path is removed, not followed")
        << bundle("settings_shipped") << "4 din 4. Succes - 4" << "5 din 5. Succes - 5" << 4 << 5 << 9 << 9 << 4 << 5
        << "dangling link" << "";
    QTest::newRow("a later release withdraws the retired ones the first added")
        << bundle("settings_second_release") << "3 din 3. Succes - 3" << "4 din 4. Succes - 4" << 3 << 4 << 7 << 7 << 3
        << 4 << "first release installed" << QString::fromUtf8(u8"Certificate scoase din uz și retrase: 2.");
    QTest::newRow("folder at a copy's path: left, the entry imported all the same")
        << bundle("settings_shipped") << "4 din 4. Succes - 4" << "5 din 5. Succes - 5" << 4 << 5 << 9 << 9 << 4 << 5
        << "folder"
        << QString::fromUtf8(u8"Copiile nu au putut fi lăsate în dosarul temporar, unde un fișier al altui utilizator "
                             u8"le poartă numele (neatins); au fost importate dintr-o copie privată: Vyr_Root_CA_1.cer.");
}

// Sets up a hazard; the returned check says whether everything outside the
// temporary folder, and any folder in it, came through untouched.
std::function<bool()> TestInstall::plant(const QString &hazard)
{
    const QString copyPath = tempDir() + QStringLiteral("/Vyr_Root_CA_1.cer");
    const QString elsewhere = QStringLiteral(VYR_TEST_SCRATCH "/tmp/elsewhere");
    if (hazard == QLatin1String("missing temporary folder")) {
        qputenv("TMPDIR", (tempDir() + QStringLiteral("/missing")).toLocal8Bit());
    } else if (hazard == QLatin1String("file as temporary folder")) {
        QFile file(tempDir() + QStringLiteral("/file"));
        file.open(QIODevice::WriteOnly);
        qputenv("TMPDIR", file.fileName().toLocal8Bit());
    } else if (hazard == QLatin1String("dangling link")) {
        QDir().mkpath(elsewhere);
        QFile::link(elsewhere + QStringLiteral("/victim.cer"), copyPath);
        return [=] { return QDir(elsewhere).isEmpty() && !QFileInfo(copyPath).isSymLink(); };
    } else if (hazard == QLatin1String("first release installed")) {
        Ps::InstallObserver quiet;
        Ps::runInstall({{"Vyr_Root_CA_1.cer", "Vyr_Root_CA_2.cer", "Vyr_Root_CA_3.crt"},
                        {"Vyr_Int_1.crt", "Vyr_Int_2.crt", "Vyr_Int_3.crt", "Vyr_Int_4.crt", "Vyr_Int_5.crt"}},
                       nullptr, quiet);
    } else if (hazard == QLatin1String("folder")) {
        QDir().mkpath(copyPath);
        QFile kept(copyPath + QStringLiteral("/kept"));
        kept.open(QIODevice::WriteOnly);
        return [=] { return QFileInfo(copyPath).isDir() && QFile::exists(copyPath + QStringLiteral("/kept")); };
    }
    // A temporary path taken as empty would put the copies at the root.
    return [] { return !QFile::exists(QStringLiteral("/Vyr_Root_CA_1.cer")) && !QFile::exists(QStringLiteral("/Vyr_Int_1.crt")); };
}

void TestInstall::runsBothLists()
{
    QFETCH(QString, settings);
    QFETCH(QString, rootLabel);
    QFETCH(QString, interimLabel);
    QFETCH(int, rootBar);
    QFETCH(int, interimBar);
    QFETCH(int, succeeded);
    QFETCH(int, total);
    QFETCH(int, rootFiles);
    QFETCH(int, interimFiles);
    QFETCH(QString, hazard);
    QFETCH(QString, statusBar);

    Bundle settingsBundle(settings);
    QVERIFY(settingsBundle.registered);
    Ps::MainView view;
    const std::function<bool()> untouched = plant(hazard);
    QTest::mouseClick(child<QPushButton>(view, "btnInstall"), Qt::LeftButton);
    qputenv("TMPDIR", tempDir().toLocal8Bit());
    QVERIFY(untouched());

    QCOMPARE(child<QLabel>(view, "lblRootCertsProgress")->text(), rootLabel);
    QCOMPARE(child<QLabel>(view, "lblInterimCertsProgress")->text(), interimLabel);
    QCOMPARE(child<QProgressBar>(view, "progressRootCerts")->value(), rootBar);
    QCOMPARE(child<QProgressBar>(view, "progressRootCerts")->maximum(), rootBar);
    QCOMPARE(child<QProgressBar>(view, "progressInterimCerts")->value(), interimBar);
    QCOMPARE(child<QProgressBar>(view, "progressInterimCerts")->maximum(), interimBar);
    QCOMPARE(child<QLabel>(view, "lblStatus")->text(), summary(succeeded, total));
    QCOMPARE(child<QStatusBar>(view, "statusBar")->currentMessage(), statusBar);
    QCOMPARE(certificateFiles(QStringLiteral("ROOT")).size(), rootFiles);
    QCOMPARE(certificateFiles(QStringLiteral("CA")).size(), interimFiles);
    if (total == 0)
        QVERIFY(QDir(tempDir()).isEmpty());
}

void TestInstall::reportsSystemTrust_data()
{
    QTest::addColumn<int>("toolExit");
    QTest::addColumn<QByteArray>("firefoxPolicies"); // empty: no Firefox on the machine
    QTest::addColumn<QString>("statusBar");

    QTest::newRow("refresh succeeds") << 0 << QByteArray()
                                      << QString::fromUtf8(u8"Încrederea sistemului a fost actualizată (Debian).");
    QTest::newRow("refresh fails") << 3 << QByteArray()
                                   << QString::fromUtf8(u8"Încrederea sistemului nu a fost actualizată: "
                                                        u8"/usr/sbin/update-ca-certificates a ieșit cu codul 3.");
    QTest::newRow("Firefox's policy file is not JSON")
        << 0 << QByteArray("{\"policies\": ")
        << QString::fromUtf8(u8"Încrederea sistemului a fost actualizată (Debian). Nu au putut fi atinse: firefox: "
                             u8"/etc/firefox/policies/policies.json is not a policies file; left as it was.");
}

// The summary is there at once; the status bar says the system trust is being
// updated while the refresh runs, then how it went. The roots, not the
// intermediates, are in the trust source.
void TestInstall::reportsSystemTrust()
{
    QFETCH(int, toolExit);
    QFETCH(QByteArray, firefoxPolicies);
    QFETCH(QString, statusBar);

    const QString root = fakeTrustRoot(QStringLiteral("window"), {"usr/local/share/ca-certificates"},
                                       QStringLiteral("usr/sbin/update-ca-certificates"), toolExit);
    if (!firefoxPolicies.isEmpty()) {
        QVERIFY(QDir(root).mkpath("usr/lib/firefox-esr") && QDir(root).mkpath("etc/firefox/policies"));
        QFile policies(root + "/etc/firefox/policies/policies.json");
        QVERIFY(policies.open(QIODevice::WriteOnly) && policies.write(firefoxPolicies) > 0);
    }
    Bundle settingsBundle(bundle("settings_shipped"));
    QVERIFY(settingsBundle.registered);
    Ps::MainView view;
    view.setSystemTrust(Ps::makeLinuxTrust(root, true));
    QTest::mouseClick(child<QPushButton>(view, "btnInstall"), Qt::LeftButton);

    QCOMPARE(child<QLabel>(view, "lblStatus")->text(), summary(9, 9));
    QCOMPARE(child<QStatusBar>(view, "statusBar")->currentMessage(),
             QString::fromUtf8(u8"Se actualizează încrederea sistemului..."));
    QTRY_COMPARE(child<QStatusBar>(view, "statusBar")->currentMessage(), statusBar);
    QCOMPARE(QDir(root + "/usr/local/share/ca-certificates/vyr-cert-installer").entryList(QDir::Files).size(), 4);
}

void TestInstall::secondRunStartsAfresh()
{
    Bundle settingsBundle(bundle("settings_second_root_missing"));
    QVERIFY(settingsBundle.registered);
    Ps::MainView view;
    QPushButton *install = child<QPushButton>(view, "btnInstall");

    QTest::mouseClick(install, Qt::LeftButton);
    const QStringList rootsAfterFirst = storeEntries(QStringLiteral("ROOT"));
    const QStringList interimsAfterFirst = storeEntries(QStringLiteral("CA"));
    QTest::mouseClick(install, Qt::LeftButton);

    QCOMPARE(child<QLabel>(view, "lblRootCertsProgress")->text(), QStringLiteral("4 din 4. Succes - 3"));
    QCOMPARE(child<QLabel>(view, "lblStatus")->text(), summary(8, 9));
    QCOMPARE(storeEntries(QStringLiteral("ROOT")), rootsAfterFirst);
    QCOMPARE(storeEntries(QStringLiteral("CA")), interimsAfterFirst);
    // The copies stay in the temporary folder between runs, writable by their
    // owner: bundled files copy out read-only, and Windows refuses to remove
    // a read-only file, which would stop the next run's copy.
    const QFileInfoList copies = QDir(tempDir()).entryInfoList(QDir::Files);
    QCOMPARE(copies.size(), 8);
    for (const QFileInfo &copy : copies)
        QVERIFY2(copy.permission(QFileDevice::WriteOwner), qPrintable(copy.fileName()));
}

// Names that would put the temporary copy outside the temporary folder are
// never used as paths: the files sitting where they point survive the run.
void TestInstall::unsafeNamesTouchNoFile()
{
    const QStringList victims{QStringLiteral(VYR_TEST_SCRATCH "/tmp/victim.cer"),
                              QStringLiteral(VYR_TEST_SCRATCH "/victim.crt"), tempDir() + "/sub/victim.cer",
                              tempDir() + "/sub\\victim.cer"};
    QVERIFY(QDir().mkpath(tempDir() + "/sub"));
    for (const QString &victim : victims) {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("someone else's file\n");
    }

    Bundle settingsBundle(bundle("settings_unsafe_names"));
    QVERIFY(settingsBundle.registered);
    Ps::MainView view;
    QTest::mouseClick(child<QPushButton>(view, "btnInstall"), Qt::LeftButton);

    for (const QString &victim : victims)
        QVERIFY2(QFile::exists(victim), qPrintable(victim));
    QFile::remove(QStringLiteral(VYR_TEST_SCRATCH "/victim.crt"));
    QCOMPARE(QDir(tempDir()).entryList(QDir::Files),
             QStringList({"sub\\victim.cer", "Vyr_Int_1.crt", "Vyr_Root_CA_1.cer"}));
}

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
