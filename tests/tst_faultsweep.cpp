// The fault sweep, SQLite-style: each file-system call of a run fails in
// turn (ENOSPC, EIO) or the process dies there (before or after the call),
// through a preloaded shim, and the invariant is checked after each. The
// whole program's verbs with their record, lock and temporary copies; the
// trust targets' writes (the trust source file, the Firefox merge, the
// Chromium policy) under a fake file-system root.
#include "certdecode.h"
#include "storefixture.h"
#include "storequery.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QtTest>

#include <openssl/x509v3.h>

using namespace StoreFixture;

namespace {

// "<store> <thumbprint>" of every certificate a bundle's Cert folder holds,
// roots (self-issued) in ROOT.
QSet<QString> bundleSet(const QString &folder)
{
    QSet<QString> set;
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files)) {
        QFile certificate(file.filePath());
        certificate.open(QIODevice::ReadOnly);
        const QByteArray bytes = certificate.readAll();
        const auto decoded = Ps::CertDecode::decodeCertificate(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                                            std::size_t(bytes.size()));
        const unsigned char *der = decoded ? decoded->der.data() : nullptr;
        X509 *x509 = decoded ? d2i_X509(nullptr, &der, long(decoded->der.size())) : nullptr;
        const bool root = x509 && X509_check_issued(x509, x509) == X509_V_OK;
        X509_free(x509);
        set.insert((root ? "ROOT " : "CA ") + QString::fromStdString(Ps::certificateThumbprint(bytes.constData(), bytes.size())));
    }
    return set;
}

QSet<QString> heldSet()
{
    QSet<QString> set;
    for (const QString store : {"ROOT", "CA"}) {
        for (const QString &entry : storeEntries(store)) {
            if (entry.endsWith(QLatin1String(".crt")))
                set.insert(store + ' ' + entry.chopped(4));
        }
    }
    return set;
}

// The record as the program left it: "<store> <thumbprint>" -> added.
QMap<QString, bool> recorded()
{
    QFile file(recordFile());
    QMap<QString, bool> entries;
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).object().value("certificates").toArray()) {
        const QJsonObject entry = value.toObject();
        entries.insert(entry.value("store").toString() + ' ' + entry.value("sha1").toString(),
                       entry.value("added").toBool());
    }
    return entries;
}

// Every file under a folder, hidden ones included, as "=" and its bytes, so
// that an empty file is not taken for none.
QMap<QString, QByteArray> filesUnder(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        files.insert(file.fileName().mid(root.size() + 1), file.open(QIODevice::ReadOnly) ? "=" + file.readAll() : "?");
    }
    return files;
}

// A Debian machine with Firefox (and p11-kit's trust module), Chromium, and
// the administrator's own Firefox policies: 8,005 bytes of them.
QString trustMachine()
{
    const QString root = fakeTrustRoot(QStringLiteral("sweep"),
                                       {"usr/local/share/ca-certificates", "usr/lib/firefox-esr", "usr/lib/pkcs11",
                                        "usr/lib/chromium", "etc/firefox/policies"},
                                       QString(), -1);
    QFile(root + "/usr/lib/pkcs11/p11-kit-trust.so").open(QIODevice::WriteOnly);
    QJsonArray bookmarks;
    for (int n = 0; n < 126; ++n)
        bookmarks.append(QJsonObject{{"Title", QStringLiteral("Intranet %1").arg(n)},
                                     {"URL", QStringLiteral("https://intranet.example/%1").arg(n)}});
    QByteArray policies = QJsonDocument(QJsonObject{{"policies", QJsonObject{{"DisableTelemetry", true},
                                                                             {"Bookmarks", bookmarks}}}})
                              .toJson(QJsonDocument::Compact);
    policies += QByteArray(8005 - policies.size(), ' ');
    QFile file(root + "/etc/firefox/policies/policies.json");
    if (!file.open(QIODevice::WriteOnly) || file.write(policies) != 8005)
        return QString();
    return root;
}

} // namespace

class TestFaultSweep : public QObject
{
    Q_OBJECT

private slots:
    void verbs_data();
    void verbs();
    void trustTargets_data();
    void trustTargets();
    void history_data();
    void history();
};

void TestFaultSweep::verbs_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("later"); // a later release over the first; else the first over nothing of ours

    for (const char *fault : {"ENOSPC", "EIO", "KILL", "KILL_AFTER"}) {
        QTest::addRow("first release --install, %s", fault) << "--install" << fault << false;
        for (const char *verb : {"--install", "--remove"})
            QTest::addRow("later release %s, %s", verb, fault) << verb << fault << true;
    }
}

// A verb of the whole program over a root another program had put in ROOT,
// with each file-system call under the state folder (the stores, the record,
// the machine's lock and the temporary copies) failing in turn. After any
// fault no certificate in a store is unrecorded unless it was there before,
// and what was there before is never recorded as added; a second run without
// faults (never kept waiting by a lock) finishes the job: the stores hold
// exactly the release's set (or, removed, only what was there before) and
// the record says so.
void TestFaultSweep::verbs()
{
    QFETCH(QString, verb);
    QFETCH(QString, fault);
    QFETCH(bool, later);

    const QString stateFolder = QFileInfo(storeRoot()).path();
    const QString foreign = QStringLiteral(VYR_SOURCE_DIR "/resources/Cert/Vyr_Root_CA_2.cer");
    const QStringList tmp{QStringLiteral("TMPDIR=") + stateFolder + QStringLiteral("/sweep-tmp")};
    QVERIFY(QDir().mkpath(stateFolder + QStringLiteral("/sweep-tmp")));
    QVERIFY(QDir().mkpath(QStringLiteral("/tmp/vyr-fault-sweep-tmp")));
    QFile foreignFile(foreign);
    QVERIFY(foreignFile.open(QIODevice::ReadOnly));
    const QByteArray foreignBytes = foreignFile.readAll();
    const QString before = QStringLiteral("ROOT ")
                           + QString::fromStdString(Ps::certificateThumbprint(foreignBytes.constData(), foreignBytes.size()));
    const QSet<QString> shipped =
        bundleSet(later ? QStringLiteral(SECOND_BUNDLE "/Cert") : QStringLiteral(VYR_SOURCE_DIR "/resources/Cert"));
    // Made once, then copied back before each run: links as links.
    const QString saved = QStringLiteral("/tmp/vyr-fault-sweep-tmp/saved");
    clearStores();
    QCOMPARE(runProbe({QStringLiteral("add"), QStringLiteral("ROOT"), foreign}, {}), QStringLiteral("added"));
    if (later)
        QCOMPARE(runProbe({QStringLiteral(CLI), QStringLiteral("--install")}, tmp), QStringLiteral("0"));
    QDir(saved).removeRecursively();
    auto copyStores = [](const QString &from, const QString &to) {
        for (const QString store : {"ROOT", "CA"}) {
            QDir(to + '/' + store).removeRecursively();
            QDir().mkpath(to + '/' + store);
            for (const QFileInfo &entry : QDir(from + '/' + store).entryInfoList(QDir::Files | QDir::System)) {
                const QString target = to + '/' + store + '/' + entry.fileName();
                if (entry.isSymLink())
                    QFile::link(QFile::symLinkTarget(entry.filePath()).section('/', -1), target);
                else
                    QFile::copy(entry.filePath(), target);
            }
        }
    };
    copyStores(storeRoot(), saved);
    QFile::copy(recordFile(), saved + QStringLiteral("/record.json"));
    auto setUp = [&] {
        copyStores(saved, storeRoot());
        QFile::remove(recordFile());
        QFile::copy(saved + QStringLiteral("/record.json"), recordFile());
    };
    auto consistent = [&] {
        const QMap<QString, bool> record = recorded();
        for (const QString &held : heldSet()) {
            if (record.value(held, false) == (held == before))
                return false;
        }
        return true;
    };
    const QStringList run{later ? QStringLiteral(CLI_SECOND) : QStringLiteral(CLI), verb};
    const QStringList shim = tmp + QStringList{QStringLiteral("LD_PRELOAD=" FAULT_SHIM), "VYR_FAULT_SCOPE=" + stateFolder,
                                               QStringLiteral("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0")};
    const QString countFile = QStringLiteral("/tmp/vyr-fault-sweep-tmp/fault-count");

    setUp();
    QCOMPARE(runProbe(run, shim + QStringList{"VYR_FAULT_COUNT=" + countFile}), QStringLiteral("0"));
    QFile count(countFile);
    QVERIFY(count.open(QIODevice::ReadOnly));
    const int calls = count.readAll().trimmed().toInt();
    QVERIFY(calls > 0);
    const QSet<QString> finalSet = verb == QLatin1String("--install") ? shipped + QSet<QString>{before} : QSet<QString>{before};
    int failed = 0;
    for (int k = 1; k <= calls; ++k) {
        setUp();
        const QString answer = runProbe(run, shim + QStringList{"VYR_FAULT=" + fault, "VYR_FAULT_AT=" + QString::number(k)});
        const QString where = QStringLiteral("call %1 of %2: %3").arg(k).arg(calls).arg(answer);
        failed += answer != QLatin1String("0");
        QVERIFY2(consistent(), qPrintable(where));
        QVERIFY2(runProbe(run, tmp) == QLatin1String("0"), qPrintable(where + QStringLiteral(", then the next run failed")));
        QVERIFY2(heldSet() == finalSet && consistent(), qPrintable(where));
        const QMap<QString, bool> record = recorded();
        QVERIFY2(verb == QLatin1String("--remove") ? record.isEmpty() : QSet<QString>(record.keyBegin(), record.keyEnd()) == finalSet,
                 qPrintable(where));
    }
    qInfo("%s: %d calls swept, %d runs failed, the next run finished each", QTest::currentDataTag(), calls, failed);
}

void TestFaultSweep::trustTargets_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("fault");

    for (const char *fault : {"ENOSPC", "EIO", "KILL", "KILL_AFTER"}) {
        for (const char *change : {"place", "withdraw"})
            QTest::addRow("%s, %s", change, fault) << change << fault;
    }
}

// Two roots placed (or withdrawn) on a machine with the administrator's own
// Firefox policies, each file-system call under its root failing in turn.
// After each, every file is whole, as before or as after the change (the
// administrator's policies included), and no temporary file is left unless
// the process died; a change that said it took is wholly there; after a
// failure or a kill, the next run finishes it.
void TestFaultSweep::trustTargets()
{
    QFETCH(QString, change);
    QFETCH(QString, fault);

    const QStringList run{QStringLiteral(TRUST_PROBE), QStringLiteral(VYR_TEST_SCRATCH "/trust/sweep"), change,
                          testData(QStringLiteral("root.der")), testData(QStringLiteral("other.der"))};
    QStringList placing = run;
    placing[2] = QStringLiteral("place");
    auto setUp = [&] {
        const QString root = trustMachine();
        return !root.isEmpty() && (change == QLatin1String("place") || runProbe(placing, {}) == QLatin1String("0"));
    };
    const QStringList shim{QStringLiteral("LD_PRELOAD=" FAULT_SHIM), QStringLiteral("VYR_FAULT_SCOPE=" VYR_TEST_SCRATCH "/trust/sweep"),
                           QStringLiteral("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0")};
    const QString root = QStringLiteral(VYR_TEST_SCRATCH "/trust/sweep");
    const QString countFile = QStringLiteral(VYR_TEST_SCRATCH "/trust-fault-count");

    QVERIFY(setUp());
    const QMap<QString, QByteArray> before = filesUnder(root);
    QCOMPARE(runProbe(run, shim + QStringList{"VYR_FAULT_COUNT=" + countFile}), QStringLiteral("0"));
    const QMap<QString, QByteArray> after = filesUnder(root);
    QVERIFY(before != after);
    QFile count(countFile);
    QVERIFY(count.open(QIODevice::ReadOnly));
    const int calls = count.readAll().trimmed().toInt();
    QVERIFY(calls > 0);

    QStringList mismatches;
    int failed = 0;
    for (int k = 1; k <= calls; ++k) {
        QVERIFY(setUp());
        const QString answer = runProbe(run, shim + QStringList{"VYR_FAULT=" + fault, "VYR_FAULT_AT=" + QString::number(k)});
        const QMap<QString, QByteArray> held = filesUnder(root);
        const QString where = QStringLiteral("call %1 of %2 (%3)").arg(k).arg(calls).arg(answer);
        QSet<QString> paths(before.keyBegin(), before.keyEnd());
        paths += QSet<QString>(after.keyBegin(), after.keyEnd()) + QSet<QString>(held.keyBegin(), held.keyEnd());
        for (const QString &path : qAsConst(paths)) {
            const bool temporary = path.section('/', -1).startsWith('.') && path.endsWith(QLatin1String(".tmp"));
            if (temporary ? answer != QLatin1String("killed")
                          : held.value(path) != before.value(path) && held.value(path) != after.value(path))
                mismatches << where + QStringLiteral(": /") + path + QStringLiteral(" is neither as before nor as after");
        }
        if (answer == QLatin1String("0") && held != after)
            mismatches << where + QStringLiteral(": said it took the change, which is not all there");
        failed += answer == QLatin1String("1");
        if (answer != QLatin1String("0") && (runProbe(run, {}) != QLatin1String("0") || filesUnder(root) != after))
            mismatches << where + QStringLiteral(": the next run did not finish the change");
    }
    qInfo("%s: %d calls swept, %d reported failures, %d mismatches", QTest::currentDataTag(), calls, failed,
          int(mismatches.size()));
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.mid(0, 5).join('\n')));
}

void TestFaultSweep::history_data()
{
    QTest::addColumn<QString>("fault");
    for (const char *fault : {"ENOSPC", "EIO", "KILL", "KILL_AFTER"})
        QTest::addRow("the fleet's history, %s", fault) << fault;
}

// A fleet report over a history of two reports, each file-system call under
// the history's folder failing in turn. After each the history reads whole:
// the two reports as they were, or the third one with them, entire; a
// report that says it was recorded (an exit code below 4) is; and the next
// report records itself.
void TestFaultSweep::history()
{
    QFETCH(QString, fault);
    const QString root = QStringLiteral(VYR_TEST_SCRATCH "/history-sweep"), db = root + "/db/history.sqlite";
    QDir(root).removeRecursively();
    const QDateTime checked = QDateTime::currentDateTimeUtc().addSecs(-60);
    for (const QString host : {"web1", "web2", "web3"}) {
        for (const QString folder : {"first", "second"}) {
            if (host == QLatin1String("web3") && folder == QLatin1String("first"))
                continue;
            QVERIFY(QDir().mkpath(root + '/' + folder));
            QFile document(root + '/' + folder + '/' + host + ".json");
            QVERIFY(document.open(QIODevice::WriteOnly));
            const QJsonObject certificate{{"store", "ROOT"}, {"name", "A.cer"}, {"thumbprint", "AB"},
                                          {"result", host == QLatin1String("web2") ? "missing" : "present"}};
            document.write(QJsonDocument(QJsonObject{{"schema", "vyr-host-check/1"}, {"host", host},
                                                     {"checked_at", checked.toString(Qt::ISODate)}, {"verb", "check"},
                                                     {"exit_code", 0}, {"certificates", QJsonArray{certificate}}})
                               .toJson());
        }
    }
    const auto report = [&](const QString &folder) {
        return QStringList{QStringLiteral(REPORT), "--history", db, "--out", root + "/out", root + '/' + folder};
    };
    // The history's lines for a host, or its exit code when it has none.
    const auto since = [&](const QString &host) {
        QProcess list;
        list.start(QStringLiteral(REPORT), {"--history", db, "--since", host});
        list.waitForFinished(-1);
        const QStringList lines = QString::fromUtf8(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return list.exitCode() == 0 ? lines : QStringList{QStringLiteral("exit %1").arg(list.exitCode())};
    };
    QCOMPARE(runProbe(report("first"), {}), QStringLiteral("2"));
    QCOMPARE(runProbe(report("first"), {}), QStringLiteral("2"));
    const QStringList before = since("web1");
    QCOMPARE(before.size(), 2);
    const QString saved = root + "/saved";
    QVERIFY(QDir().rename(root + "/db", saved));
    const auto setUp = [&] {
        QDir(root + "/db").removeRecursively();
        QDir().mkpath(root + "/db");
        for (const QString &name : QDir(saved).entryList(QDir::Files))
            QFile::copy(saved + '/' + name, root + "/db/" + name);
    };
    const QStringList shim{QStringLiteral("LD_PRELOAD=" FAULT_SHIM), "VYR_FAULT_SCOPE=" + root + "/db",
                           QStringLiteral("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0")};
    const QString countFile = root + "/fault-count";
    setUp();
    QCOMPARE(runProbe(report("second"), shim + QStringList{"VYR_FAULT_COUNT=" + countFile}), QStringLiteral("2"));
    QFile count(countFile);
    QVERIFY(count.open(QIODevice::ReadOnly));
    const int calls = count.readAll().trimmed().toInt();
    QVERIFY(calls > 0);
    int unrecorded = 0;
    for (int k = 1; k <= calls; ++k) {
        setUp();
        const QString answer = runProbe(report("second"), shim + QStringList{"VYR_FAULT=" + fault, "VYR_FAULT_AT=" + QString::number(k)});
        const QString where = QStringLiteral("call %1 of %2 (%3)").arg(k).arg(calls).arg(answer);
        const QStringList held = since("web1"), added = since("web3");
        const bool asBefore = held == before && added == QStringList{"exit 3"};
        const bool recorded = held.size() == 3 && held.mid(0, 2) == before && added.size() == 1
                              && held.last().section(' ', 0, 0) == added.last().section(' ', 0, 0);
        QVERIFY2(asBefore || recorded, qPrintable(where + ": " + held.join(", ") + " / " + added.join(", ")));
        QVERIFY2(recorded || answer == QLatin1String("4") || answer == QLatin1String("killed"), qPrintable(where));
        unrecorded += asBefore;
        QVERIFY2(runProbe(report("second"), {}) == QLatin1String("2") && since("web1").size() == held.size() + 1,
                 qPrintable(where + ", then the next report was not recorded"));
    }
    qInfo("%s: %d calls swept, %d reports left unrecorded, each history whole", QTest::currentDataTag(), calls, unrecorded);
}

QTEST_GUILESS_MAIN(TestFaultSweep)
#include "tst_faultsweep.moc"
