// The system trust off Windows, against fake file-system roots: which family
// a machine is taken for, our files in its trust source and nothing else,
// and what its refresh reports.
#include "linuxtrust.h"
#include "storefixture.h"

#include <QtTest>

using namespace StoreFixture;

namespace {

const QString debianAnchors = QStringLiteral("usr/local/share/ca-certificates");
const QString debianTool = QStringLiteral("usr/sbin/update-ca-certificates");

QByteArray testFile(const QString &name)
{
    QFile file(testData(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSystemTrust : public QObject
{
    Q_OBJECT

private slots:
    void findsFamily_data();
    void findsFamily();
    void keepsToItsOwnFiles_data();
    void keepsToItsOwnFiles();
    void refreshes_data();
    void refreshes();
};

void TestSystemTrust::findsFamily_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("family"); // empty: none

    QTest::newRow("Debian and Ubuntu") << QStringList{debianAnchors} << "Debian";
    QTest::newRow("Fedora, RHEL and their kin") << QStringList{"etc/pki/ca-trust/source/anchors"} << "Fedora";
    QTest::newRow("openSUSE") << QStringList{"etc/pki/trust/anchors"} << "openSUSE";
    QTest::newRow("Arch and others with p11-kit")
        << QStringList{"etc/ca-certificates/trust-source/anchors"} << "p11-kit";
    QTest::newRow("none found") << QStringList{"etc/ssl/certs", "usr/share/ca-certificates"} << "";
    QTest::newRow("two found: the distribution's own tool first")
        << QStringList{"etc/ca-certificates/trust-source/anchors", debianAnchors} << "Debian";
}

void TestSystemTrust::findsFamily()
{
    QFETCH(QStringList, folders);
    QFETCH(QString, family);

    const std::optional<Ps::TrustFamily> found = Ps::findTrustFamily(fakeTrustRoot("detect", folders, QString(), -1));
    QCOMPARE(found ? found->name : QString(), family);
}

void TestSystemTrust::keepsToItsOwnFiles_data()
{
    QTest::addColumn<QString>("anchors");
    QTest::addColumn<QString>("ours"); // where the test root goes, relative to the anchors folder

    const QString thumbprint = thumbprintOf(QStringLiteral("root"));
    QTest::newRow("Debian: a folder of ours") << debianAnchors << "vyr-cert-installer/" + thumbprint + ".crt";
    QTest::newRow("Fedora: files named as ours")
        << "etc/pki/ca-trust/source/anchors" << "vyr-cert-installer-" + thumbprint + ".crt";
}

// A root placed is the PEM of the bundled bytes, beside what others put there;
// withdrawn, it goes, and so does our folder, and the others' files stay.
void TestSystemTrust::keepsToItsOwnFiles()
{
    QFETCH(QString, anchors);
    QFETCH(QString, ours);

    const QString root = fakeTrustRoot("files", {anchors}, QString(), -1);
    const QString folder = root + '/' + anchors;
    QVERIFY(QFile::copy(testData("other.pem"), folder + "/someone-else.crt"));
    const std::unique_ptr<Ps::SystemTrust> trust = Ps::makeLinuxTrust(root, true);

    QVERIFY(!trust->holds(testFile("root.der")));
    QVERIFY(trust->place(testFile("root.der")));
    QVERIFY(trust->holds(testFile("root.der")));
    QVERIFY(trust->holds(testFile("root.pem")));
    QFile placed(folder + '/' + ours);
    QVERIFY2(placed.open(QIODevice::ReadOnly), qPrintable(placed.fileName()));
    QCOMPARE(placed.readAll(), testFile("root.pem"));
    QVERIFY(!trust->place(testFile("text.txt")));

    QVERIFY(trust->withdraw(testFile("root.der")));
    QVERIFY(!trust->holds(testFile("root.der")));
    QVERIFY(!trust->withdraw(testFile("root.der")));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"someone-else.crt"});
}

void TestSystemTrust::refreshes_data()
{
    QTest::addColumn<QStringList>("anchors");
    QTest::addColumn<int>("toolExit"); // negative: no tool
    QTest::addColumn<bool>("privileged");
    QTest::addColumn<bool>("background");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("exitCode");

    for (const bool background : {false, true}) {
        const char *how = background ? "in the background" : "waited for";
        QTest::addRow("refresh succeeds, %s", how)
            << QStringList{debianAnchors} << 0 << true << background << int(Ps::TrustOutcome::Updated) << 0;
        QTest::addRow("refresh fails, %s", how) << QStringList{debianAnchors} << 3 << true << background
                                                << int(Ps::TrustOutcome::RefreshFailed) << 3;
        QTest::addRow("tool missing, %s", how) << QStringList{debianAnchors} << -1 << true << background
                                               << int(Ps::TrustOutcome::ToolMissing) << 0;
        QTest::addRow("not root, %s", how) << QStringList{debianAnchors} << 0 << false << background
                                           << int(Ps::TrustOutcome::NotPrivileged) << 0;
        QTest::addRow("no family, %s", how)
            << QStringList() << 0 << true << background << int(Ps::TrustOutcome::NoFamily) << 0;
    }
}

void TestSystemTrust::refreshes()
{
    QFETCH(QStringList, anchors);
    QFETCH(int, toolExit);
    QFETCH(bool, privileged);
    QFETCH(bool, background);
    QFETCH(int, kind);
    QFETCH(int, exitCode);

    const std::unique_ptr<Ps::SystemTrust> trust =
        Ps::makeLinuxTrust(fakeTrustRoot("refresh", anchors, debianTool, toolExit), privileged);
    std::optional<Ps::TrustOutcome> outcome;
    if (background)
        trust->refreshInBackground([&](const Ps::TrustOutcome &done) { outcome = done; });
    else
        outcome = trust->refresh();
    QTRY_VERIFY(outcome.has_value());
    QCOMPARE(int(outcome->kind), kind);
    QCOMPARE(outcome->exitCode, exitCode);
}

QTEST_GUILESS_MAIN(TestSystemTrust)
#include "tst_systemtrust.moc"
