// The off-Windows stand-in for CryptoAPI's certificate functions, held to the
// contract other programs rely on: the store folders, their file names and
// links, and OpenSSL's -CApath lookups through them.
#include "storefixture.h"
#include "storequery.h"

#include <windows.h>
#include <wincrypt.h>

#include <QFileInfo>
#include <QMap>

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace StoreFixture;

namespace {

const DWORD localMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG;

struct Decoded
{
    BOOL ok = FALSE;
    DWORD contentType = 0;
    DWORD formatType = 0;
    PCCERT_CONTEXT context = nullptr;
    ~Decoded() { CertFreeCertificateContext(context); }
};

void decode(const QString &path, Decoded &decoded)
{
    const std::wstring widePath = path.toStdWString();
    const void *context = nullptr;
    decoded.ok = CryptQueryObject(CERT_QUERY_OBJECT_FILE, widePath.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                                  CERT_QUERY_CONTENT_FLAG_ALL, 0, nullptr, &decoded.contentType,
                                  &decoded.formatType, nullptr, nullptr, &context);
    decoded.context = static_cast<PCCERT_CONTEXT>(context);
}

HCERTSTORE openStore(const wchar_t *name, DWORD flags = localMachine)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name);
}

bool addFile(const QString &fileName, const wchar_t *store)
{
    Decoded decoded;
    decode(testData(fileName), decoded);
    HCERTSTORE handle = openStore(store);
    const bool added = decoded.ok && handle
                       && CertAddCertificateContextToStore(handle, decoded.context, CERT_STORE_ADD_ALWAYS, nullptr);
    if (handle)
        CertCloseStore(handle, 0);
    return added;
}

QString openssl(const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    process.waitForFinished();
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll()).trimmed();
}

} // namespace

class TestStandin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void decodesOnlyOneCertificate_data();
    void decodesOnlyOneCertificate();
    void opensStores_data();
    void opensStores();
    void unprivilegedUserCannotOpenForWriting_data();
    void unprivilegedUserCannotOpenForWriting();
    void addWritesThumbprintFileAndHashLink();
    void secondAddLeavesOneFile();
    void sameSubjectTakesNextLink();
    void failedWriteLeavesNothing();
    void chainVerifiesWithStoreAsCApath();
    void repeatAddWritesOnlyWhatIsMissing_data();
    void repeatAddWritesOnlyWhatIsMissing();
    void faultSweep_data();
    void faultSweep();

    void findsOnlyWhatItsNameSays_data();
    void findsOnlyWhatItsNameSays();
};

void TestStandin::init()
{
    clearStores();
}

void TestStandin::decodesOnlyOneCertificate_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("format"); // 0: refused

    QTest::newRow("DER certificate") << "root.der" << CERT_QUERY_FORMAT_BINARY;
    QTest::newRow("PEM certificate") << "root.pem" << CERT_QUERY_FORMAT_BASE64_ENCODED;
    QTest::newRow("missing file") << "absent.der" << 0;
    QTest::newRow("empty file") << "empty.der" << 0;
    QTest::newRow("plain text") << "text.txt" << 0;
    QTest::newRow("truncated DER") << "truncated.der" << 0;
    QTest::newRow("DER with a trailing byte") << "trailing.der" << 0;
    QTest::newRow("DER CRL") << "crl.der" << 0;
    QTest::newRow("PEM CRL") << "crl.pem" << 0;
    QTest::newRow("PKCS #7 bundle") << "p7.der" << 0;
    QTest::newRow("private key") << "key.pem" << 0;
    QTest::newRow("two certificates in one PEM file") << "two.pem" << 0;
    QTest::newRow("a folder") << "." << 0;
}

void TestStandin::decodesOnlyOneCertificate()
{
    QFETCH(QString, file);
    QFETCH(int, format);

    Decoded decoded;
    decode(testData(file), decoded);
    QCOMPARE(bool(decoded.ok), format != 0);
    if (!format) {
        QVERIFY(!decoded.context);
        return;
    }
    QCOMPARE(int(decoded.contentType), CERT_QUERY_CONTENT_CERT);
    QCOMPARE(int(decoded.formatType), format);
    QFile der(testData(QStringLiteral("root.der")));
    QVERIFY(der.open(QIODevice::ReadOnly));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(decoded.context->pbCertEncoded),
                        int(decoded.context->cbCertEncoded)),
             der.readAll());
}

void TestStandin::opensStores_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("folder"); // empty: refused

    QTest::newRow("ROOT is created on first open") << "ROOT" << int(localMachine) << "ROOT";
    QTest::newRow("CA is created on first open") << "CA" << int(localMachine) << "CA";
    QTest::newRow("names are case-insensitive") << "root" << int(localMachine) << "ROOT";
    QTest::newRow("unknown store with open-existing") << "VyrNoSuchStore" << int(localMachine) << "";
    QTest::newRow("name leaving the store root") << "../ROOT" << int(localMachine) << "";
    QTest::newRow("empty name") << "" << int(localMachine) << "";
    QTest::newRow("current user's stores")
        << "ROOT" << int(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG) << "";
}

void TestStandin::opensStores()
{
    QFETCH(QString, name);
    QFETCH(int, flags);
    QFETCH(QString, folder);

    const std::wstring wideName = name.toStdWString();
    HCERTSTORE store = openStore(wideName.c_str(), DWORD(flags));
    QCOMPARE(store != nullptr, !folder.isEmpty());
    if (store) {
        QVERIFY(CertCloseStore(store, 0));
        QVERIFY(QFileInfo(storeFolder(folder)).isDir());
    }
    QVERIFY(!QFileInfo::exists(storeFolder(QStringLiteral("VyrNoSuchStore"))));
}

void TestStandin::unprivilegedUserCannotOpenForWriting_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("answer");

    QTest::newRow("ROOT for writing") << "ROOT" << "read-write" << "refused";
    QTest::newRow("CA for writing") << "CA" << "read-write" << "refused";
    QTest::newRow("ROOT read-only") << "ROOT" << "read-only" << "opened";
}

// Root writes anywhere, so the unprivileged side runs in a process of its own
// under the nobody account, from a copy of the probe that account may run.
void TestStandin::unprivilegedUserCannotOpenForWriting()
{
    if (geteuid() != 0)
        QSKIP("running a process as another user needs root");
    QFETCH(QString, store);
    QFETCH(QString, mode);
    QFETCH(QString, answer);

    // The stores exist, owned by root, as on a machine where root set them up.
    for (const wchar_t *name : {L"ROOT", L"CA"})
        QVERIFY(CertCloseStore(openStore(name), 0));

    const QString bin = QStringLiteral(VYR_TEST_SCRATCH "/bin");
    QVERIFY(QDir().mkpath(bin));
    const QString probe = bin + QStringLiteral("/store_probe");
    QFile::remove(probe);
    QVERIFY(QFile::copy(QStringLiteral(STORE_PROBE), probe));

    QProcess process;
    process.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", probe, store, mode});
    QVERIFY(process.waitForFinished());
    QCOMPARE(QString::fromLatin1(process.readAllStandardOutput()).trimmed(), answer);
}

void TestStandin::addWritesThumbprintFileAndHashLink()
{
    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));

    const QString fileName = thumbprintOf(QStringLiteral("root")) + QStringLiteral(".crt");
    const QString hash = openssl({"x509", "-in", testData("root.pem"), "-noout", "-subject_hash"});
    // The test certificates are made afresh with each build, so which of the
    // two names sorts first changes from build to build.
    QStringList expected{hash + ".0", fileName};
    expected.sort();
    QCOMPARE(storeEntries(QStringLiteral("ROOT")), expected);
    QCOMPARE(QFileInfo(storeFolder("ROOT") + "/" + hash + ".0").symLinkTarget(),
             storeFolder("ROOT") + "/" + fileName);

    QFile stored(storeFolder("ROOT") + "/" + fileName);
    QFile pem(testData("root.pem"));
    QVERIFY(stored.open(QIODevice::ReadOnly) && pem.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), pem.readAll());
    QCOMPARE(stored.permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

void TestStandin::secondAddLeavesOneFile()
{
    QVERIFY(addFile(QStringLiteral("inter.der"), L"CA"));
    const QStringList once = storeEntries(QStringLiteral("CA"));
    QVERIFY(addFile(QStringLiteral("inter.pem"), L"CA"));
    QCOMPARE(storeEntries(QStringLiteral("CA")), once);
    QCOMPARE(once.size(), 2);
}

// Two certificates with the same subject share a hash: the second one gets
// the next link, and both stay reachable.
void TestStandin::sameSubjectTakesNextLink()
{
    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
    QVERIFY(addFile(QStringLiteral("rekeyed.der"), L"ROOT"));
    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));

    const QString hash = openssl({"x509", "-in", testData("root.pem"), "-noout", "-subject_hash"});
    const QString folder = storeFolder(QStringLiteral("ROOT"));
    QCOMPARE(QFileInfo(folder + "/" + hash + ".0").symLinkTarget(),
             folder + "/" + thumbprintOf("root") + ".crt");
    QCOMPARE(QFileInfo(folder + "/" + hash + ".1").symLinkTarget(),
             folder + "/" + thumbprintOf("rekeyed") + ".crt");
    QCOMPARE(storeEntries(QStringLiteral("ROOT")).size(), 4);
}

// A folder squatting on the certificate's name makes the final rename fail:
// the add reports failure and no temporary file is left behind.
void TestStandin::failedWriteLeavesNothing()
{
    HCERTSTORE store = openStore(L"ROOT");
    QVERIFY(store);
    CertCloseStore(store, 0);
    const QString squatter = thumbprintOf(QStringLiteral("root")) + QStringLiteral(".crt");
    QVERIFY(QDir(storeFolder("ROOT")).mkpath(squatter + "/occupied"));

    QVERIFY(!addFile(QStringLiteral("root.der"), L"ROOT"));
    QCOMPARE(storeEntries(QStringLiteral("ROOT")), QStringList{squatter});
}

void TestStandin::chainVerifiesWithStoreAsCApath()
{
    const QStringList verify{"verify", "-CApath", storeFolder("ROOT"), "-untrusted", testData("inter.pem"),
                             testData("leaf.pem")};
    int exitCode = 0;
    openssl(verify, &exitCode);
    QVERIFY2(exitCode != 0, "the leaf verified before its root was in the store");

    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
    QVERIFY(addFile(QStringLiteral("inter.der"), L"CA"));
    const QString output = openssl(verify, &exitCode);
    QVERIFY2(exitCode == 0, qPrintable(output));
    // The intermediate is found through the CA store as well.
    const QString viaCa = openssl({"verify", "-CApath", storeFolder("ROOT"), "-untrusted",
                                   storeFolder("CA") + "/" + thumbprintOf("inter") + ".crt", testData("leaf.pem")},
                                  &exitCode);
    QVERIFY2(exitCode == 0, qPrintable(viaCa));
}

namespace {

// A store folder's entries: each file's bytes, or each link's target.
QMap<QString, QByteArray> snapshot(const QString &store)
{
    QMap<QString, QByteArray> entries;
    for (const QString &name : storeEntries(store)) {
        const QFileInfo info(storeFolder(store) + QLatin1Char('/') + name);
        QFile file(info.filePath());
        entries.insert(name, info.isSymLink() ? "-> " + info.symLinkTarget().toUtf8()
                                              : (file.open(QIODevice::ReadOnly) ? file.readAll() : "?"));
    }
    return entries;
}

// The add completed: the certificate's file as PEM, reached by exactly one
// link, and no temporary file.
bool holdsWhole(const QString &store, const QString &name)
{
    const QString fileName = thumbprintOf(name) + QStringLiteral(".crt");
    QFile stored(storeFolder(store) + QLatin1Char('/') + fileName);
    QFile pem(testData(name + QStringLiteral(".pem")));
    if (!stored.open(QIODevice::ReadOnly) || !pem.open(QIODevice::ReadOnly) || stored.readAll() != pem.readAll())
        return false;
    int links = 0;
    for (const QString &entry : storeEntries(store)) {
        if (entry.startsWith(QLatin1Char('.')))
            return false;
        links += QFileInfo(storeFolder(store) + QLatin1Char('/') + entry).symLinkTarget().endsWith(fileName);
    }
    return links == 1;
}

} // namespace

void TestStandin::repeatAddWritesOnlyWhatIsMissing_data()
{
    QTest::addColumn<QString>("damage"); // done to the store after a first add
    QTest::addColumn<bool>("sameFile");  // the certificate's file is the one from before (same inode)
    QTest::addColumn<int>("syncs");

    QTest::newRow("nothing: no write, no sync") << "" << true << 0;
    QTest::newRow("link missing: the link alone, one folder sync") << "link" << true << 1;
    QTest::newRow("other bytes under its name: rewritten, file and folder synced") << "bytes" << false << 2;
}

void TestStandin::repeatAddWritesOnlyWhatIsMissing()
{
    QFETCH(QString, damage);
    QFETCH(bool, sameFile);
    QFETCH(int, syncs);

    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
    const QString path = storeFolder("ROOT") + '/' + thumbprintOf("root") + ".crt";
    if (damage == QLatin1String("link")) {
        for (const QString &entry : storeEntries("ROOT")) {
            if (QFileInfo(storeFolder("ROOT") + '/' + entry).isSymLink())
                QVERIFY(QFile::remove(storeFolder("ROOT") + '/' + entry));
        }
    } else if (damage == QLatin1String("bytes")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(100);
        file.write("X");
    }
    struct stat before;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);

    const QString countFile = QStringLiteral(VYR_TEST_SCRATCH "/sync-count");
    QCOMPARE(runProbe({QStringLiteral("add"), QStringLiteral("ROOT"), testData(QStringLiteral("root.der"))},
                      {QStringLiteral("LD_PRELOAD=" FAULT_SHIM), QStringLiteral("VYR_FAULT_SCOPE=" VYR_STORE_ROOT),
                       QStringLiteral("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"),
                       "VYR_SYNC_COUNT=" + countFile}),
             QStringLiteral("added"));
    QFile count(countFile);
    QVERIFY(count.open(QIODevice::ReadOnly));
    QCOMPARE(count.readAll().trimmed().toInt(), syncs);
    QVERIFY(holdsWhole(QStringLiteral("ROOT"), QStringLiteral("root")));
    struct stat after;
    QCOMPARE(stat(QFile::encodeName(path).constData(), &after), 0);
    QCOMPARE(after.st_ino == before.st_ino, sameFile);
}

void TestStandin::faultSweep_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("before"); // what the store holds before the operation

    for (const char *fault : {"ENOSPC", "EIO", "KILL", "KILL_AFTER"}) {
        for (const char *before : {"empty", "file without its link", "same subject linked"})
            QTest::addRow("add, %s, %s", fault, before) << "add" << fault << before;
        for (const char *before : {"linked alone", "first of its subject", "last of its subject"})
            QTest::addRow("remove, %s, %s", fault, before) << "remove" << fault << before;
    }
}

// Each file-system call of one add or removal fails in turn (or the process
// dies there). After a failure the store holds what it held before; after a
// success the whole certificate (a removal: none of it, and every other
// certificate of its subject still reached); after a kill, the next run of
// the same operation finishes the job and leaves no temporary file.
void TestStandin::faultSweep()
{
    QFETCH(QString, operation);
    QFETCH(QString, fault);
    QFETCH(QString, before);
    const QString root = QStringLiteral("ROOT");
    const bool rekeyed = before.contains(QLatin1String("subject"));
    auto setUp = [&] {
        clearStores();
        QVERIFY(QDir().mkpath(storeFolder(root)));
        if (before == QLatin1String("file without its link")) {
            QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
            for (const QString &entry : storeEntries(root)) {
                if (QFileInfo(storeFolder(root) + '/' + entry).isSymLink())
                    QVERIFY(QFile::remove(storeFolder(root) + '/' + entry));
            }
        } else if (before == QLatin1String("same subject linked") || before == QLatin1String("last of its subject")) {
            QVERIFY(addFile(QStringLiteral("rekeyed.der"), L"ROOT"));
        }
        if (operation == QLatin1String("remove"))
            QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
        if (before == QLatin1String("first of its subject"))
            QVERIFY(addFile(QStringLiteral("rekeyed.der"), L"ROOT"));
    };
    // What a finished operation leaves: the root whole, or none of it; any
    // other certificate of its subject whole either way.
    auto done = [&] {
        const bool rootDone = operation == QLatin1String("add") ? holdsWhole(root, QStringLiteral("root"))
                                                                : snapshot(root).size() == (rekeyed ? 2 : 0);
        return rootDone && (!rekeyed || holdsWhole(root, QStringLiteral("rekeyed")));
    };
    const QString finished = operation == QLatin1String("add") ? QStringLiteral("added") : QStringLiteral("removed");
    const QStringList run{operation, root, testData(QStringLiteral("root.der"))};
    const QStringList shim{QStringLiteral("LD_PRELOAD=" FAULT_SHIM), QStringLiteral("VYR_FAULT_SCOPE=" VYR_STORE_ROOT),
                           QStringLiteral("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0")};

    setUp();
    const QString countFile = QStringLiteral(VYR_TEST_SCRATCH "/fault-count");
    QCOMPARE(runProbe(run, shim + QStringList{"VYR_FAULT_COUNT=" + countFile}), finished);
    QFile count(countFile);
    QVERIFY(count.open(QIODevice::ReadOnly));
    const int calls = count.readAll().trimmed().toInt();
    QVERIFY(calls > 0);

    int failed = 0;
    for (int k = 1; k <= calls; ++k) {
        setUp();
        const QMap<QString, QByteArray> held = snapshot(root);
        const QString answer = runProbe(run, shim + QStringList{"VYR_FAULT=" + fault, "VYR_FAULT_AT=" + QString::number(k)});
        const QString where = QStringLiteral("call %1 of %2: %3").arg(k).arg(calls).arg(answer);
        if (answer == finished) {
            QVERIFY2(done(), qPrintable(where));
        } else if (answer == QLatin1String("refused")) {
            ++failed;
            QVERIFY2(snapshot(root) == held, qPrintable(where));
        } else {
            QCOMPARE(answer, QStringLiteral("killed"));
            const QString next = runProbe(run, {});
            QVERIFY2(next == finished || (operation == QLatin1String("remove") && next == QLatin1String("absent")),
                     qPrintable(where + QStringLiteral(", then ") + next));
            QVERIFY2(done(), qPrintable(where));
        }
    }
    qInfo("%s: %d calls swept, %d reported failures, no mismatch", QTest::currentDataTag(), calls, failed);
}

void TestStandin::findsOnlyWhatItsNameSays_data()
{
    QTest::addColumn<QString>("file"); // put under the root's name in the store
    QTest::addColumn<bool>("found");

    QTest::newRow("the root itself, as we store it") << "root.pem" << true;
    QTest::newRow("the root as DER") << "root.der" << true;
    QTest::newRow("another certificate under the root's name") << "other.pem" << false;
    QTest::newRow("text under the root's name") << "text.txt" << false;
    QTest::newRow("two certificates under the root's name") << "two.pem" << false;
}

// A lookup hashes the file that the thumbprint names and takes it only when
// the hash agrees; what it finds can still be deleted, links and all.
void TestStandin::findsOnlyWhatItsNameSays()
{
    QFETCH(QString, file);
    QFETCH(bool, found);

    QVERIFY(addFile(QStringLiteral("root.der"), L"ROOT"));
    const QString path = storeFolder(QStringLiteral("ROOT")) + '/' + thumbprintOf(QStringLiteral("root")) + ".crt";
    QVERIFY(QFile::remove(path) && QFile::copy(testData(file), path));
    QByteArray hash = QByteArray::fromHex(thumbprintOf(QStringLiteral("root")).toLatin1());
    CRYPT_HASH_BLOB blob{DWORD(hash.size()), reinterpret_cast<BYTE *>(hash.data())};
    HCERTSTORE store = openStore(L"ROOT");
    PCCERT_CONTEXT context = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    QCOMPARE(context != nullptr, found);
    if (context) {
        QVERIFY(CertDeleteCertificateFromStore(context));
        QCOMPARE(storeEntries(QStringLiteral("ROOT")), QStringList());
    }
    CertCloseStore(store, 0);
}

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
