#include "reportrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

// The fleet's report from a folder of per-host check documents, written
// beside them (or into a folder of its own): fleet.html, fleet.json,
// fleet.csv and fleet-junit.xml.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vyr-fleet-report"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYR_VERSION));
    QTextStream out(stdout), err(stderr);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads a folder of per-host documents (what vyr-cert-installer-cli --check --json prints, with "
                       "\"schema\": \"vyr-host-check/1\", \"host\" and \"checked_at\" added; or \"error\": \"unreachable\" "
                       "or \"failed\" with a \"message\") and writes the fleet's report beside them (or into --out): "
                       "fleet.html, fleet.json, fleet.csv, fleet-junit.xml.\n\nExit codes, as a monitoring plugin's: 0 every host in "
                       "step (OK), 1 only expiry warnings (WARNING), 2 a host lacks a certificate, trusts a retired one "
                       "or has taken nothing from its repository for longer than --channel-days (CRITICAL), 3 the report is incomplete (hosts unreachable, failed, stale, or documents that are "
                       "none) or a usage error, with nothing written (UNKNOWN), 4 the report could not be written, or its "
                       "history (--history) could not be read or recorded (the page is written all the same).\n\n"
                       "With --history and --since HOST, prints the host's state in each report the history holds "
                       "and writes nothing."));
    const QCommandLineOption expiry(QStringLiteral("expiry-days"),
                                    QStringLiteral("A certificate with this many days left or fewer is expiring (30)."),
                                    QStringLiteral("days"), QStringLiteral("30"));
    const QCommandLineOption previous(QStringLiteral("previous"),
                                      QStringLiteral("The previous report's folder: a host whose document here is older "
                                                     "keeps its last known state, and so does a host missing here. With "
                                                     "--history, only while the history holds no report."),
                                      QStringLiteral("folder"));
    const QCommandLineOption scope(QStringLiteral("scope"),
                                   QStringLiteral("What the hosts are, for the report's head (\"all hosts\")."),
                                   QStringLiteral("text"), QStringLiteral("all hosts"));
    const QCommandLineOption outFolder(QStringLiteral("out"),
                                       QStringLiteral("The folder the report's files go to (the documents' folder)."),
                                       QStringLiteral("folder"));
    const QCommandLineOption maxBytes(QStringLiteral("max-document-bytes"),
                                      QStringLiteral("A document larger than this is a failed host (1048576)."),
                                      QStringLiteral("bytes"), QStringLiteral("1048576"));
    const QCommandLineOption skew(QStringLiteral("max-skew"),
                                  QStringLiteral("A document dated more than this many seconds ahead of this "
                                                 "machine's clock is a failed host (300)."),
                                  QStringLiteral("seconds"), QStringLiteral("300"));
    const QCommandLineOption stale(QStringLiteral("stale-days"),
                                   QStringLiteral("A host whose last check is older than this many days is stale (7)."),
                                   QStringLiteral("days"), QStringLiteral("7"));
    const QCommandLineOption channel(QStringLiteral("channel-days"),
                                     QStringLiteral("A host whose lists of the organisation's repository are older than "
                                                    "this many days is a quiet channel (7)."),
                                     QStringLiteral("days"), QStringLiteral("7"));
    const QCommandLineOption history(QStringLiteral("history"),
                                     QStringLiteral("The fleet's history, an SQLite file (made when absent): each report's "
                                                    "counts and each host's state, for the trend, the hosts' last known "
                                                    "states and since when each is out of step."),
                                     QStringLiteral("file"));
    const QCommandLineOption trend(QStringLiteral("trend-reports"),
                                   QStringLiteral("How many reports the trend shows, this one with them (90)."),
                                   QStringLiteral("reports"), QStringLiteral("90"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Print this host's state in each report the history holds, and nothing else."),
                                   QStringLiteral("host"));
    parser.addOptions({expiry, previous, scope, outFolder, maxBytes, skew, stale, channel, history, trend, since});
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("The folder of host documents."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Not QCommandLineParser::process(): its exit code for an unknown option
    // (1) would read as a fleet with expiry warnings.
    const auto usage = [&](const QString &why) {
        err << QCoreApplication::applicationName() << ": " << why << "\n\n" << parser.helpText();
        return 3;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        out << parser.helpText();
        return 0;
    }
    if (parser.isSet(version)) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    if (parser.isSet(since)) {
        if (!parser.isSet(history))
            return usage(QStringLiteral("--since takes the history's file (--history)"));
        if (!parser.positionalArguments().isEmpty())
            return usage(QStringLiteral("--since reads the history only: give no folder"));
        return Ps::printStatesOf(parser.value(history), parser.value(since), out, err);
    }
    bool number = false, bytesNumber = false, skewNumber = false, staleNumber = false, channelNumber = false;
    const int days = parser.value(expiry).toInt(&number);
    const qint64 cap = parser.value(maxBytes).toLongLong(&bytesNumber);
    const qint64 skewSeconds = parser.value(skew).toLongLong(&skewNumber);
    const int staleDays = parser.value(stale).toInt(&staleNumber);
    const int channelDays = parser.value(channel).toInt(&channelNumber);
    bool trendNumber = false;
    const int trendReports = parser.value(trend).toInt(&trendNumber);
    const QStringList folders = parser.positionalArguments();
    if (folders.size() != 1)
        return usage(QStringLiteral("give one folder of host documents"));
    if (!number || days < 0)
        return usage(QStringLiteral("--expiry-days takes a number of days"));
    if (!bytesNumber || cap < 1 || cap > 1024 * 1024 * 1024)
        return usage(QStringLiteral("--max-document-bytes takes a number of bytes, up to 1 GiB"));
    if (!skewNumber || skewSeconds < 0)
        return usage(QStringLiteral("--max-skew takes a number of seconds"));
    if (!staleNumber || staleDays < 0)
        return usage(QStringLiteral("--stale-days takes a number of days"));
    if (!channelNumber || channelDays < 0)
        return usage(QStringLiteral("--channel-days takes a number of days"));
    if (!trendNumber || trendReports < 1 || trendReports > 10000)
        return usage(QStringLiteral("--trend-reports takes a number of reports, 1 to 10000"));
    if (!QFileInfo(folders.first()).isDir())
        return usage(QStringLiteral("'") + folders.first() + QStringLiteral("' is not a folder"));
    Ps::ReportRun run;
    run.folder = folders.first();
    run.out = parser.value(outFolder);
    run.previous = parser.value(previous);
    run.history = parser.value(history);
    run.trendReports = trendReports;
    Ps::FleetOptions &options = run.options;
    options.expiryDays = days;
    options.scope = parser.value(scope);
    options.maxDocumentBytes = cap;
    options.skewSeconds = skewSeconds;
    options.staleDays = staleDays;
    options.channelDays = channelDays;
    return Ps::runReport(run, out, err);
}
