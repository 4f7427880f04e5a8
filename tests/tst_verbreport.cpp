// The verbs' decisions without a face: each verb's report against the scratch
// stores and the record, with test bundles registered at run time. What each
// certificate came to, the retired ones, the record's note, the imports the
// window counts and the exit code; every report checked against the stores.
#include "channel.h"
#include "storefixture.h"
#include "storequery.h"
#include "verbs.h"

#include <QtTest>

using namespace StoreFixture;

namespace {

// Each result in the words the faces print, failures with their reason.
QStringList wordsOf(const QVector<Ps::CertificateResult> &results, Ps::Verb verb)
{
    QStringList found;
    for (const Ps::CertificateResult &result : results) {
        const QString reason = Ps::failureReason(result.outcome, verb);
        found << Ps::resultWord(result.outcome) + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
    }
    return found;
}

using Note = Ps::VerbReport::RecordNote;
using Ending = Ps::VerbReport::Ending;

} // namespace

Q_DECLARE_METATYPE(Ps::Verb)
Q_DECLARE_METATYPE(Note)
Q_DECLARE_METATYPE(Ending)

class TestVerbReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void verbs_data();
    void verbs();
    void aptChannel_data();
    void aptChannel();
};

void TestVerbReport::initTestCase()
{
    qputenv("TMPDIR", QByteArray(VYR_TEST_SCRATCH "/tmp/verbreport"));
    QVERIFY(QResource::registerResource(testBundle(QStringLiteral("certs"))));
}

void TestVerbReport::cleanupTestCase()
{
    // The last rows leave a record no run can read, where later suites look.
    clearStores();
    QVERIFY(QResource::unregisterResource(testBundle(QStringLiteral("certs"))));
}

void TestVerbReport::init()
{
    clearStores();
    QVERIFY(QDir().mkpath(QStringLiteral(VYR_TEST_SCRATCH "/tmp/verbreport")));
}

void TestVerbReport::verbs_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("before");          // Before's flags
    QTest::addColumn<QString>("thereBefore"); // a bundled root someone else put in ROOT first
    QTest::addColumn<Ps::Verb>("verb");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QStringList>("certificates"); // each bundled one's outcome, in the lists' order
    QTest::addColumn<QStringList>("retired");
    QTest::addColumn<Note>("record");

    const auto install = Ps::Verb::Install;
    const auto check = Ps::Verb::Check;
    const auto remove = Ps::Verb::Remove;
    const auto asWanted = Ending::AsWanted, notAll = Ending::NotAll;
    const QString shipped = QStringLiteral("settings_shipped");
    QStringList secondMissing = all("added");
    secondMissing[1] = QStringLiteral("failed: no such file in the bundle");

    QTest::newRow("install into empty stores")
        << shipped << int(Nothing) << "" << install << asWanted << all("added") << QStringList() << Note::Kept;
    QTest::newRow("install again: what was there is said so")
        << shipped << int(Installed) << "" << install << asWanted << all("present") << QStringList() << Note::Kept;
    QTest::newRow("check after install")
        << shipped << int(Installed) << "" << check << asWanted << all("present") << QStringList() << Note::Kept;
    QTest::newRow("check of empty stores")
        << shipped << int(Nothing) << "" << check << notAll << all("missing") << QStringList() << Note::Kept;
    QTest::newRow("remove after install")
        << shipped << int(Installed) << "" << remove << asWanted << all("removed") << QStringList() << Note::Kept;
    QTest::newRow("remove from empty stores")
        << shipped << int(Nothing) << "" << remove << asWanted << all("absent") << QStringList() << Note::None;
    QTest::newRow("install with a root missing from the bundle")
        << "settings_second_root_missing" << int(Nothing) << "" << install << notAll << secondMissing << QStringList()
        << Note::Kept;
    secondMissing.replaceInStrings(QStringLiteral("added"), QStringLiteral("present"));
    QTest::newRow("check with a root missing from the bundle")
        << "settings_second_root_missing" << int(Installed) << "" << check << notAll << secondMissing << QStringList()
        << Note::Kept;
    // The number 7 in the list reads as an empty name.
    QStringList unsafe = repeated(10, QStringLiteral("failed: the name is not a bare file name"));
    unsafe[7] = QStringLiteral("added");
    unsafe[9] = QStringLiteral("added");
    QTest::newRow("install with unsafe names")
        << "settings_unsafe_names" << int(Nothing) << "" << install << notAll << unsafe << QStringList() << Note::Kept;
    for (const Ps::Verb verb : {install, check, remove}) {
        QTest::addRow("verb %d with empty lists", int(verb))
            << "settings_empty_lists" << int(Nothing) << "" << verb << notAll << QStringList() << QStringList()
            << (verb == remove ? Note::None : Note::Kept);
    }

    // A later release retires Vyr_Root_CA_1 and Vyr_Int_5 and adds Vyr_Root_CA_4.
    const QString second = QStringLiteral("settings_second_release");
    const QStringList laterSet{"present", "present", "added", "present", "present", "present", "present"};
    QTest::newRow("second release: check finds the retired")
        << second << int(FirstRelease) << "" << check << notAll
        << QStringList{"present", "present", "missing", "present", "present", "present", "present"}
        << QStringList{"retired", "retired"} << Note::Kept;
    QTest::newRow("second release: install withdraws the retired")
        << second << int(FirstRelease) << "" << install << asWanted << laterSet << QStringList{"withdrawn", "withdrawn"}
        << Note::Kept;
    QTest::newRow("second release: a retired root there before is forgotten, not deleted")
        << second << int(FirstRelease) << "Vyr_Root_CA_1.cer" << install << asWanted << laterSet
        << QStringList{"withdrawn"} << Note::Kept;
    QTest::newRow("empty lists withdraw nothing")
        << "settings_empty_lists" << int(FirstRelease) << "" << install << notAll << QStringList() << QStringList()
        << Note::Kept;
    QTest::newRow("second release: remove takes the retired too")
        << second << int(FirstRelease) << "" << remove << asWanted
        << QStringList{"removed", "removed", "absent", "removed", "removed", "removed", "removed"}
        << QStringList{"removed", "removed"} << Note::Kept;
    QStringList thereBefore = all("added");
    thereBefore[1] = QStringLiteral("present");
    QTest::newRow("a root there before is said present")
        << shipped << int(Nothing) << "Vyr_Root_CA_2.cer" << install << asWanted << thereBefore << QStringList() << Note::Kept;
    thereBefore = all("removed");
    thereBefore[1] = QStringLiteral("kept");
    QTest::newRow("a root there before is kept by remove")
        << shipped << int(Installed) << "Vyr_Root_CA_2.cer" << remove << asWanted << thereBefore << QStringList() << Note::Kept;
    QTest::newRow("no record: remove takes every bundled one")
        << shipped << int(Installed | RecordLost) << "Vyr_Root_CA_2.cer" << remove << asWanted << all("removed")
        << QStringList() << Note::None;
    QTest::newRow("a record not ours to read: install changes nothing")
        << shipped << int(RecordGarbled) << "" << install << notAll << all("failed: the record of what this program added could not be read or written") << QStringList() << Note::Unavailable;
    QTest::newRow("a record not ours to read: check knows of no retired one")
        << second << int(FirstRelease | RecordGarbled) << "" << check << notAll
        << QStringList{"present", "present", "missing", "present", "present", "present", "present"} << QStringList()
        << Note::Unavailable;
}

void TestVerbReport::verbs()
{
    QFETCH(QString, settings);
    QFETCH(int, before);
    QFETCH(QString, thereBefore);
    QFETCH(Ps::Verb, verb);
    QFETCH(Ending, ending);
    QFETCH(QStringList, certificates);
    QFETCH(QStringList, retired);
    QFETCH(Note, record);

    QVERIFY(setUpMachine(settings, before, thereBefore));
    const Ps::VerbReport report = Ps::runVerb(verb, nullptr);
    QVERIFY(QResource::unregisterResource(testBundle(settings)));

    QCOMPARE(wordsOf(report.certificates, verb), certificates);
    QCOMPARE(wordsOf(report.retired, verb), retired);
    QCOMPARE(report.record, record);
    QCOMPARE(report.ending, ending);
    QCOMPARE(report.verb, verb);
    // No system trust, so no refresh to wait for: the machine is free again.
    QVERIFY(!report.trust && !report.refreshPending && !report.turn);
    // What the window counts: every import that succeeded, of a certificate there before too.
    const int imports = int(std::count_if(report.certificates.cbegin(), report.certificates.cend(), [](const Ps::CertificateResult &r) {
        return r.outcome == Ps::Outcome::Added || r.outcome == Ps::Outcome::Present;
    }));
    QCOMPARE(report.imported, verb == Ps::Verb::Install ? imports : 0);

    // Each result says what its store holds now, under the thumbprint it carries.
    for (const Ps::CertificateResult &result : report.certificates + report.retired) {
        const Ps::BundledCertificate &certificate = result.certificate;
        QVERIFY2(certificate.sha1.isEmpty() || certificate.sha1.size() == 40, qPrintable(certificate.name));
        if (certificate.sha1.isEmpty() || Ps::isFailure(result.outcome))
            continue;
        const bool held = QFile::exists(storeFolder(Ps::storeLabel(certificate.list)) + '/' + certificate.sha1 + ".crt");
        QVERIFY2(held == report.inStore(result), qPrintable(certificate.name));
    }
    QVERIFY(std::is_sorted(report.retired.cbegin(), report.retired.cend(),
                           [](const Ps::CertificateResult &a, const Ps::CertificateResult &b) {
                               return a.certificate.list < b.certificate.list;
                           }));
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
    QVERIFY(othersUntouched());
}

// apt's files as a machine has them: the source our keyring package ships,
// one list file, dpkg's status; what the check makes of them.
void TestVerbReport::aptChannel_data()
{
    QTest::addColumn<QString>("source");   // empty: no such file
    QTest::addColumn<QString>("listFile"); // the one file in apt's lists, dated 2026-12-01
    QTest::addColumn<QString>("expected"); // "none", or source|refreshed|vyr-ca-trust|keyring

    const QString ours = QStringLiteral("Types: deb\nURIs: http://127.0.0.1:8080\nSuites: stable\nComponents: main\n");
    const QString refreshed = QStringLiteral("2026-12-01T00:00:00Z");
    QTest::newRow("no source: no channel") << "" << "127.0.0.1:8080_dists_stable_InRelease" << "none";
    QTest::newRow("switched off") << ours + "Enabled: no\n" << "127.0.0.1:8080_dists_stable_InRelease" << "none";
    QTest::newRow("refreshed") << ours << "127.0.0.1:8080_dists_stable_InRelease"
                               << "http://127.0.0.1:8080|" + refreshed + "|1.2.0|1.2.0+keys1";
    QTest::newRow("a repository without InRelease") << ours << "127.0.0.1:8080_dists_stable_Release"
                                                    << "http://127.0.0.1:8080|" + refreshed + "|1.2.0|1.2.0+keys1";
    QTest::newRow("never fetched: another repository's lists only")
        << ours << "deb.debian.org_debian_dists_stable_InRelease" << "http://127.0.0.1:8080||1.2.0|1.2.0+keys1";
    // apt drops the user and quotes what is odd in a name.
    QTest::newRow("comments before and among the fields")
        << "# URIs: http://old.example\n\n" + ours.left(11) + "# URIs: http://older.example\n" + ours.mid(11)
        << "127.0.0.1:8080_dists_stable_InRelease" << "http://127.0.0.1:8080|" + refreshed + "|1.2.0|1.2.0+keys1";
    QTest::newRow("a path, a user, odd characters")
        << "uris:   https://me:pw@apt.example.org/vyr_ca/~x  https://mirror.example\nsuites: stable\n"
        << "apt.example.org_vyr%5fca_%7ex_dists_stable_InRelease"
        << "https://me:pw@apt.example.org/vyr_ca/~x|" + refreshed + "|1.2.0|1.2.0+keys1";
}

void TestVerbReport::aptChannel()
{
    QFETCH(QString, source);
    QFETCH(QString, listFile);
    QFETCH(QString, expected);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const Ps::AptFiles files{folder.filePath("vyr.sources"), folder.filePath("lists"), folder.filePath("status")};
    const auto write = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    if (!source.isEmpty())
        QVERIFY(write(files.source, source.toUtf8()));
    QVERIFY(QDir().mkpath(files.lists));
    QVERIFY(write(files.lists + "/" + listFile, "Origin: Vyr Trust Services\n"));
    QFile list(files.lists + "/" + listFile);
    QVERIFY(list.open(QIODevice::ReadWrite));
    QVERIFY(list.setFileTime(QDateTime(QDate(2026, 12, 1), QTime(0, 0), Qt::UTC), QFileDevice::FileModificationTime));
    list.close();
    // Removed and left as configuration, the earlier one does not count.
    QVERIFY(write(files.status, "Package: vyr-ca-trust\nStatus: install ok installed\nVersion: 1.2.0\n\n"
                                "Package: other\nStatus: install ok installed\nVersion: 9\n\n"
                                "Package: vyr-archive-keyring\nStatus: install ok installed\nVersion: 1.2.0+keys1\n"
                                "Description: keys\n and more\n\n"
                                "Package: vyr-archive-keyring\nStatus: deinstall ok config-files\nVersion: 0.9\n"));

    const std::optional<Ps::HostCheck::Channel> channel = Ps::readAptChannel(files);
    const QString found = !channel ? QStringLiteral("none")
                                   : QStringList{channel->source, channel->refreshed.toString(Qt::ISODate),
                                                 channel->trustVersion, channel->keyringVersion}
                                         .join(QLatin1Char('|'));
    QCOMPARE(found, expected);
}

QTEST_GUILESS_MAIN(TestVerbReport)
#include "tst_verbreport.moc"
