// The fleet's report from folders of host documents: one state per host,
// worst first, each malformed kind a failed host, the exit code, and the
// last known state from a previous report.
#include "fleet.h"
#include "fleetfiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QDateTime now = QDateTime(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

// A host's document: "host@hours-ago cert:result:days,..." or "host@hours-ago !unreachable".
QByteArray document(const QString &line)
{
    const QString head = line.section(QLatin1Char(' '), 0, 0), body = line.section(QLatin1Char(' '), 1);
    QJsonObject object{{"schema", "vyr-host-check/1"},
                       {"host", head.section(QLatin1Char('@'), 0, 0)},
                       {"checked_at", now.addSecs(-3600 * head.section(QLatin1Char('@'), 1).toInt()).toString(Qt::ISODate)}};
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
        certificates.append(QJsonObject{{"store", "ROOT"}, {"name", part[0]}, {"thumbprint", "AB"}, {"result", part[1]},
                                        {"not_after", now.addDays(part[2].toInt()).toString(Qt::ISODate)},
                                        {"days_left", part[2].toInt()}});
    }
    object.insert("verb", "check");
    object.insert("certificates", certificates);
    return QJsonDocument(object).toJson();
}

// Each document line, or "name.json=raw bytes", into the folder.
void writeDocuments(const QString &folder, const QStringList &lines)
{
    int n = 0;
    for (const QString &line : lines) {
        const bool raw = line.contains(QLatin1String(".json="));
        QFile file(folder + QStringLiteral("/%1.json").arg(raw ? line.section(QLatin1String(".json="), 0, 0) : QString::number(++n)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(raw ? line.section(QLatin1String(".json="), 1).toUtf8() : document(line));
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
    QTest::newRow("unreachable") << none << QStringList{"web1@1 !unreachable"} << 30 << "web1 unreachable"
                                 << "ssh: connect to host: No route to host" << 3;
    QTest::newRow("the check failed") << none << QStringList{"web1@1 A.cer:failed:400"} << 30 << "web1 failed"
                                      << "the check failed: A.cer: failed" << 3;
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
        << 30 << "a failed" << "not what --check --json prints (a verb \"check\" and its certificates)" << 3;
    QTest::newRow("worst first, then earliest expiry")
        << none
        << QStringList{"web1@1 A.cer:present:400", "web2@1 A.cer:present:20", "web3@1 A.cer:missing:400",
                       "web4@1 A.cer:present:10", "web5@1 !unreachable"}
        << 30 << "web5 unreachable; web3 lacking; web4 expiring; web2 expiring; web1 in step"
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
        report.write(Ps::fleetJson(Ps::buildFleet(earlier.path(), QString(), options)));
    }
    writeDocuments(folder.path(), documents);
    const Ps::Fleet fleet = Ps::buildFleet(folder.path(), previous.isEmpty() ? QString() : earlier.path(), options);
    QCOMPARE(statesOf(fleet), expected);
    QCOMPARE(fleet.hosts.first().why, why);
    QCOMPARE(fleet.exitCode(), exitCode);
}

// What the files say agrees with the states, and a host's own words reach
// the page and the spreadsheet as text, never as markup or a formula.
void FleetReportTest::files()
{
    QTemporaryDir folder;
    writeDocuments(folder.path(), {"web1@1 A.cer:present:400", "=cmd@1 A.cer:missing:400",
                                   "web3.json={\"schema\": \"vyr-host-check/1\", \"host\": \"web3\", \"checked_at\": "
                                   "\"2026-12-08T10:00:00Z\", \"error\": \"failed\", \"message\": \"<script>x()</script>\"}"});
    Ps::FleetOptions options;
    options.now = now;
    const Ps::Fleet fleet = Ps::buildFleet(folder.path(), QString(), options);
    const QJsonObject json = QJsonDocument::fromJson(Ps::fleetJson(fleet)).object();
    QCOMPARE(json.value("schema").toString(), QStringLiteral("vyr-fleet-report/1"));
    QCOMPARE(json.value("counts").toObject().value("failed").toInt(), 1);
    QCOMPARE(json.value("counts").toObject().value("lacking").toInt(), 1);
    QCOMPARE(json.value("hosts").toArray().at(1).toObject().value("certificates").toArray().at(0).toObject().value("days_left").toInt(),
             400);
    const QByteArray html = Ps::fleetHtml(fleet);
    QVERIFY(html.contains("&lt;script&gt;x()&lt;/script&gt;"));
    QVERIFY(!html.contains("<script>x()"));
    QVERIFY(Ps::fleetCsv(fleet).contains("\r\n'=cmd,lacking,"));
    const QByteArray junit = Ps::fleetJunit(fleet);
    QVERIFY(junit.contains("<testsuite name=\"web3\" tests=\"1\" failures=\"0\" errors=\"1\""));
    QVERIFY(junit.contains("<failure message=\"missing\">AB</failure>"));
}

QTEST_GUILESS_MAIN(FleetReportTest)
#include "tst_fleetreport.moc"
