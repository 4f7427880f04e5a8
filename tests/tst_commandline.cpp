// The command line in process, against the scratch stores with test bundles
// registered at run time: each verb's lines and exit code, what it leaves in
// the stores (foreign certificates included), and every usage error.
#include "commandline.h"
#include "storefixture.h"
#include "storequery.h"

#include <windows.h>
#include <wincrypt.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QResource>
#include <QTextStream>
#include <QtTest>

using namespace StoreFixture;

namespace {

QString bundle(const QString &name)
{
    return QStringLiteral(VYR_TEST_BUNDLES "/") + name + QStringLiteral(".rcc");
}

struct Run
{
    int exitCode;
    QString out;
    QString err;
};

Run run(const QStringList &arguments, Ps::Program program = Ps::Program::Window)
{
    Run result;
    QTextStream out(&result.out);
    QTextStream err(&result.err);
    result.exitCode = Ps::runCommandLine(QStringList{QStringLiteral("vyr-cert-installer")} + arguments, out, err, program);
    out.flush();
    err.flush();
    return result;
}

// Adds a certificate file to a store the way any other program would.
bool addForeign(const QString &file, const wchar_t *storeName)
{
    const std::wstring path = (QFileInfo(file).isAbsolute() ? file : testData(file)).toStdWString();
    const void *context = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                          CERT_QUERY_CONTENT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr, &context))
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, storeName);
    const bool added = store && CertAddCertificateContextToStore(store, static_cast<PCCERT_CONTEXT>(context),
                                                                 CERT_STORE_ADD_ALWAYS, nullptr);
    CertCloseStore(store, 0);
    CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(context));
    return added;
}

bool verifiesWithRootStore(const QString &file)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), {"verify", "-CApath", storeFolder("ROOT"), testData(file)});
    return openssl.waitForFinished() && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

// What the machine went through before a row's verb.
enum Before {
    Nothing = 0,
    FirstRelease = 1 << 0,  // the first release's --install (the shipped bundle less one root, plus two retired)
    Installed = 1 << 1,     // the row's own bundle's --install
    RecordLost = 1 << 2,    // then the record deleted
    RecordGarbled = 1 << 3, // a record that is not ours to read
};

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void verbs_data();
    void verbs();
    void jsonOnRequest();
    void arguments_data();
    void arguments();
};

void TestCommandLine::initTestCase()
{
    qputenv("TMPDIR", QByteArray(VYR_TEST_SCRATCH "/tmp/cli"));
    QVERIFY(QResource::registerResource(bundle(QStringLiteral("certs"))));
}

void TestCommandLine::cleanupTestCase()
{
    QVERIFY(QResource::unregisterResource(bundle(QStringLiteral("certs"))));
}

void TestCommandLine::init()
{
    clearStores();
    QVERIFY(QDir().mkpath(QStringLiteral(VYR_TEST_SCRATCH "/tmp/cli")));
}

void TestCommandLine::verbs_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("before");          // Before's flags
    QTest::addColumn<QString>("thereBefore"); // a bundled root someone else put in ROOT first
    QTest::addColumn<QString>("verb");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("results"); // per line, what follows the thumbprint
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("err"); // what standard error starts with

    auto repeated = [](int count, const QString &word) {
        QStringList words;
        for (int i = 0; i < count; ++i)
            words << word;
        return words;
    };
    auto all = [&](const char *word) { return repeated(9, QLatin1String(word)); };
    QStringList secondMissing = all("added");
    secondMissing[1] = QStringLiteral("failed: no such file in the bundle");

    QTest::newRow("install into empty stores")
        << "settings_shipped" << int(Nothing) << "" << "--install" << 0 << all("added") << "9 of 9 certificates in their stores" << "";
    QTest::newRow("install again: what was there is said so")
        << "settings_shipped" << int(Installed) << "" << "--install" << 0 << all("present")
                                   << "9 of 9 certificates in their stores" << "";
    QTest::newRow("check after install") << "settings_shipped" << int(Installed) << "" << "--check" << 0 << all("present")
                                         << "9 of 9 certificates in their stores" << "";
    QTest::newRow("check of empty stores") << "settings_shipped" << int(Nothing) << "" << "--check" << 1 << all("missing")
                                           << "0 of 9 certificates in their stores" << "";
    QTest::newRow("remove after install") << "settings_shipped" << int(Installed) << "" << "--remove" << 0 << all("removed")
                                          << "0 of 9 certificates left in their stores" << "";
    const QString noRecord = QStringLiteral("no record of what this program added");
    QTest::newRow("remove from empty stores") << "settings_shipped" << int(Nothing) << "" << "--remove" << 0 << all("absent")
                                              << "0 of 9 certificates left in their stores" << noRecord;
    QTest::newRow("install with a root missing from the bundle")
        << "settings_second_root_missing" << int(Nothing) << "" << "--install" << 1 << secondMissing
        << "8 of 9 certificates in their stores" << "";
    secondMissing.replaceInStrings(QStringLiteral("added"), QStringLiteral("present"));
    QTest::newRow("check with a root missing from the bundle")
        << "settings_second_root_missing" << int(Installed) << "" << "--check" << 1 << secondMissing
        << "8 of 9 certificates in their stores" << "";
    // The number 7 in the list reads as an empty name.
    QStringList unsafe = repeated(10, QStringLiteral("failed: the name is not a bare file name"));
    unsafe[7] = QStringLiteral("added");
    unsafe[9] = QStringLiteral("added");
    QTest::newRow("install with unsafe names") << "settings_unsafe_names" << int(Nothing) << "" << "--install" << 1 << unsafe
                                               << "2 of 10 certificates in their stores" << "";
    for (const char *verb : {"--install", "--check", "--remove"}) {
        QTest::addRow("%s with empty lists", verb)
            << "settings_empty_lists" << int(Nothing) << "" << verb << 1 << QStringList()
            << "no certificates listed: the bundled settings are empty or unreadable"
            << (verb == QLatin1String("--remove") ? noRecord : QString());
    }

    // A later release retires Vyr_Root_CA_1 and Vyr_Int_5 and adds Vyr_Root_CA_4.
    const QString second = QStringLiteral("settings_second_release");
    QStringList laterSet{"present", "present", "added", "present", "present", "present", "present"};
    QTest::newRow("second release: check finds the retired")
        << second << int(FirstRelease) << "" << "--check" << 1
        << QStringList{"present", "present", "missing", "present", "present", "present", "present", "retired",
                       "retired"}
        << "6 of 7 certificates in their stores" << "";
    QTest::newRow("second release: install withdraws the retired")
        << second << int(FirstRelease) << "" << "--install" << 0 << laterSet + QStringList{"withdrawn", "withdrawn"}
        << "7 of 7 certificates in their stores" << "";
    QTest::newRow("second release: a retired root there before is forgotten, not deleted")
        << second << int(FirstRelease) << "Vyr_Root_CA_1.cer" << "--install" << 0
        << laterSet + QStringList{"withdrawn"} << "7 of 7 certificates in their stores" << "";
    QTest::newRow("empty lists withdraw nothing")
        << "settings_empty_lists" << int(FirstRelease) << "" << "--install" << 1 << QStringList()
        << "no certificates listed: the bundled settings are empty or unreadable" << "";
    QTest::newRow("second release: remove takes the retired too")
        << second << int(FirstRelease) << "" << "--remove" << 0
        << QStringList{"removed", "removed", "absent", "removed", "removed", "removed", "removed", "removed",
                       "removed"}
        << "0 of 7 certificates left in their stores" << "";
    QStringList thereBefore = all("added");
    thereBefore[1] = QStringLiteral("present");
    QTest::newRow("a root there before is said present")
        << "settings_shipped" << int(Nothing) << "Vyr_Root_CA_2.cer" << "--install" << 0 << thereBefore
        << "9 of 9 certificates in their stores" << "";
    thereBefore = all("removed");
    thereBefore[1] = QStringLiteral("kept");
    QTest::newRow("a root there before is kept by remove")
        << "settings_shipped" << int(Installed) << "Vyr_Root_CA_2.cer" << "--remove" << 0 << thereBefore
        << "1 of 9 certificates left in their stores" << "";
    QTest::newRow("no record: remove takes every bundled one")
        << "settings_shipped" << int(Installed | RecordLost) << "Vyr_Root_CA_2.cer" << "--remove" << 0
        << all("removed") << "0 of 9 certificates left in their stores" << noRecord;
    QTest::newRow("a record not ours to read: install changes nothing")
        << "settings_shipped" << int(RecordGarbled) << "" << "--install" << 1
        << all("failed: the record of what this program added could not be read or written")
        << "0 of 9 certificates in their stores" << "the record of what this program added";
}

// Every row starts with a foreign root and a root that shares the first
// bundled root's subject, added after the bundle: no verb touches them, and
// the renumbered hash links still lead OpenSSL to the second one.
void TestCommandLine::verbs()
{
    QFETCH(QString, settings);
    QFETCH(int, before);
    QFETCH(QString, thereBefore);
    QFETCH(QString, verb);
    QFETCH(int, exitCode);
    QFETCH(QStringList, results);
    QFETCH(QString, summary);
    QFETCH(QString, err);

    // A bundled file put in its store by someone else, before this program.
    if (!thereBefore.isEmpty()) {
        const QString copy = QStringLiteral(VYR_TEST_SCRATCH "/tmp/cli/before.cer");
        QFile::remove(copy);
        QVERIFY(QFile::copy(QStringLiteral(":/Cert/") + thereBefore, copy));
        QVERIFY(addForeign(copy, L"ROOT"));
    }
    if (before & FirstRelease) {
        QVERIFY(QResource::registerResource(bundle(QStringLiteral("settings_first_release"))));
        QCOMPARE(run({QStringLiteral("--install")}).exitCode, 0);
        QVERIFY(QResource::unregisterResource(bundle(QStringLiteral("settings_first_release"))));
    }
    QVERIFY(QResource::registerResource(bundle(settings)));
    if (before & Installed)
        QCOMPARE(run({QStringLiteral("--install")}).exitCode == 0, settings == QLatin1String("settings_shipped"));
    if (before & RecordLost)
        QVERIFY(QFile::remove(recordFile()));
    if (before & RecordGarbled) {
        QFile record(recordFile());
        QVERIFY(record.open(QIODevice::WriteOnly) && record.write("[ROOT]\nnot=ours\n") > 0);
    }
    QVERIFY(addForeign(QStringLiteral("other.der"), L"ROOT"));
    QVERIFY(addForeign(QStringLiteral("same_subject.der"), L"ROOT"));
    QVERIFY(addForeign(QStringLiteral("inter.der"), L"CA"));

    const Run result = run({verb});
    QVERIFY(QResource::unregisterResource(bundle(settings)));

    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.startsWith(err), qPrintable(result.err));
    QStringList lines = result.out.split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.takeLast(), summary);
    QStringList found;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char(' '));
        QVERIFY2(fields.size() >= 4, qPrintable(line));
        QVERIFY2(fields[2] == QLatin1String("-") || fields[2].size() == 40, qPrintable(line));
        found << line.section(QLatin1Char(' '), 3);
        // Each line says what the store holds now.
        const bool held = QFile::exists(storeFolder(fields[0]) + '/' + fields[2] + ".crt");
        if (QStringList{"added", "present", "kept", "retired"}.contains(fields[3]))
            QVERIFY2(held, qPrintable(line));
        if (QStringList{"removed", "withdrawn", "absent", "missing"}.contains(fields[3]))
            QVERIFY2(!held, qPrintable(line));
    }
    // Nothing listed, nothing retired: the first release's eight stay beside the three foreign ones.
    if (settings == QLatin1String("settings_empty_lists") && before != Nothing)
        QCOMPARE(storeEntries("ROOT").filter(".crt").size() + storeEntries("CA").filter(".crt").size(), 11);
    if (!thereBefore.isEmpty()) {
        QFile file(QStringLiteral(":/Cert/") + thereBefore);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const QString thumbprint = QString::fromStdString(Ps::certificateThumbprint(bytes.constData(), bytes.size()));
        QCOMPARE(QFile::exists(storeFolder("ROOT") + '/' + thumbprint + ".crt"), !(before & RecordLost));
    }
    QCOMPARE(found, results);
    QVERIFY(lines.isEmpty() || lines.first().startsWith(QLatin1String("ROOT ")));

    for (const auto &[file, store] : {std::pair{"other", "ROOT"}, std::pair{"same_subject", "ROOT"},
                                      std::pair{"inter", "CA"}}) {
        const QString name = QString::fromLatin1(file);
        QVERIFY2(QFile::exists(storeFolder(QLatin1String(store)) + '/' + thumbprintOf(name) + ".crt"), file);
    }
    QVERIFY(verifiesWithRootStore(QStringLiteral("same_subject.pem")));
    QVERIFY(verifiesWithRootStore(QStringLiteral("other.pem")));
}

void TestCommandLine::jsonOnRequest()
{
    QVERIFY(QResource::registerResource(bundle(QStringLiteral("settings_second_root_missing"))));
    const Run result = run({QStringLiteral("--install"), QStringLiteral("--json")});
    QVERIFY(QResource::unregisterResource(bundle(QStringLiteral("settings_second_root_missing"))));

    QCOMPARE(result.exitCode, 1);
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(result.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document.value("verb").toString(), QStringLiteral("install"));
    QCOMPARE(document.value("exit_code").toInt(), 1);
    const QJsonArray certificates = document.value("certificates").toArray();
    QCOMPARE(certificates.size(), 9);
    const QJsonObject second = certificates.at(1).toObject();
    QCOMPARE(second.value("name").toString(), QStringLiteral("Vyr_Root_CA_9.cer"));
    QCOMPARE(second.value("result").toString(), QStringLiteral("failed"));
    QCOMPARE(second.value("reason").toString(), QStringLiteral("no such file in the bundle"));
    const QJsonObject last = certificates.at(8).toObject();
    QCOMPARE(last.value("store").toString(), QStringLiteral("CA"));
    QCOMPARE(last.value("result").toString(), QStringLiteral("added"));
    QCOMPARE(last.value("thumbprint").toString().size(), 40);
}

void TestCommandLine::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // what standard output starts with
    QTest::addColumn<QString>("err"); // what standard error starts with
    QTest::addColumn<Ps::Program>("program");

    const QString usage = QStringLiteral("vyr-cert-installer: ");
    const auto cli = Ps::Program::CommandLineOnly;
    QTest::newRow("cli: help") << QStringList{"--help"} << 0 << "Usage: " << "" << cli;
    QTest::newRow("cli: version") << QStringList{"--version"} << 0 << "vyr-cert-installer-cli 1.0\n" << "" << cli;
    QTest::newRow("cli: no argument") << QStringList{} << 2 << ""
                                      << "vyr-cert-installer-cli: a verb is needed" << cli;
    QTest::newRow("cli: json without a verb")
        << QStringList{"--json"} << 2 << "" << "vyr-cert-installer-cli: --json needs a verb" << cli;

    const auto win = Ps::Program::Window;
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: " << "" << win;
    QTest::newRow("version") << QStringList{"--version"} << 0 << "vyr-cert-installer 1.0\n" << "" << win;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "" << usage + "Unknown option 'bogus'." << win;
    QTest::newRow("two verbs") << QStringList{"--install", "--check"} << 2 << ""
                               << usage + "one verb at a time" << win;
    QTest::newRow("argument where none belongs")
        << QStringList{"--check", "ROOT"} << 2 << "" << usage + "unexpected argument 'ROOT'" << win;
    QTest::newRow("json without a verb") << QStringList{"--json"} << 2 << "" << usage + "--json needs a verb" << win;
    QTest::newRow("verb with one dash") << QStringList{"-install"} << 2 << "" << usage + "Unknown option" << win;
    QTest::newRow("value given to a verb") << QStringList{"--check=ROOT"} << 2 << "" << usage + "Unexpected value" << win;
}

// Usage errors name their reason and show the usage on standard error, write
// nothing to standard output, and touch no store.
void TestCommandLine::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(Ps::Program, program);

    const Run result = run(arguments, program);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(out.isEmpty() ? result.out.isEmpty() : result.out.startsWith(out), qPrintable(result.out));
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.startsWith(err), qPrintable(result.err));
    if (exitCode == 2)
        QVERIFY(result.err.contains(QLatin1String("Usage: ")));
    QVERIFY(storeEntries(QStringLiteral("ROOT")).isEmpty());
}

Q_DECLARE_METATYPE(Ps::Program)

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
