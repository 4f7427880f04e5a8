#include "commandline.h"

#include "console.h"
#include "filewrite.h"
#include "hostcheck.h"
#include "installrun.h"
#include "record.h"
#include "systemtrust.h"
#include "verbs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <memory>
#include <optional>

namespace Ps {

int exitCodeOf(VerbReport::Ending ending)
{
    switch (ending) {
    case VerbReport::Ending::AsWanted:
        return Success;
    case VerbReport::Ending::NoRights:
        return NoRights;
    case VerbReport::Ending::NotAll:
        break;
    }
    return NotAll;
}

namespace {

QString verbName(Verb verb)
{
    switch (verb) {
    case Verb::Install:
        return QStringLiteral("install");
    case Verb::Check:
        return QStringLiteral("check");
    case Verb::Remove:
        break;
    }
    return QStringLiteral("remove");
}

QString summary(const VerbReport &report)
{
    const QVector<CertificateResult> &results = report.certificates;
    if (results.isEmpty())
        return QStringLiteral("no certificates listed: the bundled settings are empty or unreadable");
    const auto held = std::count_if(results.cbegin(), results.cend(),
                                    [&report](const CertificateResult &result) { return report.inStore(result); });
    return QStringLiteral("%1 of %2 certificates %3 their stores")
        .arg(QString::number(held), QString::number(results.size()),
             report.verb == Verb::Remove ? QStringLiteral("left in") : QStringLiteral("in"));
}

QString trustText(const TrustOutcome &outcome)
{
    switch (outcome.kind) {
    case TrustOutcome::Updated:
        return QStringLiteral("updated (%1)").arg(outcome.family);
    case TrustOutcome::Unchanged:
        return QStringLiteral("unchanged (%1)").arg(outcome.family);
    case TrustOutcome::NoFamily:
        return QStringLiteral("none known on this machine: the roots are in the ROOT store only");
    case TrustOutcome::NotPrivileged:
        return QStringLiteral("failed: only root may change it");
    case TrustOutcome::WriteFailed:
        return QStringLiteral("failed: our files in the trust source could not be written");
    case TrustOutcome::ToolMissing:
        return QStringLiteral("failed: /%1 is missing").arg(outcome.tool);
    case TrustOutcome::RefreshFailed:
        break;
    }
    return QStringLiteral("failed: /%1 exited with code %2").arg(outcome.tool, QString::number(outcome.exitCode));
}

// Whole days until the certificate stops being valid; negative once it has.
qint64 daysLeft(const QDateTime &notAfter)
{
    const qint64 seconds = QDateTime::currentDateTimeUtc().secsTo(notAfter);
    return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

// A certificate close to its end is said on standard error, where a
// deployment engine shows it as a warning; the exit code stays as it was.
constexpr qint64 expiryWarningDays = 30;

void warnOfExpiry(QTextStream &err, const QVector<CertificateResult> &results)
{
    for (const CertificateResult &result : results) {
        const BundledCertificate &certificate = result.certificate;
        if (!certificate.notAfter.isValid())
            continue;
        const qint64 days = daysLeft(certificate.notAfter);
        const QString date = certificate.notAfter.date().toString(Qt::ISODate);
        if (days < 0)
            err << certificate.name << " expired on " << date << ": " << -days << " days ago\n";
        else if (days <= expiryWarningDays)
            err << certificate.name << " expires on " << date << ": " << days << " days left\n";
    }
}

// What a verb could not do with the record; empty when all was well.
QString recordNote(const VerbReport &report)
{
    const QString record = QStringLiteral("the record of what this program added (") + Record::location();
    switch (report.record) {
    case VerbReport::RecordNote::Kept:
        break;
    case VerbReport::RecordNote::None:
        return QStringLiteral("no record of what this program added (") + Record::location()
               + QStringLiteral("): every bundled certificate was removed, whoever had put it there");
    case VerbReport::RecordNote::Unavailable:
        return record + QStringLiteral(") could not be read or written")
               + (report.verb == Verb::Check ? QStringLiteral(": retired certificates are not known")
                                             : QStringLiteral(": nothing was changed"));
    case VerbReport::RecordNote::Behind:
        return record + QStringLiteral(") could not be written: the next run finds the same again");
    }
    return QString();
}

// Said once on standard error.
void warnOfRecord(QTextStream &err, const VerbReport &report)
{
    const QString note = recordNote(report);
    if (!note.isEmpty())
        err << note << '\n';
}

// The copies someone else's file or folder kept out of the temporary folder.
void warnOfCopies(QTextStream &err, const QVector<CertificateResult> &results)
{
    QStringList names;
    for (const CertificateResult &result : results) {
        if (!result.copyLeft)
            names.append(result.certificate.name);
    }
    if (!names.isEmpty())
        err << "the copies of " << names.join(QStringLiteral(", ")) << " could not be left in " << QDir::tempPath()
            << ": another user's file or folder has the name there (left as it was); each was imported from a "
               "private copy\n";
}

void printLines(QTextStream &out, const VerbReport &report)
{
    const QVector<CertificateResult> results = report.certificates + report.retired;
    const Verb verb = report.verb;
    const std::optional<TrustOutcome> &trusted = report.trust;
    QString text;
    for (const CertificateResult &result : results) {
        const QString why = failureReason(result.outcome, verb);
        const BundledCertificate &certificate = result.certificate;
        text += storeLabel(certificate.list) + QLatin1Char(' ') + certificate.name + QLatin1Char(' ')
                + (certificate.sha1.isEmpty() ? QStringLiteral("-") : certificate.sha1) + QLatin1Char(' ')
                + resultWord(result.outcome) + (why.isEmpty() ? QString() : QStringLiteral(": ") + why)
                + QLatin1Char('\n');
    }
    for (const TrustedRoot &root : report.trustedRoots) {
        text += QStringLiteral("system trust %1 %2\n")
                    .arg(root.name, root.held ? QStringLiteral("present") : QStringLiteral("missing"));
    }
    for (const TrustTargetState &target : report.targets) {
        text += QStringLiteral("trust target %1 %2\n")
                    .arg(target.id, target.holds ? QStringLiteral("present") : QStringLiteral("missing"));
    }
    if (const std::optional<HostCheck::Channel> &channel = report.channel) {
        const auto version = [](const QString &installed) {
            return installed.isEmpty() ? QStringLiteral("not installed") : installed;
        };
        text += QStringLiteral("channel source ") + channel->source + QLatin1Char('\n')
                + QStringLiteral("channel refreshed ")
                + (channel->refreshed.isValid() ? channel->refreshed.toString(Qt::ISODate) : QStringLiteral("never"))
                + QStringLiteral("\nchannel vyr-ca-trust ") + version(channel->trustVersion)
                + QStringLiteral("\nchannel vyr-archive-keyring ") + version(channel->keyringVersion) + QLatin1Char('\n');
    }
    if (trusted) {
        text += QStringLiteral("system trust: ") + trustText(*trusted) + QLatin1Char('\n');
        for (const UnreachedTarget &target : trusted->unreached)
            text += QStringLiteral("trust target %1 failed: %2\n").arg(target.id, target.why);
    }
    out << text << summary(report) << '\n';
}

void printJson(QTextStream &out, const VerbReport &report)
{
    const Verb verb = report.verb;
    HostCheck::Document document;
    for (const CertificateResult &result : report.certificates + report.retired) {
        const BundledCertificate &certificate = result.certificate;
        HostCheck::Certificate entry{storeLabel(certificate.list), certificate.name, certificate.sha1,
                                     resultWord(result.outcome), failureReason(result.outcome, verb), QDateTime(), 0,
                                     std::nullopt};
        // What a check looks at: the other verbs change the stores, not the dates.
        if (verb == Verb::Check && certificate.notAfter.isValid()) {
            entry.notAfter = certificate.notAfter;
            entry.daysLeft = daysLeft(certificate.notAfter);
        }
        if (verb == Verb::Check && certificate.names.known && certificate.list == StoreList::Root) {
            const NameScope &names = certificate.names;
            entry.vouchesFor = HostCheck::NameScope{!names.constrained, names.permitted, names.excluded};
        }
        document.certificates.append(entry);
    }
    document.verb = verbName(verb);
    document.summary = summary(report);
    document.exitCode = exitCodeOf(report.ending);
    document.record = recordNote(report);
    if (report.trust) {
        document.systemTrust = trustText(*report.trust);
        for (const UnreachedTarget &target : report.trust->unreached)
            document.trustTargetsFailed.insert(target.id, target.why);
    }
    for (const TrustTargetState &target : report.targets)
        document.trustTargets.insert(target.id, target.holds);
    for (const TrustedRoot &root : report.trustedRoots)
        document.systemTrustHolds.insert(root.name, root.held);
    document.channel = report.channel;
    out << QString::fromUtf8(QJsonDocument(HostCheck::toJson(document)).toJson(QJsonDocument::Indented));
}

// A Prometheus label value: backslash, quote and line break escaped.
QString labelValue(QString text)
{
    return text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

// The check in node_exporter's textfile format (windows_exporter reads the
// same): per certificate its end of validity and a one-hot state, then the
// check's success and when it ran, for an alert on "not_after - time()".
QByteArray metricsText(const VerbReport &report, const QDateTime &ranAt)
{
    static const char *const states[] = {"present", "missing", "retired", "failed"};
    const QVector<CertificateResult> results = report.certificates + report.retired;
    QString notAfter = QStringLiteral(
        "# HELP vyr_certificate_not_after_seconds When the bundled certificate stops being valid, as a Unix time.\n"
        "# TYPE vyr_certificate_not_after_seconds gauge\n");
    QString state = QStringLiteral("# HELP vyr_certificate_state The certificate's state on this machine: 1 for the one it is in.\n"
                                   "# TYPE vyr_certificate_state gauge\n");
    for (const CertificateResult &result : results) {
        const BundledCertificate &certificate = result.certificate;
        const QString labels = QStringLiteral("store=\"%1\",name=\"%2\",thumbprint=\"%3\"")
                                   .arg(labelValue(storeLabel(certificate.list)), labelValue(certificate.name),
                                        labelValue(certificate.sha1));
        if (certificate.notAfter.isValid())
            notAfter += QStringLiteral("vyr_certificate_not_after_seconds{") + labels + QStringLiteral("} ")
                        + QString::number(certificate.notAfter.toSecsSinceEpoch()) + QLatin1Char('\n');
        const QString word = resultWord(result.outcome);
        for (const char *name : states) {
            state += QStringLiteral("vyr_certificate_state{") + labels + QStringLiteral(",state=\"")
                     + QLatin1String(name) + QStringLiteral("\"} ") + QLatin1Char(word == QLatin1String(name) ? '1' : '0')
                     + QLatin1Char('\n');
        }
    }
    QString channel;
    if (report.channel && report.channel->refreshed.isValid())
        channel = QStringLiteral("# HELP vyr_channel_refreshed_timestamp_seconds When this machine's lists of the repository were "
                                 "last refreshed, as a Unix time.\n"
                                 "# TYPE vyr_channel_refreshed_timestamp_seconds gauge\n"
                                 "vyr_channel_refreshed_timestamp_seconds{source=\"")
                  + labelValue(report.channel->source) + QStringLiteral("\"} ")
                  + QString::number(report.channel->refreshed.toSecsSinceEpoch()) + QLatin1Char('\n');
    return (notAfter + state + channel
            + QStringLiteral("# HELP vyr_check_success Whether the check found this machine in step (1) or not (0).\n"
                             "# TYPE vyr_check_success gauge\nvyr_check_success %1\n"
                             "# HELP vyr_check_timestamp_seconds When the check ran, as a Unix time.\n"
                             "# TYPE vyr_check_timestamp_seconds gauge\nvyr_check_timestamp_seconds %2\n")
                  .arg(QString::number(report.ending == VerbReport::Ending::AsWanted ? 1 : 0), QString::number(ranAt.toSecsSinceEpoch())))
        .toUtf8();
}

// The first link on the way to a folder, for saying why a write refused it.
QString linkOnPath(const QString &folder)
{
    QString path;
    for (const QString &part : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (QFileInfo(path).isSymLink())
            return path;
    }
    return QString();
}

} // namespace

int printReport(QTextStream &out, QTextStream &err, const VerbReport &report, bool json)
{
    if (report.verb == Verb::Check)
        warnOfExpiry(err, report.certificates);
    warnOfRecord(err, report);
    warnOfCopies(err, report.certificates);
    if (json)
        printJson(out, report);
    else
        printLines(out, report);
    return exitCodeOf(report.ending);
}

namespace {

int printVerb(QTextStream &out, QTextStream &err, Verb verb, bool json, const QString &metrics)
{
    const std::unique_ptr<SystemTrust> trust = systemTrustForThisMachine();
    const QDateTime ranAt = QDateTime::currentDateTimeUtc();
    const VerbReport report = runVerb(verb, trust.get());
    printReport(out, err, report, json);
    // A metrics file that could not be written must not read as a check that
    // passed. Its folder is often another user's (prometheus owns
    // /var/lib/prometheus), so no link on its path is followed.
    if (!metrics.isEmpty() && writeIfDifferent(metrics, metricsText(report, ranAt), Links::Refused) == Write::Failed) {
        const QString link = linkOnPath(QFileInfo(metrics).absolutePath());
        if (link.isEmpty())
            err << "the metrics file " << metrics << " could not be written\n";
        else
            err << "the metrics file " << metrics << " was not written: " << link
                << " is a link, which whoever owns its folder could point anywhere\n";
        return report.ending == VerbReport::Ending::AsWanted ? NotAll : exitCodeOf(report.ending);
    }
    return exitCodeOf(report.ending);
}

int usageError(QTextStream &err, const QCommandLineParser &parser, const QString &why)
{
    err << QCoreApplication::applicationName() << ": " << why << "\n\n" << parser.helpText();
    return Usage;
}

} // namespace

int runCommandLine(const QStringList &arguments, QTextStream &out, QTextStream &err, Program program)
{
    const bool window = program == Program::Window;
    QCoreApplication::setApplicationName(window ? QStringLiteral("vyr-cert-installer")
                                                : QStringLiteral("vyr-cert-installer-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Installs the organisation's bundled CA certificates: the roots into the local machine's "
                       "store \"ROOT\", the intermediates into \"CA\".\n%1\n\n"
                       "Exit codes: 0 every bundled certificate is in its store afterwards and no retired one "
                       "the program added is (--remove: nothing the program added is left), "
                       "1 otherwise, 2 usage error, 3 the stores cannot be opened for writing "
                       "(not administrator or root), nothing written.")
            .arg(window ? QStringLiteral("Without options it opens its window.")
                        : QStringLiteral("It has no window: give it one verb.")));
    const QCommandLineOption install(QStringLiteral("install"),
                                     QStringLiteral("Install every bundled certificate, without a window, and withdraw "
                                                    "the retired ones this program added."));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Tell whether each bundled certificate is in its store, and "
                                                  "each retired one this program added still is; changes nothing."));
    const QCommandLineOption remove(QStringLiteral("remove"),
                                    QStringLiteral("Delete the certificates this program added from their stores; "
                                                   "those that were there before stay."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With a verb: print one JSON document instead of lines."));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
                                     QStringLiteral("With --check: also write the check to <file> in node_exporter's "
                                                    "textfile format (whole, or not at all)."),
                                     QStringLiteral("file"));
    parser.addOptions({install, check, remove, json, metrics});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    if (!parser.parse(arguments))
        return usageError(err, parser, parser.errorText());
    if (parser.isSet(help)) {
        out << parser.helpText();
        return Success;
    }
    if (parser.isSet(version)) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion() << '\n';
        return Success;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(err, parser, QStringLiteral("unexpected argument '") + parser.positionalArguments().first()
                                           + QLatin1Char('\''));

    QVector<Verb> verbs;
    for (const auto &[option, verb] : {std::pair{&install, Verb::Install}, std::pair{&check, Verb::Check},
                                       std::pair{&remove, Verb::Remove}}) {
        if (parser.isSet(*option))
            verbs.append(verb);
    }
    if (verbs.size() > 1)
        return usageError(err, parser, QStringLiteral("one verb at a time: --install, --check or --remove"));
    if (verbs.isEmpty() && parser.isSet(json))
        return usageError(err, parser, QStringLiteral("--json needs a verb: --install, --check or --remove"));
    if (verbs.isEmpty())
        return usageError(err, parser, QStringLiteral("a verb is needed: --install, --check or --remove"));
    if (parser.isSet(metrics) && verbs.first() != Verb::Check)
        return usageError(err, parser, QStringLiteral("--metrics goes with --check"));
    return printVerb(out, err, verbs.first(), parser.isSet(json), parser.value(metrics));
}

int commandLineMain(int argc, char *argv[], Program program)
{
    attachParentConsole();
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");
    return runCommandLine(QCoreApplication::arguments(), out, err, program);
}

} // namespace Ps
