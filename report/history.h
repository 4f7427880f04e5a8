#ifndef PS_HISTORY_H
#define PS_HISTORY_H

#include "fleet.h"

#include <QPair>
#include <QString>
#include <QVector>

namespace Ps {

// The fleet's history in one SQLite file: each report's counts, each host's
// state in each report, and what the last document of each host said (its
// last known state, and since when it has been out of step). A report goes
// in as one transaction, so a report killed half-way leaves the file as it
// was. A file that is locked, full, or no database is said, never reset.
class History
{
public:
    explicit History(const QString &path);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    bool open();               // made when absent; false, with why(), when it cannot be used
    QString why() const;       // what went wrong, in a line
    int reportCount();         // -1 when it cannot be read
    // Each host's name, last check and since when it is out of step (partial);
    // the rest of one, when it is wanted. why() says when either failed.
    bool knownHosts(KnownHosts *hosts);
    std::optional<KnownHost> lastKnown(const QString &host, const FleetOptions &options);
    bool trend(int reports, QVector<ReportCounts> *counts); // the latest reports, oldest first
    // The report's rows, in a transaction left open: commit() makes them the
    // history's, rollback() (or a run that ends first) leaves it as it was.
    bool record(const Fleet &fleet);
    bool commit();
    void rollback();
    // The host's state in each report that held it, oldest first.
    bool statesOf(const QString &host, QVector<QPair<QDateTime, HostState>> *states);

private:
    bool failed(const QString &what, const QString &error);
    QString connection_, path_, why_;
};

} // namespace Ps

#endif
