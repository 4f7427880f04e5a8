#include "reportrun.h"

#include "fleetfiles.h"
#include "history.h"
#include "wholefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTextStream>

#include <future>
#include <memory>
#include <vector>

namespace Ps {
namespace {

// A report's file as it is made: buffered into the whole-file write, which
// puts it under its name only once every byte went (and leaves it as it was
// when they are the same bytes).
class StreamedFile : public QIODevice
{
public:
    StreamedFile(const QString &folder, const QString &name)
        : stream_(QFile::encodeName(folder).toStdString(), QFile::encodeName(name).toStdString())
    {
        open(QIODevice::WriteOnly);
    }
    WholeFileStream::Outcome commit()
    {
        return flushBuffer() ? stream_.commit() : WholeFileStream::Outcome::Failed;
    }
    bool isSequential() const override
    {
        return true;
    }

protected:
    qint64 readData(char *, qint64) override
    {
        return -1;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        buffer_.append(data, int(size));
        if (buffer_.size() >= 1 << 20 && !flushBuffer())
            return -1;
        return size;
    }

private:
    bool flushBuffer()
    {
        const bool ok = stream_.write(buffer_.constData(), std::size_t(buffer_.size()));
        buffer_.clear();
        return ok;
    }
    WholeFileStream stream_;
    QByteArray buffer_;
};

struct Made
{
    QString name;
    bool (*write)(const Fleet &, QIODevice *);
};

} // namespace

int runReport(const ReportRun &run, QTextStream &out, QTextStream &err)
{
    const FleetOptions &options = run.options;
    std::unique_ptr<History> history;
    bool historyKept = false;
    int reports = 0;
    if (!run.history.isEmpty()) {
        history = std::make_unique<History>(run.history);
        historyKept = history->open() && (reports = history->reportCount()) >= 0;
    }
    Fleet fleet;
    KnownHosts known;
    // The previous report's folder seeds a history that holds no report yet.
    if (historyKept && reports > 0 && (historyKept = history->knownHosts(&known))) {
        fleet = buildFleet(run.folder, known, options,
                           [&history, &options](const QString &host) { return history->lastKnown(host, options); });
        historyKept = history->why().isEmpty();
    } else {
        fleet = buildFleet(run.folder, run.previous, options);
    }
    QVector<ReportCounts> earlier;
    if (historyKept && (historyKept = history->trend(std::max(run.trendReports - 1, 0), &earlier)))
        fleet.trend = earlier + fleet.trend;
    fleet.history = !history     ? QStringLiteral("No history is kept (--history).")
                    : historyKept ? QString(QStringLiteral("From the history in ") + run.history + QStringLiteral(": the last ")
                                               + QString::number(fleet.trend.size()) + QStringLiteral(" reports."))
                                  : QString(QStringLiteral("No history: ") + history->why() + QLatin1Char('.'));

    const QString folder = run.out.isEmpty() ? run.folder : run.out;
    // A host's own document is never written over: the host would be gone
    // from every later report.
    const Made files[] = {{QStringLiteral("fleet.json"), writeFleetJson},
                          {QStringLiteral("fleet.csv"), writeFleetCsv},
                          {QStringLiteral("fleet-junit.xml"), writeFleetJunit},
                          {QStringLiteral("fleet.html"), writeFleetHtml}};
    if (QFileInfo(folder) == QFileInfo(run.folder)) {
        for (const HostReport &host : qAsConst(fleet.hosts)) {
            for (const Made &file : files) {
                if (!host.lastKnown && host.document == file.name) {
                    err << "vyr-fleet-report: " << QDir(folder).filePath(file.name) << " is the document of host " << host.host
                        << ", not a report: give the report a folder of its own with --out\n";
                    return 4;
                }
            }
        }
    }
    if (!QDir().mkpath(folder)) {
        err << "vyr-fleet-report: the folder " << folder << " could not be made\n";
        return 4;
    }
    const auto write = [&](const Made &file) {
        StreamedFile streamed(folder, file.name);
        return file.write(fleet, &streamed) && streamed.commit() != WholeFileStream::Outcome::Failed;
    };
    // Each file is made from the fleet alone: all four at once, on every core.
    std::vector<std::future<bool>> made;
    for (const Made &file : files)
        made.push_back(std::async(std::launch::async, write, file));
    // The history's rows go in meanwhile, here (a connection is its thread's
    // own), and count only once every file is written.
    const bool recorded = historyKept && history->record(fleet);
    QStringList failed;
    for (std::size_t i = 0; i < made.size(); ++i) {
        if (!made[i].get())
            failed.append(files[i].name);
    }
    if (!failed.isEmpty()) {
        if (recorded)
            history->rollback();
        for (const QString &name : qAsConst(failed))
            err << "vyr-fleet-report: " << QDir(folder).filePath(name) << " could not be written\n";
        return 4;
    }
    historyKept = recorded && history->commit();
    for (int i = 0; i < hostStateCount; ++i)
        out << hostStateName(HostState(i)) << ' ' << fleet.count(HostState(i)) << '\n';
    for (const HostReport &host : qAsConst(fleet.hosts)) {
        if (host.state != HostState::InStep)
            out << host.host << ' ' << hostStateName(host.state) << ": " << host.why << '\n';
    }
    out << fleet.hosts.size() << " hosts: " << QDir(folder).filePath(QStringLiteral("fleet.html")) << '\n';
    if (history && !historyKept) {
        err << "vyr-fleet-report: " << history->why() << "; the report is written, but not recorded\n";
        return 4;
    }
    return fleet.exitCode();
}

int printStatesOf(const QString &path, const QString &host, QTextStream &out, QTextStream &err)
{
    if (!QFileInfo(path).isFile()) {
        err << "vyr-fleet-report: no history at " << path << '\n';
        return 4;
    }
    History history(path);
    QVector<QPair<QDateTime, HostState>> states;
    if (!history.open() || !history.statesOf(host, &states)) {
        err << "vyr-fleet-report: " << history.why() << '\n';
        return 4;
    }
    if (states.isEmpty()) {
        err << "vyr-fleet-report: no report in " << path << " holds the host " << host << '\n';
        return 3;
    }
    for (const auto &state : qAsConst(states))
        out << state.first.toString(Qt::ISODate) << ' ' << hostStateName(state.second) << '\n';
    return 0;
}

} // namespace Ps
