// The system trust off Windows, against fake file-system roots: which family
// a machine is taken for, our files in its trust source and nothing else,
// and what its refresh reports.
#include "linuxtrust.h"
#include "storefixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace StoreFixture;

namespace {

const QString debianAnchors = QStringLiteral("usr/local/share/ca-certificates");
const QString debianTool = QStringLiteral("usr/sbin/update-ca-certificates");

QByteArray testFileAt(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray testFile(const QString &name)
{
    return testFileAt(testData(name));
}

// A test certificate as the system trust takes it; the test's own fixture.
Ps::TrustRoot trustRoot(const QString &name)
{
    return Ps::readTrustRoot(testFile(name)).value_or(Ps::TrustRoot{});
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
    void mergesFirefoxPolicy_data();
    void mergesFirefoxPolicy();
    void checksTargets_data();
    void checksTargets();
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

    QVERIFY(!trust->holds(trustRoot("root.der")));
    QCOMPARE(int(trust->place({trustRoot("root.der")}).kind), int(Ps::TrustOutcome::Updated));
    QVERIFY(trust->holds(trustRoot("root.der")));
    QVERIFY(trust->holds(trustRoot("root.pem")));
    QFile placed(folder + '/' + ours);
    QVERIFY2(placed.open(QIODevice::ReadOnly), qPrintable(placed.fileName()));
    QCOMPARE(placed.readAll(), testFile("root.pem"));
    QVERIFY(!Ps::readTrustRoot(testFile("text.txt")));
    QCOMPARE(trustRoot("root.pem").der, testFile("root.der"));

    QCOMPARE(int(trust->withdraw({trustRoot("root.der")}).kind), int(Ps::TrustOutcome::Updated));
    QVERIFY(!trust->holds(trustRoot("root.der")));
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
    QTest::addColumn<int>("places"); // how many times the root is placed before the refresh

    for (const bool background : {false, true}) {
        const char *how = background ? "in the background" : "waited for";
        QTest::addRow("refresh succeeds, %s", how)
            << QStringList{debianAnchors} << 0 << true << background << int(Ps::TrustOutcome::Updated) << 0 << 1;
        QTest::addRow("refresh fails, %s", how) << QStringList{debianAnchors} << 3 << true << background
                                                << int(Ps::TrustOutcome::RefreshFailed) << 3 << 1;
        QTest::addRow("tool missing, %s", how) << QStringList{debianAnchors} << -1 << true << background
                                               << int(Ps::TrustOutcome::ToolMissing) << 0 << 1;
        QTest::addRow("not root, %s", how) << QStringList{debianAnchors} << 0 << false << background
                                           << int(Ps::TrustOutcome::NotPrivileged) << 0 << 1;
        QTest::addRow("no family, %s", how)
            << QStringList() << 0 << true << background << int(Ps::TrustOutcome::NoFamily) << 0 << 1;
        // The tool would fail: it is not run when nothing of ours changed.
        QTest::addRow("nothing changed, %s", how) << QStringList{debianAnchors} << 3 << true << background
                                                  << int(Ps::TrustOutcome::Unchanged) << 0 << 2;
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
    QFETCH(int, places);

    const std::unique_ptr<Ps::SystemTrust> trust =
        Ps::makeLinuxTrust(fakeTrustRoot("refresh", anchors, debianTool, toolExit), privileged);
    for (int i = 0; i < places; ++i) {
        if (i > 0)
            trust->refresh();
        trust->place({trustRoot("root.der")});
    }
    std::optional<Ps::TrustOutcome> outcome;
    if (background)
        trust->refreshInBackground([&](const Ps::TrustOutcome &done) { outcome = done; });
    else
        outcome = trust->refresh();
    QTRY_VERIFY(outcome.has_value());
    QCOMPARE(int(outcome->kind), kind);
    QCOMPARE(outcome->exitCode, exitCode);
}

namespace {

const QString firefoxPolicies = QStringLiteral("etc/firefox/policies/policies.json");

// A Debian machine with Firefox and p11-kit's trust module.
QString firefoxMachine(const QString &name, bool module)
{
    const QString root = fakeTrustRoot(name, {debianAnchors, "usr/lib/firefox-esr", "usr/lib/pkcs11"}, QString(), -1);
    if (module)
        QFile(root + "/usr/lib/pkcs11/p11-kit-trust.so").open(QIODevice::WriteOnly);
    return root;
}

QJsonObject json(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

void TestSystemTrust::mergesFirefoxPolicy_data()
{
    QTest::addColumn<QByteArray>("before"); // empty: no file
    QTest::addColumn<bool>("module");       // p11-kit's trust module installed
    QTest::addColumn<QString>("placed");    // where our device sits in the placed file; empty: not placed
    QTest::addColumn<QString>("unreached");

    const QByteArray other = R"({"policies": {"DisableTelemetry": true}, "note": "kept"})";
    const QByteArray listed = R"({"policies": {"SecurityDevices": {"Add": {"Corp HSM": "/usr/lib/corp.so"}}}})";
    const QByteArray older = R"({"policies": {"SecurityDevices": {"Corp HSM": "/usr/lib/corp.so"}}})";
    QTest::newRow("no file") << QByteArray() << true << "Add" << "";
    QTest::newRow("a file with other policies") << other << true << "Add" << "";
    QTest::newRow("a file with other security devices") << listed << true << "Add" << "";
    QTest::newRow("other security devices in the older form") << older << true << "" << "";
    QTest::newRow("a file that is not JSON") << QByteArray("{\"policies\": {") << true << "-"
                                             << "firefox: /etc/firefox/policies/policies.json is not a policies file";
    QTest::newRow("policies that are not an object") << QByteArray(R"({"policies": []})") << true << "-"
                                                     << "firefox: /etc/firefox/policies/policies.json is not a policies file";
    QTest::newRow("no p11-kit module") << other << false << "-" << "firefox: p11-kit-trust.so is missing";
}

// Our security device goes into Firefox's one policy file beside whatever
// else is there, and comes out again leaving the rest as it was (the file
// goes when it was ours alone); a file that is no policies file is never
// rewritten.
void TestSystemTrust::mergesFirefoxPolicy()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, module);
    QFETCH(QString, placed);
    QFETCH(QString, unreached);

    const QString root = firefoxMachine(QStringLiteral("firefox"), module);
    const QString path = root + '/' + firefoxPolicies;
    if (!before.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
    }
    const std::unique_ptr<Ps::SystemTrust> trust = Ps::makeLinuxTrust(root, true);

    const Ps::TrustOutcome outcome = trust->place({trustRoot("root.der")});
    QStringList lines;
    for (const Ps::UnreachedTarget &target : outcome.unreached)
        lines.append(target.id + QStringLiteral(": ") + target.why);
    const QString joined = lines.join('\n');
    QVERIFY2(unreached.isEmpty() ? joined.isEmpty() : joined.startsWith(unreached), qPrintable(joined));
    QFile file(path);
    if (placed == QLatin1String("-")) {
        QCOMPARE(testFileAt(path), before);
    } else {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject devices = json(file.readAll())["policies"].toObject()["SecurityDevices"].toObject();
        if (!placed.isEmpty())
            devices = devices[placed].toObject();
        QCOMPARE(devices["vyr-cert-installer p11-kit-trust"].toString(), QStringLiteral("/usr/lib/pkcs11/p11-kit-trust.so"));
        file.close();
    }
    QCOMPARE(trust->check({trustRoot("root.der")}).value(1).holds, placed != QLatin1String("-"));

    trust->withdraw({trustRoot("root.der")});
    if (before.isEmpty()) {
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(root + "/etc/firefox"));
    } else {
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        QVERIFY2(placed == QLatin1String("-") ? after == before : json(after) == json(before), after.constData());
    }
}

void TestSystemTrust::checksTargets_data()
{
    QTest::addColumn<QStringList>("folders"); // besides Debian's trust source
    QTest::addColumn<QString>("keystore");    // Java's: "", "holds" or "lacks"
    QTest::addColumn<QStringList>("placed");  // target ids after the place
    QTest::addColumn<QStringList>("files");   // ours, besides the trust source's, after the place

    const QString chromium = QStringLiteral("etc/chromium/policies/managed/vyr-cert-installer.json");
    const QString chrome = QStringLiteral("etc/opt/chrome/policies/managed/vyr-cert-installer.json");
    QTest::newRow("no browser, no Java") << QStringList() << "" << QStringList{"bundle"} << QStringList();
    QTest::newRow("Chromium") << QStringList{"usr/lib/chromium", "etc/chromium"} << ""
                              << QStringList{"bundle", "chromium"} << QStringList{chromium};
    QTest::newRow("Google Chrome") << QStringList{"opt/google/chrome"} << "" << QStringList{"bundle", "chrome"}
                                   << QStringList{chrome};
    QTest::newRow("Java's keystore holds the root") << QStringList() << "holds" << QStringList{"bundle", "java"}
                                                    << QStringList();
    QTest::newRow("Java's keystore lacks the root") << QStringList() << "lacks" << QStringList{"bundle"}
                                                    << QStringList();
}

// Each client present on the machine is a target of its own: a browser's
// policy file lists the roots and goes on removal, with the folders it
// needed; Java's keystore is read, never written here.
void TestSystemTrust::checksTargets()
{
    QFETCH(QStringList, folders);
    QFETCH(QString, keystore);
    QFETCH(QStringList, placed);
    QFETCH(QStringList, files);

    const QString root = fakeTrustRoot(QStringLiteral("targets"), QStringList{debianAnchors} + folders, QString(), -1);
    const QByteArray der = testFile("root.der");
    if (!keystore.isEmpty()) {
        QVERIFY(QDir().mkpath(root + "/etc/ssl/certs/java"));
        QFile file(root + "/etc/ssl/certs/java/cacerts");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromHex("feedfeed00000002") + (keystore == QLatin1String("holds") ? der : testFile("other.der")));
    }
    const std::unique_ptr<Ps::SystemTrust> trust = Ps::makeLinuxTrust(root, true);
    trust->place({trustRoot("root.der")});
    {
        // The bundle the refresh would have written.
        QVERIFY(QDir().mkpath(root + "/etc/ssl/certs"));
        QFile bundle(root + "/etc/ssl/certs/ca-certificates.crt");
        QVERIFY(bundle.open(QIODevice::WriteOnly));
        bundle.write(testFile("other.pem") + testFile("root.pem"));
    }
    QStringList holding;
    for (const Ps::TrustTargetState &state : trust->check({trustRoot("root.der")})) {
        if (state.holds)
            holding << state.id;
    }
    QCOMPARE(holding, placed);
    for (const QString &file : files) {
        const QJsonArray listed = json(testFileAt(root + '/' + file))["CACertificates"].toArray();
        QCOMPARE(listed, QJsonArray{QString::fromLatin1(der.toBase64())});
    }

    trust->withdraw({trustRoot("root.der")});
    for (const QString &file : files) {
        QVERIFY2(!QFileInfo::exists(root + '/' + file), qPrintable(file));
        QVERIFY(!QFileInfo::exists(root + '/' + file.section('/', 0, -3)));
    }
    QVERIFY(QFileInfo::exists(root + "/etc/chromium") == folders.contains("etc/chromium"));
}

QTEST_GUILESS_MAIN(TestSystemTrust)
#include "tst_systemtrust.moc"
