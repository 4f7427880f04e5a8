// The command line in process: the printing of hand-built reports (lines,
// JSON, warnings, exit codes), what only a whole run shows (the JSON the
// fleet's report reads back, the copies another user kept out, the metrics
// file) against the scratch stores with test bundles registered at run time,
// and every usage error. What the verbs decide is tst_verbreport's.
#include "commandline.h"
#include "hostcheck.h"
#include "storefixture.h"
#include "storequery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QResource>
#include <QStandardPaths>
#include <QTextStream>
#include <QtTest>

#include <unistd.h>

using namespace StoreFixture;

namespace {

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

using Note = Ps::VerbReport::RecordNote;
using Ending = Ps::VerbReport::Ending;

QVector<Ps::Outcome> nine(Ps::Outcome outcome)
{
    return QVector<Ps::Outcome>(9, outcome);
}

// A report as a verb would make it: the first four bundled certificates
// roots, the rest intermediates, each with a thumbprint of its own (none for
// a name never read); the retired ones after them.
Ps::VerbReport report(Ps::Verb verb, const QVector<Ps::Outcome> &bundled, const QVector<Ps::Outcome> &retired, Note note,
                      Ending ending)
{
    Ps::VerbReport made;
    made.verb = verb;
    made.record = note;
    made.ending = ending;
    const auto certificate = [](int i, const QString &prefix, Ps::Outcome outcome) {
        Ps::BundledCertificate bundledOne;
        bundledOne.list = i < 4 ? Ps::StoreList::Root : Ps::StoreList::Intermediate;
        bundledOne.name = prefix + QString::number(i) + (i < 4 ? QStringLiteral(".cer") : QStringLiteral(".crt"));
        if (outcome != Ps::Outcome::UnsafeName)
            bundledOne.sha1 = QStringLiteral("%1").arg(i + 1, 40, 10, QLatin1Char('0'));
        return Ps::CertificateResult{bundledOne, outcome};
    };
    for (int i = 0; i < bundled.size(); ++i)
        made.certificates.append(certificate(i, QStringLiteral("Bundled_"), bundled.at(i)));
    for (int i = 0; i < retired.size(); ++i)
        made.retired.append(certificate(i, QStringLiteral("Retired_"), retired.at(i)));
    return made;
}

} // namespace

Q_DECLARE_METATYPE(Ps::VerbReport)

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
    void othersInTheWay();
    void metrics_data();
    void metrics();
    void arguments_data();
    void arguments();
};

void TestCommandLine::initTestCase()
{
    qputenv("TMPDIR", QByteArray(VYR_TEST_SCRATCH "/tmp/cli"));
    QVERIFY(QResource::registerResource(testBundle(QStringLiteral("certs"))));
}

void TestCommandLine::cleanupTestCase()
{
    QVERIFY(QResource::unregisterResource(testBundle(QStringLiteral("certs"))));
}

void TestCommandLine::init()
{
    clearStores();
    QVERIFY(QDir().mkpath(QStringLiteral(VYR_TEST_SCRATCH "/tmp/cli")));
}

void TestCommandLine::verbs_data()
{
    QTest::addColumn<Ps::VerbReport>("report");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("results"); // per line, what follows the thumbprint
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("err"); // what standard error starts with

    using Ps::Outcome;
    const auto install = Ps::Verb::Install, check = Ps::Verb::Check, remove = Ps::Verb::Remove;
    const auto asWanted = Ending::AsWanted, notAll = Ending::NotAll;
    QVector<Outcome> secondMissing = nine(Outcome::Added);
    secondMissing[1] = Outcome::NotInBundle;
    QStringList secondMissingLines = all("added");
    secondMissingLines[1] = QStringLiteral("failed: no such file in the bundle");

    QTest::newRow("install into empty stores")
        << report(install, nine(Outcome::Added), {}, Note::Kept, asWanted) << 0 << all("added")
        << "9 of 9 certificates in their stores" << "";
    QTest::newRow("check of empty stores") << report(check, nine(Outcome::Missing), {}, Note::Kept, notAll) << 1
                                           << all("missing") << "0 of 9 certificates in their stores" << "";
    const QString noRecord = QStringLiteral("no record of what this program added (");
    QTest::newRow("remove from empty stores") << report(remove, nine(Outcome::Absent), {}, Note::None, asWanted) << 0
                                              << all("absent") << "0 of 9 certificates left in their stores" << noRecord;
    QTest::newRow("install with a root missing from the bundle")
        << report(install, secondMissing, {}, Note::Kept, notAll) << 1 << secondMissingLines
        << "8 of 9 certificates in their stores" << "";
    // The number 7 in the list reads as an empty name.
    QVector<Outcome> unsafe(10, Outcome::UnsafeName);
    unsafe[7] = unsafe[9] = Outcome::Added;
    QStringList unsafeLines = repeated(10, QStringLiteral("failed: the name is not a bare file name"));
    unsafeLines[7] = unsafeLines[9] = QStringLiteral("added");
    QTest::newRow("install with unsafe names") << report(install, unsafe, {}, Note::Kept, notAll) << 1 << unsafeLines
                                               << "2 of 10 certificates in their stores" << "";
    for (const Ps::Verb verb : {install, check, remove}) {
        QTest::addRow("verb %d with empty lists", int(verb))
            << report(verb, {}, {}, verb == remove ? Note::None : Note::Kept, notAll) << 1 << QStringList()
            << "no certificates listed: the bundled settings are empty or unreadable"
            << (verb == remove ? noRecord : QString());
    }

    // A later release retires a root and an intermediate, and adds a root.
    QVector<Outcome> laterSet(7, Outcome::Present);
    laterSet[2] = Outcome::Missing;
    QStringList laterLines = repeated(7, QStringLiteral("present"));
    laterLines[2] = QStringLiteral("missing");
    QTest::newRow("second release: check finds the retired")
        << report(check, laterSet, {Outcome::Retired, Outcome::Retired}, Note::Kept, notAll) << 1
        << laterLines + QStringList{"retired", "retired"} << "6 of 7 certificates in their stores" << "";
    laterSet[2] = Outcome::Added;
    laterLines[2] = QStringLiteral("added");
    QTest::newRow("second release: install withdraws the retired")
        << report(install, laterSet, {Outcome::Withdrawn, Outcome::Withdrawn}, Note::Kept, asWanted) << 0
        << laterLines + QStringList{"withdrawn", "withdrawn"} << "7 of 7 certificates in their stores" << "";
    QVector<Outcome> thereBefore = nine(Outcome::Removed);
    thereBefore[1] = Outcome::Kept;
    QStringList thereBeforeLines = all("removed");
    thereBeforeLines[1] = QStringLiteral("kept");
    QTest::newRow("a root there before is kept by remove")
        << report(remove, thereBefore, {}, Note::Kept, asWanted) << 0 << thereBeforeLines
        << "1 of 9 certificates left in their stores" << "";
    QTest::newRow("a record not ours to read: install changes nothing")
        << report(install, nine(Outcome::RecordUnavailable), {}, Note::Unavailable, notAll) << 1
        << all("failed: the record of what this program added could not be read or written")
        << "0 of 9 certificates in their stores" << "the record of what this program added (";
    QTest::newRow("no rights: install writes nothing")
        << report(install, nine(Outcome::StoreUnavailable), {}, Note::Kept, Ending::NoRights) << 3
        << all("failed: the store could not be opened for writing") << "0 of 9 certificates in their stores" << "";
    QTest::newRow("no rights: remove leaves each where it was")
        << report(remove, nine(Outcome::StoreUnavailable), {}, Note::Kept, Ending::NoRights) << 3
        << all("failed: the store could not be opened for writing") << "9 of 9 certificates left in their stores" << "";
    QTest::newRow("a store a check cannot open")
        << report(check, nine(Outcome::StoreUnavailable), {}, Note::Kept, notAll) << 1
        << all("failed: the store could not be opened") << "0 of 9 certificates in their stores" << "";
}

// The printing alone, from reports made by hand: what the verbs decide is
// tst_verbreport's.
void TestCommandLine::verbs()
{
    QFETCH(Ps::VerbReport, report);
    QFETCH(int, exitCode);
    QFETCH(QStringList, results);
    QFETCH(QString, summary);
    QFETCH(QString, err);

    QString printed, warned;
    QTextStream out(&printed), errors(&warned);
    QCOMPARE(Ps::printReport(out, errors, report, false), exitCode);
    out.flush();
    errors.flush();

    QVERIFY2(err.isEmpty() ? warned.isEmpty() : warned.startsWith(err), qPrintable(warned));
    QStringList lines = printed.split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.takeLast(), summary);
    QStringList found;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char(' '));
        QVERIFY2(fields.size() >= 4, qPrintable(line));
        QVERIFY2(fields[2] == QLatin1String("-") || fields[2].size() == 40, qPrintable(line));
        found << line.section(QLatin1Char(' '), 3);
    }
    QCOMPARE(found, results);
    QVERIFY(lines.isEmpty() || lines.first().startsWith(QLatin1String("ROOT ")));

    // The same report as one document, each certificate with the same words.
    QString document;
    QTextStream json(&document);
    QCOMPARE(Ps::printReport(json, errors, report, true), exitCode);
    json.flush();
    const QJsonObject object = QJsonDocument::fromJson(document.toUtf8()).object();
    QCOMPARE(object.value("exit_code").toInt(-1), exitCode);
    QCOMPARE(object.value("summary").toString(), summary);
    QStringList words;
    for (const QJsonValue &entry : object.value("certificates").toArray()) {
        const QString reason = entry["reason"].toString();
        words << entry["result"].toString() + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
    }
    QCOMPARE(words, results);
}

void TestCommandLine::jsonOnRequest()
{
    QVERIFY(QResource::registerResource(testBundle(QStringLiteral("settings_second_root_missing"))));
    const Run result = run({QStringLiteral("--install"), QStringLiteral("--json")});
    QVERIFY(QResource::unregisterResource(testBundle(QStringLiteral("settings_second_root_missing"))));

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

    // What the check prints is what the fleet's report reads, once an engine stamped it.
    QVERIFY(QResource::registerResource(testBundle(QStringLiteral("settings_shipped"))));
    const Run check = run({QStringLiteral("--check"), QStringLiteral("--json")});
    QVERIFY(QResource::unregisterResource(testBundle(QStringLiteral("settings_shipped"))));
    QJsonObject stamped = QJsonDocument::fromJson(check.out.toUtf8()).object();
    // The build read the tree's roots: none is limited to names of its own.
    const QJsonArray checked = stamped.value("certificates").toArray();
    QCOMPARE(checked.at(0)["vouches_for"].toString(), QStringLiteral("any"));
    QVERIFY(!checked.at(8).toObject().contains("vouches_for"));
    stamped.insert("schema", Ps::HostCheck::schema);
    stamped.insert("host", "web1");
    stamped.insert("checked_at", "2026-12-08T12:00:00Z");
    // As a machine of the repository says it; the machine here has none.
    QVERIFY(!stamped.contains("channel"));
    stamped.insert("channel", QJsonObject{{"source", "http://apt.example/vyr"}, {"refreshed_at", "2026-12-01T00:00:00Z"},
                                          {"vyr_ca_trust", "1.2.0"}});
    QString why;
    const std::optional<Ps::HostCheck::Document> read = Ps::HostCheck::fromJson(stamped, &why);
    QVERIFY2(read, qPrintable(why));
    QCOMPARE(read->exitCode, std::optional<int>(check.exitCode));
    QCOMPARE(read->certificates.size(), 9);
    QCOMPARE(read->certificates.at(0).result, Ps::HostCheck::Result::present);
    QVERIFY(read->certificates.at(0).notAfter.isValid());
    QCOMPARE(read->channel->refreshed, QDateTime(QDate(2026, 12, 1), QTime(0, 0), Qt::UTC));
    QCOMPARE(Ps::HostCheck::toJson(*read), stamped);
}

// Another user's folder and file under two copies' names in the temporary
// folder decide nothing: every certificate is added from the bundle's own
// bytes, theirs are left as they were, and the copies not left are said once.
void TestCommandLine::othersInTheWay()
{
    const QString temp = QStringLiteral(VYR_TEST_SCRATCH "/tmp/cli");
    const QString folder = temp + "/Vyr_Root_CA_1.cer", file = temp + "/Vyr_Int_1.crt";
    for (const QString &path : {folder, file}) {
        QFile::remove(path);
        QDir(path).removeRecursively();
    }
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(testData("other.der"), file));
    const bool root = geteuid() == 0;
    if (root) // nobody's, as any user may leave one in a sticky /tmp
        QCOMPARE(lchown(QFile::encodeName(file).constData(), 65534, 65534), 0);
    QVERIFY(QResource::registerResource(testBundle(QStringLiteral("settings_shipped"))));
    const Run result = run({QStringLiteral("--install")});
    QVERIFY(QResource::unregisterResource(testBundle(QStringLiteral("settings_shipped"))));
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.endsWith("9 of 9 certificates in their stores\n"), qPrintable(result.out));
    QVERIFY2(result.err.startsWith(root ? "the copies of Vyr_Root_CA_1.cer, Vyr_Int_1.crt could not be left in "
                                        : "the copies of Vyr_Root_CA_1.cer could not be left in "),
             qPrintable(result.err));
    QCOMPARE(result.out.count(" added\n"), 9);
    QCOMPARE(thumbprintOf("other").size(), 40);
    QVERIFY(!QFile::exists(storeFolder("CA") + '/' + thumbprintOf("other") + ".crt"));
    QVERIFY(!QFile::exists(storeFolder("ROOT") + '/' + thumbprintOf("other") + ".crt"));
    QVERIFY(QFileInfo(folder).isDir());
    QFile left(file), theirs(testData("other.der"));
    QVERIFY(left.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly));
    QCOMPARE(left.readAll(), theirs.readAll());
    QVERIFY(QDir(temp).entryList({"vyr-cert-installer-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
    QDir(folder).removeRecursively();
    QFile::remove(file);
}

void TestCommandLine::metrics_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("folder"); // under the scratch folder; "link/" is a link to "elsewhere/"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");
    QTest::newRow("%1 and %2 in names") << "settings_percent" << "metrics" << 0 << "";
    QTest::newRow("its folder swapped for a link")
        << "settings_shipped" << "link/node-exporter" << 1
        << "the metrics file " VYR_TEST_SCRATCH "/cli-metrics/link/node-exporter/m.prom was not written: " VYR_TEST_SCRATCH
           "/cli-metrics/link is a link";
}

// Every line a sample node_exporter takes: one bad line drops the whole
// file, and with it every alert on this machine.
void TestCommandLine::metrics()
{
    QFETCH(QString, settings);
    QFETCH(QString, folder);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    const QString scratch = QStringLiteral(VYR_TEST_SCRATCH "/cli-metrics");
    QDir(scratch).removeRecursively();
    QVERIFY(QDir().mkpath(scratch + "/elsewhere/node-exporter"));
    QVERIFY(QFile::link(scratch + "/elsewhere", scratch + "/link"));
    const QString file = scratch + '/' + folder + "/m.prom";
    QVERIFY(QResource::registerResource(testBundle(settings)));
    QCOMPARE(run({QStringLiteral("--install")}).exitCode, 0);
    const Run result = run({QStringLiteral("--check"), QStringLiteral("--metrics"), file});
    QVERIFY(QResource::unregisterResource(testBundle(settings)));
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.startsWith(err), qPrintable(result.err));
    QVERIFY(!QFile::exists(scratch + "/elsewhere/node-exporter/m.prom"));
    if (exitCode != 0)
        return;
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(written.readAll());
    const QRegularExpression sample(QStringLiteral(R"(^[a-z_]+(\{([a-z]+="([^"\\]|\\.)*",?)+\})? -?[0-9]+$)"));
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        QVERIFY2(line.startsWith('#') || sample.match(line).hasMatch(), qPrintable(line));
    QVERIFY(text.contains(QStringLiteral("name=\"R%1 x.cer\"")) && text.contains(QStringLiteral("name=\"I%2.crt\"")));
    if (QStandardPaths::findExecutable("promtool").isEmpty())
        return;
    QProcess promtool;
    promtool.setStandardInputFile(file);
    promtool.start("promtool", {"check", "metrics"});
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAllStandardOutput() + promtool.readAllStandardError());
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
    QTest::newRow("metrics without a check")
        << QStringList{"--install", "--metrics", "/tmp/x.prom"} << 2 << "" << usage + "--metrics goes with --check" << win;
    QTest::newRow("metrics without a file") << QStringList{"--check", "--metrics"} << 2 << "" << usage + "Missing value" << win;
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
