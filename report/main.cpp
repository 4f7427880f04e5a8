#include "fleet.h"
#include "fleetfiles.h"

#include "filewrite.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

// The fleet's report from a folder of per-host check documents, written
// beside them: fleet.html, fleet.json, fleet.csv and fleet-junit.xml.
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
                       "or \"failed\" with a \"message\") and writes the fleet's report beside them: fleet.html, "
                       "fleet.json, fleet.csv, fleet-junit.xml.\n\nExit codes: 0 every host in step, 1 only expiry "
                       "warnings, 2 a host lacks a certificate or trusts a retired one, 3 the report is incomplete "
                       "(hosts unreachable, failed, or documents that are none), 4 the report could not be written; "
                       "usage errors exit 2 as well, with nothing written."));
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
    parser.addOptions({expiry, previous, scope});
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("The folder of host documents."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(application);
    bool number = false;
    const int days = parser.value(expiry).toInt(&number);
    const QStringList folders = parser.positionalArguments();
    const auto usage = [&](const QString &why) {
        err << QCoreApplication::applicationName() << ": " << why << "\n\n" << parser.helpText();
        return 2;
    };
    if (folders.size() != 1)
        return usage(QStringLiteral("give one folder of host documents"));
    if (!number || days < 0)
        return usage(QStringLiteral("--expiry-days takes a number of days"));
    if (!QFileInfo(folders.first()).isDir())
        return usage(QStringLiteral("'%1' is not a folder").arg(folders.first()));
    Ps::FleetOptions options;
    options.expiryDays = days;
    options.scope = parser.value(scope);
    const Ps::Fleet fleet = Ps::buildFleet(folders.first(), parser.value(previous), options);
    const QDir folder(folders.first());
    const std::pair<const char *, QByteArray> files[] = {{"fleet.json", Ps::fleetJson(fleet)},
                                                         {"fleet.csv", Ps::fleetCsv(fleet)},
                                                         {"fleet-junit.xml", Ps::fleetJunit(fleet)},
                                                         {"fleet.html", Ps::fleetHtml(fleet)}};
    for (const auto &file : files) {
        if (Ps::writeIfDifferent(folder.filePath(QString::fromLatin1(file.first)), file.second) == Ps::Write::Failed) {
            err << "vyr-fleet-report: " << folder.filePath(QString::fromLatin1(file.first)) << " could not be written\n";
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
