// The fleet's report from folders of host documents: one state per host,
// worst first, each malformed kind a failed host, the exit code, and the
// last known state from a previous report.
#include "fleet.h"
#include "fleetfiles.h"
#include "reportrun.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <QXmlStreamReader>

#include <sys/stat.h>

namespace {

const QDateTime now = QDateTime(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

// A host's document: "host@hours-ago[#exit] cert:result:days[:days_left],..."
// (and target:id:yes|no, channel:days-ago|never) or
// "host@hours-ago !unreachable"; a negative age is a time ahead of the report.
QByteArray document(const QString &line)
{
    const QString head = line.section(QLatin1Char(' '), 0, 0), body = line.section(QLatin1Char(' '), 1);
    const QString age = head.section(QLatin1Char('@'), 1);
    QJsonObject object{{"schema", "vyr-host-check/1"},
                       {"host", head.section(QLatin1Char('@'), 0, 0)},
                       {"checked_at", now.addSecs(-3600 * age.section(QLatin1Char('#'), 0, 0).toInt()).toString(Qt::ISODate)}};
    if (body.startsWith(QLatin1Char('!'))) {
        object.insert("error", body.mid(1));
        object.insert("message", "ssh: connect to host: No route to host");
        return QJsonDocument(object).toJson();
    }
    QJsonArray certificates;
    for (const QString &certificate : body.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList part = certificate.split(QLatin1Char(':'));
        if (part[0] == QLatin1String("target")) {
            object.insert("trust_targets", QJsonObject{{part[1], part[2] == QLatin1String("yes")}});
            continue;
        }
        if (part[0] == QLatin1String("channel")) {
            QJsonObject channel{{"source", "http://apt.example/vyr"}, {"vyr_ca_trust", "1.2.0"}};
            if (part[1] != QLatin1String("never"))
                channel.insert("refreshed_at", now.addDays(-part[1].toInt()).toString(Qt::ISODate));
            object.insert("channel", channel);
            continue;
        }
        QJsonObject entry{{"store", "ROOT"}, {"name", part[0]}, {"thumbprint", "AB"}, {"result", part[1]},
                          {"not_after", now.addDays(part[2].toInt()).toString(Qt::ISODate)},
                          {"days_left", part.value(3, part[2]).toInt()}};
        if (part[1] == QLatin1String("failed"))
            entry.insert("reason", "the store could not be opened");
        certificates.append(entry);
    }
    const int exitCode = age.contains(QLatin1Char('#')) ? age.section(QLatin1Char('#'), 1).toInt() : 0;
    object.insert("verb", "check");
    object.insert("certificates", certificates);
    object.insert("exit_code", exitCode);
    if (exitCode != 0)
        object.insert("record", "the record could not be read or written: retired certificates are not known");
    return QJsonDocument(object).toJson();
}

// Each document line into the folder, or "name.json=" and then raw bytes
// ("{..."), a document line, or an entry of another kind: <folder>, <fifo>,
// <link:target>, <bytes:count>.
void writeDocuments(const QString &folder, const QStringList &lines)
{
    int n = 0;
    for (const QString &line : lines) {
        const bool named = line.contains(QLatin1String(".json="));
        const QString path = folder + QLatin1Char('/')
                             + (named ? line.section(QLatin1String(".json="), 0, 0) : QString::number(++n)) + ".json";
        const QString content = named ? line.section(QLatin1String(".json="), 1) : line;
        if (content == QLatin1String("<folder>")) {
            QVERIFY(QDir().mkpath(path));
        } else if (content == QLatin1String("<fifo>")) {
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (content.startsWith(QLatin1String("<link:"))) {
            QVERIFY(QFile::link(content.mid(6).chopped(1), path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (content.startsWith(QLatin1String("<bytes:")))
                file.write(QByteArray(content.mid(7).chopped(1).toInt(), ' '));
            else
                file.write(content.startsWith(QLatin1Char('{')) ? content.toUtf8() : document(content));
        }
    }
}

QString statesOf(const Ps::Fleet &fleet)
{
    QStringList said;
    for (const Ps::HostReport &host : fleet.hosts)
        said.append(host.host + QLatin1Char(' ') + Ps::hostStateName(host.state) + (host.lastKnown ? "*" : ""));
    return said.join(QStringLiteral("; "));
}

} // namespace

class FleetReportTest : public QObject
{
    Q_OBJECT

private slots:
    void states_data();
    void states();
    void files();
    void history_data();
    void history();
};

void FleetReportTest::states_data()
{
    QTest::addColumn<QStringList>("previous");
    QTest::addColumn<QStringList>("documents");
    QTest::addColumn<int>("expiryDays");
    QTest::addColumn<QString>("expected"); // each host, worst first; * a last known state
    QTest::addColumn<QString>("why");      // the first host's
    QTest::addColumn<int>("exitCode");

    const QStringList none;
    QTest::newRow("in step") << none << QStringList{"web1@1 A.cer:present:400,B.crt:present:900"} << 30
                             << "web1 in step" << "" << 0;
    QTest::newRow("expiring") << none << QStringList{"web1@1 A.cer:present:9"} << 30 << "web1 expiring"
                              << "A.cer expires in 9 days (2026-12-17)" << 1;
    QTest::newRow("expiring, a band of 5 days") << none << QStringList{"web1@1 A.cer:present:9"} << 5 << "web1 in step"
                                                << "" << 0;
    QTest::newRow("lacking") << none << QStringList{"web1@1 A.cer:missing:400,B.crt:present:5"} << 30 << "web1 lacking"
                             << "lacks A.cer" << 2;
    QTest::newRow("lacking a trust target") << none << QStringList{"web1@1 A.cer:present:400,target:firefox:no"} << 30
                                            << "web1 lacking" << "lacks trust target firefox" << 2;
    QTest::newRow("retired still trusted") << none << QStringList{"web1@1 A.cer:present:400,Old.cer:retired:40"} << 30
                                           << "web1 retired" << "still trusts retired Old.cer" << 2;
    const QString look = QStringLiteral("; look at apt-get update there (a signing key it lacks, a proxy, the source's URL)");
    QTest::newRow("channel quiet") << none << QStringList{"web1@1 A.cer:present:400,channel:9"} << 30 << "web1 channel quiet"
                                   << "its lists of http://apt.example/vyr were last refreshed 9 d ago (more than 7 days)" + look
                                   << 2;
    QTest::newRow("channel never fetched") << none << QStringList{"web1@1 A.cer:present:400,channel:never"} << 30
                                           << "web1 channel quiet"
                                           << "its lists of http://apt.example/vyr were never fetched" + look << 2;
    QTest::newRow("channel within its days") << none << QStringList{"web1@1 A.cer:present:9,channel:6"} << 30
                                             << "web1 expiring" << "A.cer expires in 9 days (2026-12-17)" << 1;
    QTest::newRow("unreachable") << none << QStringList{"web1@1 !unreachable"} << 30 << "web1 unreachable"
                                 << "ssh: connect to host: No route to host" << 3;
    QTest::newRow("the check failed, in its own words") << none << QStringList{"web1@1 A.cer:failed:400"} << 30 << "web1 failed"
                                      << "the check failed: A.cer: the store could not be opened" << 3;
    QTest::newRow("its own check exited 1, all present")
        << none << QStringList{"web1@1#1 A.cer:present:400"} << 30 << "web1 failed"
        << "its own check exited 1: the record could not be read or written: retired certificates are not known" << 3;
    QTest::newRow("expired by now, not by its days_left") << none << QStringList{"web1@1 A.cer:present:-607:100"} << 30
                                                          << "web1 expiring" << "A.cer expired in -607 days (2025-04-10)" << 1;
    QTest::newRow("days_left out of any range")
        << none
        << QStringList{"a.json={\"schema\": \"vyr-host-check/1\", \"host\": \"a\", \"checked_at\": \"2026-12-08T10:00:00Z\", "
                       "\"verb\": \"check\", \"exit_code\": 0, \"certificates\": [{\"name\": \"A.cer\", \"result\": \"present\", "
                       "\"not_after\": \"2027-01-01T00:00:00Z\", \"days_left\": 1e300}]}"}
        << 30 << "a.json failed" << "A.cer: not_after and days_left are not a time and a whole number of days" << 3;
    QTest::newRow("dated ahead of the report's clock") << none << QStringList{"web1@-2 A.cer:present:400"} << 30 << "web1 failed"
                                                       << "dated 2026-12-08T14:00:00Z, ahead of this report's clock "
                                                          "(2026-12-08T12:00:00Z) by more than 300 s" << 3;
    QTest::newRow("a small skew is no fault") << none << QStringList{"web1@0 A.cer:present:400"} << 30 << "web1 in step"
                                              << "" << 0;
    QTest::newRow("a previous report a year ahead decides nothing")
        << QStringList{"web1@-8760 A.cer:present:400", "web2@-8760 A.cer:present:400"}
        << QStringList{"web1@1 A.cer:missing:400", "web2@1 !unreachable"} << 30 << "web2 unreachable; web1 lacking"
        << "ssh: connect to host: No route to host" << 3;
    QTest::newRow("a last known state a week old is stale")
        << QStringList{"web1@200 A.cer:present:400", "web2@1 A.cer:present:400"} << QStringList{"web2@0 A.cer:present:400"}
        << 30 << "web1 stale*; web2 in step"
        << "not checked for 8 d (more than 7 days); then in step" << 3;
    QTest::newRow("a document two years old is stale and expired")
        << none << QStringList{"web1@16968 A.cer:present:-607:100"} << 30 << "web1 stale"
        << "not checked for 707 d (more than 7 days); then expiring: A.cer expired in -607 days (2025-04-10)" << 3;
    QTest::newRow("a host named fleet")
        << none << QStringList{"fleet.json=fleet@1 A.cer:present:400", "web2@1 A.cer:present:400"} << 30
        << "fleet in step; web2 in step" << "" << 0;
    QTest::newRow("a report's own fleet.json is no host")
        << none << QStringList{"fleet.json={\"schema\": \"vyr-fleet-report/1\", \"hosts\": []}", "web2@1 A.cer:present:400"}
        << 30 << "web2 in step" << "" << 0;
    QTest::newRow("a folder") << none << QStringList{"d.json=<folder>"} << 30 << "d.json failed" << "not a document: a folder" << 3;
    QTest::newRow("a FIFO") << none << QStringList{"f.json=<fifo>"} << 30 << "f.json failed" << "not a document: a FIFO" << 3;
    QTest::newRow("a link to a FIFO") << none << QStringList{"f.json=<fifo>", "l.json=<link:f.json>"} << 30
                                      << "f.json failed; l.json failed" << "not a document: a FIFO" << 3;
    QTest::newRow("a dangling link") << none << QStringList{"l.json=<link:gone.json>"} << 30 << "l.json failed"
                                     << "a link, not followed" << 3;
    QTest::newRow("a link to a device") << none << QStringList{"l.json=<link:/dev/urandom>"} << 30 << "l.json failed"
                                        << "a link, not followed" << 3;
    QTest::newRow("a document over the cap") << none << QStringList{"big.json=<bytes:1048577>"} << 30 << "big.json failed"
                                             << "larger than 1048576 bytes: no host's check" << 3;
    QTest::newRow("bad JSON") << none << QStringList{"broken.json={\"schema\":"} << 30 << "broken.json failed"
                              << "not JSON: unterminated object at byte 10" << 3;
    QTest::newRow("unknown schema") << none << QStringList{"old.json={\"schema\": \"vyr-host-check/0\", \"host\": \"a\"}"}
                                    << 30 << "old.json failed"
                                    << "unknown schema 'vyr-host-check/0' (expected 'vyr-host-check/1')" << 3;
    QTest::newRow("host name a path")
        << none << QStringList{"up.json={\"schema\": \"vyr-host-check/1\", \"host\": \"../etc\", \"checked_at\": \"2026-12-08T10:00:00Z\"}"}
        << 30 << "up.json failed" << "the host name '../etc' is not a bare file name" << 3;
    QTest::newRow("not a check")
        << none << QStringList{"a.json={\"schema\": \"vyr-host-check/1\", \"host\": \"a\", \"checked_at\": \"2026-12-08T10:00:00Z\"}"}
        << 30 << "a.json failed" << "not what --check --json prints (a verb \"check\", its certificates and its exit code)" << 3;
    QTest::newRow("worst first, then earliest expiry")
        << none
        << QStringList{"web1@1 A.cer:present:400", "web2@1 A.cer:present:20", "web3@1 A.cer:missing:400",
                       "web4@1 A.cer:present:10", "web5@1 !unreachable", "web6@1 A.cer:present:5,channel:30",
                       "web7@1 A.cer:retired:400,channel:30"}
        << 30 << "web5 unreachable; web3 lacking; web7 retired; web6 channel quiet; web4 expiring; web2 expiring; web1 in step"
        << "ssh: connect to host: No route to host" << 3;
    QTest::newRow("an older document keeps the last known state")
        << QStringList{"web1@2 A.cer:missing:400"} << QStringList{"web1@30 A.cer:present:400"} << 30 << "web1 lacking*"
        << "lacks A.cer" << 2;
    QTest::newRow("a newer document speaks")
        << QStringList{"web1@30 A.cer:missing:400"} << QStringList{"web1@2 A.cer:present:400"} << 30 << "web1 in step"
        << "" << 0;
    QTest::newRow("a host without a document keeps its last known state")
        << QStringList{"web1@30 A.cer:present:400", "web2@30 A.cer:present:400"} << QStringList{"web1@2 A.cer:present:400"}
        << 30 << "web1 in step; web2 in step*" << "" << 0;
}

void FleetReportTest::states()
{
    QFETCH(QStringList, previous);
    QFETCH(QStringList, documents);
    QFETCH(int, expiryDays);
    QFETCH(QString, expected);
    QFETCH(QString, why);
    QFETCH(int, exitCode);
    Ps::FleetOptions options;
    options.expiryDays = expiryDays;
    options.now = now;
    QTemporaryDir earlier, folder;
    if (!previous.isEmpty()) {
        writeDocuments(earlier.path(), previous);
        QFile report(earlier.filePath("fleet.json"));
        QVERIFY(report.open(QIODevice::WriteOnly));
        // The earlier report's clock agreed with its documents, even where they ran ahead of this one.
        Ps::FleetOptions then = options;
        for (const QString &line : previous)
            then.now = std::max(then.now, now.addSecs(-3600 * line.section('@', 1).section(' ', 0, 0).toInt()));
        report.write(Ps::fleetJson(Ps::buildFleet(earlier.path(), QString(), then)));
    }
    writeDocuments(folder.path(), documents);
    const Ps::Fleet fleet = Ps::buildFleet(folder.path(), previous.isEmpty() ? QString() : earlier.path(), options);
    QCOMPARE(statesOf(fleet), expected);
    QCOMPARE(fleet.hosts.first().why, why);
    QCOMPARE(fleet.exitCode(), exitCode);
}

// Comma-separated rows as a spreadsheet reads them: quoted fields may hold
// commas, quotes and line breaks.
QVector<QStringList> csvRows(const QString &text)
{
    QVector<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == '"' && text.mid(i + 1, 1) == QLatin1String("\""))
            field += text.at(++i);
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            rows.last().append(std::exchange(field, QString()));
        else if (!quoted && c == '\r' && text.mid(i + 1, 1) == QLatin1String("\n")) {
            rows.last().append(std::exchange(field, QString()));
            rows.append(QStringList());
            ++i;
        } else
            field += c;
    }
    rows.removeLast();
    return rows;
}

// What the files say agrees with the states, and a host's own words reach
// the page, the spreadsheet and the JUnit file as text, never as markup, a
// formula or a template: "%1" in any of them stays "%1".
void FleetReportTest::files()
{
    QTemporaryDir folder;
    writeDocuments(folder.path(), {"web1@1 A.cer:present:400", "=cmd@1 %2.cer:missing:400", "R%1@1 A%1.cer:present:9",
                                   "web3.json={\"schema\": \"vyr-host-check/1\", \"host\": \"web3\", \"checked_at\": "
                                   "\"2026-12-08T10:00:00Z\", \"error\": \"failed\", \"message\": \"<script>x()</script> %1\"}",
                                   "odd.json={\"schema\": \"vyr-host-check/1\", \"host\": \"a\\ud800b\", \"checked_at\": "
                                   "\"2026-12-08T10:00:00Z\", \"error\": \"failed\", \"message\": \"x\\udc00\\u0001\"}"});
    Ps::FleetOptions options;
    options.now = now;
    options.scope = "%1 <b>";
    const Ps::Fleet fleet = Ps::buildFleet(folder.path(), QString(), options);
    const QJsonObject json = QJsonDocument::fromJson(Ps::fleetJson(fleet)).object();
    QCOMPARE(json.value("schema").toString(), QStringLiteral("vyr-fleet-report/1"));
    QCOMPARE(json.value("counts").toObject().value("failed").toInt(), 2);
    QCOMPARE(json.value("counts").toObject().value("lacking").toInt(), 1);
    QCOMPARE(json.value("hosts").toArray().at(2).toObject().value("certificates").toArray().at(0).toObject().value("days_left").toInt(),
             400);
    const QString html = QString::fromUtf8(Ps::fleetHtml(fleet));
    QVERIFY(html.contains("&lt;script&gt;x()&lt;/script&gt; %1"));
    QVERIFY(!html.contains("<script>x()"));
    QVERIFY2(html.contains("scope: %1 &lt;b&gt;; release: not reported; <span id=\"host-count\">5</span> hosts; expiring "
                           "means 30 days"), qPrintable(html));
    QVERIFY(html.contains("<td>A%1.cer expires in 9 days (2026-12-17)</td>"));
    QVERIFY(html.contains("<tr><th scope=\"row\">ROOT %2.cer AB</th><td>-</td><td class=\"number\">1</td><td>=cmd</td>"
                          "<td>2028-01-12</td><td class=\"number\">0</td></tr>"));
    QVERIFY(html.contains("A%1.cer ends 2026-12-17; %2.cer ends 2028-01-12"));

    const QVector<QStringList> rows = csvRows(QString::fromUtf8(Ps::fleetCsv(fleet)));
    QCOMPARE(rows.size(), 6);
    for (const QStringList &row : rows)
        QCOMPARE(row.size(), 10);
    QCOMPARE(rows.at(3).mid(0, 2), (QStringList{"'=cmd", "lacking"}));
    QCOMPARE(rows.at(4).at(4), QStringLiteral("A%1.cer"));

    const std::optional<QByteArray> junit = Ps::fleetJunit(fleet);
    QVERIFY(junit);
    QXmlStreamReader xml(*junit);
    QStringList suites;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("testsuite"))
            suites.append(xml.attributes().value("name").toString() + ":" + xml.attributes().value("errors").toString());
        else if (xml.isStartElement() && xml.name() == QLatin1String("failure"))
            QCOMPARE(xml.readElementText(), QStringLiteral("AB"));
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(suites, (QStringList{"a\uFFFDb:1", "web3:1", "=cmd:0", "R%1:0", "web1:0"}));
}

void FleetReportTest::history_data()
{
    QTest::addColumn<QStringList>("reports"); // each one's documents; a day apart, the last at the test's clock
    QTest::addColumn<QString>("fault");       // before the last report: locked (another report writing), corrupt
    QTest::addColumn<QString>("expected");    // the last report's states, * a last known state
    QTest::addColumn<QString>("since");       // out of step since, of each host out of step
    QTest::addColumn<QString>("trend");       // the page's counts, a report each
    QTest::addColumn<QString>("states");      // the first host's states in the history, a report each
    QTest::addColumn<int>("exitCode");

    const QStringList turns{"web1@49 A.cer:present:400;web2@49 A.cer:missing:400;web3@49 A.cer:present:400",
                            "web1@25 A.cer:missing:400;web2@25 A.cer:missing:400;web3@25 A.cer:present:400",
                            "web1@49 A.cer:present:400;web2@1 A.cer:present:400;web3@1 A.cer:missing:400"};
    QTest::newRow("three reports in turn")
        << turns << "" << "web1 lacking*; web3 lacking; web2 in step"
        << "web1 2026-12-07T11:00:00Z; web3 2026-12-08T11:00:00Z"
        << "1 lacking, 2 in step / 2 lacking, 1 in step / 2 lacking, 1 in step" << "web1 in step, lacking, lacking" << 2;
    QTest::newRow("out of step, back, and out again")
        << QStringList{"web1@49 A.cer:missing:400", "web1@25 A.cer:present:400", "web1@1 A.cer:retired:400"} << ""
        << "web1 retired" << "web1 2026-12-08T11:00:00Z" << "1 lacking / 1 in step / 1 retired"
        << "web1 lacking, in step, retired" << 2;
    QTest::newRow("out of step since the first report")
        << QStringList{"web1@49 A.cer:missing:400", "web1@25 !unreachable", "web1@1 A.cer:present:9"} << ""
        << "web1 expiring" << "web1 2026-12-06T11:00:00Z" << "1 lacking / 1 unreachable / 1 expiring"
        << "web1 lacking, unreachable, expiring" << 1;
    QTest::newRow("locked by another report: written, not recorded")
        << turns << "locked" << "web1 lacking*; web3 lacking; web2 in step"
        << "web1 2026-12-07T11:00:00Z; web3 2026-12-08T11:00:00Z"
        << "1 lacking, 2 in step / 2 lacking, 1 in step / 2 lacking, 1 in step" << "web1 in step, lacking" << 4;
    QTest::newRow("corrupt: written, the file left as it was")
        << turns << "corrupt" << "web3 lacking; web1 in step; web2 in step" << "web3 2026-12-08T11:00:00Z"
        << "1 lacking, 2 in step" << "" << 4;
}

// Reports in turn over one history: the trend on the page, the last known
// states and since when each host is out of step, all from the database;
// one that cannot record says so (4), still writes its page, and leaves the
// database as it was.
void FleetReportTest::history()
{
    QFETCH(QStringList, reports);
    QFETCH(QString, fault);
    QFETCH(QString, expected);
    QFETCH(QString, since);
    QFETCH(QString, trend);
    QFETCH(QString, states);
    QFETCH(int, exitCode);
    QTemporaryDir scratch;
    Ps::ReportRun run;
    run.history = scratch.filePath("history.sqlite");
    QString said;
    QTextStream out(&said), err(&said);
    QByteArray before;
    int code = -1;
    QSqlDatabase other;
    for (int n = 0; n < reports.size(); ++n) {
        run.folder = scratch.filePath(QStringLiteral("documents-%1").arg(n));
        run.out = scratch.filePath(QStringLiteral("report-%1").arg(n));
        QVERIFY(QDir().mkpath(run.folder));
        writeDocuments(run.folder, reports.at(n).split(';'));
        run.options.now = now.addDays(n + 1 - reports.size());
        if (n + 1 == reports.size() && fault == QLatin1String("locked")) {
            other = QSqlDatabase::addDatabase("QSQLITE", "other");
            other.setDatabaseName(run.history);
            QVERIFY(other.open());
            QVERIFY(QSqlQuery(other).exec("BEGIN IMMEDIATE"));
        }
        if (n + 1 == reports.size() && fault == QLatin1String("corrupt")) {
            QFile file(run.history);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.write("not a database, ") == 16);
            file.close();
            QVERIFY(file.open(QIODevice::ReadOnly));
            before = file.readAll();
        }
        code = Ps::runReport(run, out, err);
    }
    QCOMPARE(code, exitCode);
    if (fault == QLatin1String("locked")) {
        QVERIFY(QSqlQuery(other).exec("ROLLBACK"));
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase("other");
        QVERIFY2(said.contains("could not be written") || said.contains("database is locked"), qPrintable(said));
    }
    if (fault == QLatin1String("corrupt")) {
        QFile file(run.history);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    QFile json(run.out + "/fleet.json"), page(run.out + "/fleet.html");
    QVERIFY(json.open(QIODevice::ReadOnly));
    QVERIFY(page.open(QIODevice::ReadOnly));
    QStringList hosts, outOfStep;
    for (const QJsonValue &value : QJsonDocument::fromJson(json.readAll()).object().value("hosts").toArray()) {
        const QJsonObject host = value.toObject();
        hosts.append(host.value("host").toString() + ' ' + host.value("state").toString()
                     + (host.value("last_known").toBool() ? "*" : ""));
        if (host.contains("out_of_step_since"))
            outOfStep.append(host.value("host").toString() + ' ' + host.value("out_of_step_since").toString());
    }
    QCOMPARE(hosts.join("; "), expected);
    QCOMPARE(outOfStep.join("; "), since);
    const QByteArray html = page.readAll();
    const QByteArray open = "<script type=\"application/json\" id=\"fleet-data\">";
    const int at = html.indexOf(open) + open.size();
    QStringList counted;
    for (const QJsonValue &report : QJsonDocument::fromJson(html.mid(at, html.indexOf("</script>", at) - at)).object().value("trend").toArray()) {
        QStringList counts;
        for (int i = 0; i < Ps::hostStateCount; ++i) {
            if (const int count = report.toObject().value("counts").toObject().value(Ps::hostStateName(Ps::HostState(i))).toInt())
                counts.append(QString::number(count) + ' ' + Ps::hostStateName(Ps::HostState(i)));
        }
        counted.append(counts.join(", "));
    }
    QCOMPARE(counted.join(" / "), trend);

    QString printed;
    QTextStream listed(&printed);
    const QString host = expected.section(' ', 0, 0);
    const int listedCode = Ps::printStatesOf(run.history, host, listed, listed);
    listed.flush();
    QCOMPARE(listedCode, states.isEmpty() ? 4 : 0);
    if (!states.isEmpty()) {
        QStringList words;
        for (const QString &line : printed.split('\n', Qt::SkipEmptyParts))
            words.append(line.section(' ', 1));
        QCOMPARE(host + ' ' + words.join(", "), states);
    }
}

QTEST_GUILESS_MAIN(FleetReportTest)
#include "tst_fleetreport.moc"
