#include "fleet.h"
#include "fleetfiles.h"

#include "filewrite.h"

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
                       "none) or a usage error, with nothing written (UNKNOWN), 4 the report could not be written."));
    const QCommandLineOption expiry(QStringLiteral("expiry-days"),
                                    QStringLiteral("A certificate with this many days left or fewer is expiring (30)."),
                                    QStringLiteral("days"), QStringLiteral("30"));
    const QCommandLineOption previous(QStringLiteral("previous"),
                                      QStringLiteral("The previous report's folder: a host whose document here is older "
                                                     "keeps its last known state, and so does a host missing here."),
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
    parser.addOptions({expiry, previous, scope, outFolder, maxBytes, skew, stale, channel});
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
    bool number = false, bytesNumber = false, skewNumber = false, staleNumber = false, channelNumber = false;
    const int days = parser.value(expiry).toInt(&number);
    const qint64 cap = parser.value(maxBytes).toLongLong(&bytesNumber);
    const qint64 skewSeconds = parser.value(skew).toLongLong(&skewNumber);
    const int staleDays = parser.value(stale).toInt(&staleNumber);
    const int channelDays = parser.value(channel).toInt(&channelNumber);
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
    if (!QFileInfo(folders.first()).isDir())
        return usage(QStringLiteral("'") + folders.first() + QStringLiteral("' is not a folder"));
    Ps::FleetOptions options;
    options.expiryDays = days;
    options.scope = parser.value(scope);
    options.maxDocumentBytes = cap;
    options.skewSeconds = skewSeconds;
    options.staleDays = staleDays;
    options.channelDays = channelDays;
    const Ps::Fleet fleet = Ps::buildFleet(folders.first(), parser.value(previous), options);
    const QDir folder(parser.isSet(outFolder) ? parser.value(outFolder) : folders.first());
    const std::optional<QByteArray> junit = Ps::fleetJunit(fleet);
    if (!junit) {
        err << "vyr-fleet-report: fleet-junit.xml could not be made\n";
        return 4;
    }
    const std::pair<QString, QByteArray> files[] = {{QStringLiteral("fleet.json"), Ps::fleetJson(fleet)},
                                                    {QStringLiteral("fleet.csv"), Ps::fleetCsv(fleet)},
                                                    {QStringLiteral("fleet-junit.xml"), *junit},
                                                    {QStringLiteral("fleet.html"), Ps::fleetHtml(fleet)}};
    // A host's own document is never written over: the host would be gone
    // from every later report.
    if (QFileInfo(folder.path()) == QFileInfo(folders.first())) {
        for (const Ps::HostReport &host : fleet.hosts) {
            for (const auto &file : files) {
                if (!host.lastKnown && host.document == file.first) {
                    err << "vyr-fleet-report: " << folder.filePath(file.first) << " is the document of host " << host.host
                        << ", not a report: give the report a folder of its own with --out\n";
                    return 4;
                }
            }
        }
    }
    for (const auto &file : files) {
        if (Ps::writeIfDifferent(folder.filePath(file.first), file.second) == Ps::Write::Failed) {
            err << "vyr-fleet-report: " << folder.filePath(file.first) << " could not be written\n";
            return 4;
        }
    }
    for (int i = 0; i < Ps::hostStateCount; ++i)
        out << Ps::hostStateName(Ps::HostState(i)) << ' ' << fleet.count(Ps::HostState(i)) << '\n';
    for (const Ps::HostReport &host : fleet.hosts) {
        if (host.state != Ps::HostState::InStep)
            out << host.host << ' ' << Ps::hostStateName(host.state) << ": " << host.why << '\n';
    }
    out << fleet.hosts.size() << " hosts: " << folder.filePath(QStringLiteral("fleet.html")) << '\n';
    return fleet.exitCode();
}
