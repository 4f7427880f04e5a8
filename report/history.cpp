#include "history.h"

#include "fleetfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>

namespace Ps {
namespace {

constexpr int schemaVersion = 1;

// A state's column in the report table: "channel quiet" -> channel_quiet.
QString columnOf(HostState state)
{
    return hostStateName(state).replace(QLatin1Char(' '), QLatin1Char('_'));
}

// SQLite's own words ("database is locked", "file is not a database"), not Qt's beside them.
QString textOf(const QSqlError &error)
{
    return error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
}

QDateTime timeOf(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate).toUTC();
}

} // namespace

History::History(const QString &path)
    : connection_(QStringLiteral("history-") + QUuid::createUuid().toString(QUuid::WithoutBraces)), path_(path)
{
}

History::~History()
{
    {
        QSqlDatabase database = QSqlDatabase::database(connection_, false);
        if (database.isOpen())
            database.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

QString History::why() const
{
    return why_;
}

bool History::failed(const QString &what, const QString &error)
{
    why_ = QStringLiteral("the history ") + path_ + QStringLiteral(": ") + what + QStringLiteral(": ") + error;
    QSqlDatabase database = QSqlDatabase::database(connection_, false);
    if (database.isOpen())
        database.rollback();
    return false;
}

bool History::open()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return failed(QStringLiteral("cannot be opened"), QStringLiteral("Qt's SQLite driver is not installed (libqt5sql5-sqlite)"));
    if (!QDir().mkpath(QFileInfo(path_).path()))
        return failed(QStringLiteral("cannot be opened"), QStringLiteral("its folder could not be made"));
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    database.setDatabaseName(path_);
    // A report beside another one waits a little for its turn, then says so.
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    if (!database.open())
        return failed(QStringLiteral("cannot be opened"), textOf(database.lastError()));
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    const int version = query.value(0).toInt();
    if (version > schemaVersion)
        return failed(QStringLiteral("cannot be read"), QStringLiteral("it was written by a later version of this program"));
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next()
        || query.value(0).toString() != QLatin1String("wal"))
        return failed(QStringLiteral("cannot be opened"),
                      textOf(query.lastError()).isEmpty() ? QStringLiteral("no write-ahead log") : textOf(query.lastError()));
    if (version == schemaVersion)
        return true;
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !query.next())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    if (query.value(0).toInt() != 0)
        return failed(QStringLiteral("cannot be used"), QStringLiteral("a database, but not a fleet's history"));
    QString counts;
    for (int i = 0; i < hostStateCount; ++i)
        counts += QStringLiteral(", ") + columnOf(HostState(i)) + QStringLiteral(" INTEGER NOT NULL");
    const QStringList schema{
        QStringLiteral("CREATE TABLE state (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE)"),
        QStringLiteral("CREATE TABLE report (id INTEGER PRIMARY KEY, generated TEXT NOT NULL, scope TEXT NOT NULL, "
                       "host_count INTEGER NOT NULL")
            + counts + QStringLiteral(")"),
        // last: the host as the report's fleet.json gave it, from its latest document.
        QStringLiteral("CREATE TABLE host (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, checked_at TEXT, "
                       "out_of_step_since TEXT, last TEXT)"),
        QStringLiteral("CREATE TABLE host_state (host INTEGER NOT NULL REFERENCES host (id), report INTEGER NOT NULL "
                       "REFERENCES report (id), state INTEGER NOT NULL REFERENCES state (id), PRIMARY KEY (host, report)) "
                       "WITHOUT ROWID"),
        QStringLiteral("PRAGMA user_version = ") + QString::number(schemaVersion)};
    if (!database.transaction())
        return failed(QStringLiteral("cannot be made"), textOf(database.lastError()));
    for (const QString &statement : schema) {
        if (!query.exec(statement))
            return failed(QStringLiteral("cannot be made"), textOf(query.lastError()));
    }
    query.prepare(QStringLiteral("INSERT INTO state (id, name) VALUES (?, ?)"));
    for (int i = 0; i < hostStateCount; ++i) {
        query.addBindValue(i);
        query.addBindValue(hostStateName(HostState(i)));
        if (!query.exec())
            return failed(QStringLiteral("cannot be made"), textOf(query.lastError()));
    }
    if (!database.commit())
        return failed(QStringLiteral("cannot be made"), textOf(database.lastError()));
    return true;
}

int History::reportCount()
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    if (!query.exec(QStringLiteral("SELECT count(*) FROM report")) || !query.next()) {
        failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
        return -1;
    }
    return query.value(0).toInt();
}

bool History::knownHosts(KnownHosts *hosts)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT name, checked_at, out_of_step_since FROM host "
                                   "WHERE last IS NOT NULL AND checked_at IS NOT NULL")))
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    while (query.next()) {
        KnownHost known;
        known.partial = true;
        known.report.host = query.value(0).toString();
        known.report.checkedAt = timeOf(query.value(1));
        known.report.outOfStepSince = timeOf(query.value(2));
        if (known.report.checkedAt.isValid())
            hosts->insert(known.report.host, known);
    }
    if (query.lastError().isValid())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    return true;
}

std::optional<KnownHost> History::lastKnown(const QString &host, const FleetOptions &options)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("SELECT last, out_of_step_since FROM host WHERE name = ?"));
    query.addBindValue(host);
    if (!query.exec()) {
        failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    std::optional<KnownHost> known = knownHost(QJsonDocument::fromJson(query.value(0).toByteArray()).object(), options);
    if (known)
        known->report.outOfStepSince = timeOf(query.value(1));
    return known;
}

bool History::trend(int reports, QVector<ReportCounts> *counts)
{
    QString columns;
    for (int i = 0; i < hostStateCount; ++i)
        columns += QStringLiteral(", ") + columnOf(HostState(i));
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT generated") + columns + QStringLiteral(" FROM report ORDER BY id DESC LIMIT ?"));
    query.addBindValue(reports);
    if (!query.exec())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    while (query.next()) {
        ReportCounts report{timeOf(query.value(0)), {}};
        for (int i = 0; i < hostStateCount; ++i)
            report.counts[std::size_t(i)] = query.value(i + 1).toInt();
        counts->prepend(report);
    }
    if (query.lastError().isValid())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    return true;
}

bool History::record(const Fleet &fleet)
{
    QSqlDatabase database = QSqlDatabase::database(connection_, false);
    QSqlQuery query(database);
    // Taken for writing at once: a report that waits for another's turn
    // waits before it has read anything it would write back.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failed(QStringLiteral("cannot be written"), textOf(query.lastError()));
    QString columns, marks;
    for (int i = 0; i < hostStateCount; ++i) {
        columns += QStringLiteral(", ") + columnOf(HostState(i));
        marks += QStringLiteral(", ?");
    }
    query.prepare(QStringLiteral("INSERT INTO report (generated, scope, host_count") + columns
                  + QStringLiteral(") VALUES (?, ?, ?") + marks + QStringLiteral(")"));
    query.addBindValue(isoText(fleet.generated));
    query.addBindValue(fleet.scope);
    query.addBindValue(fleet.hosts.size());
    for (int i = 0; i < hostStateCount; ++i)
        query.addBindValue(fleet.count(HostState(i)));
    if (!query.exec())
        return failed(QStringLiteral("cannot be written"), textOf(query.lastError()));
    const qint64 report = query.lastInsertId().toLongLong();
    QSqlQuery fresh(database), known(database), state(database);
    fresh.prepare(QStringLiteral("INSERT INTO host (name, checked_at, out_of_step_since, last) VALUES (?, ?, ?, ?) "
                                 "ON CONFLICT (name) DO UPDATE SET checked_at = excluded.checked_at, "
                                 "out_of_step_since = excluded.out_of_step_since, last = excluded.last"));
    // A last known state stays as its document left it; only since when it
    // has been out of step moves.
    known.prepare(QStringLiteral("INSERT INTO host (name, out_of_step_since) VALUES (?, ?) "
                                 "ON CONFLICT (name) DO UPDATE SET out_of_step_since = excluded.out_of_step_since"));
    // By the state's name: the table, not this program's order of states, says what a number means.
    state.prepare(QStringLiteral("INSERT OR REPLACE INTO host_state (host, report, state) SELECT host.id, ?, state.id "
                                 "FROM host, state WHERE host.name = ? AND state.name = ?"));
    for (const HostReport &host : fleet.hosts) {
        QSqlQuery &each = host.lastKnown ? known : fresh;
        each.addBindValue(host.host);
        if (!host.lastKnown)
            each.addBindValue(isoText(host.checkedAt));
        each.addBindValue(host.outOfStepSince.isValid() ? QVariant(isoText(host.outOfStepSince)) : QVariant(QVariant::String));
        if (!host.lastKnown)
            each.addBindValue(hostLine(host, fleet.generated));
        state.addBindValue(report);
        state.addBindValue(host.host);
        state.addBindValue(hostStateName(host.state));
        if (!each.exec() || !state.exec())
            return failed(QStringLiteral("cannot be written"),
                          textOf(each.lastError().isValid() ? each.lastError() : state.lastError()));
    }
    return true;
}

bool History::commit()
{
    QSqlDatabase database = QSqlDatabase::database(connection_, false);
    if (!database.commit())
        return failed(QStringLiteral("cannot be written"), textOf(database.lastError()));
    return true;
}

void History::rollback()
{
    QSqlDatabase::database(connection_, false).rollback();
}

bool History::statesOf(const QString &host, QVector<QPair<QDateTime, HostState>> *states)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT report.generated, state.name FROM host_state JOIN host ON host.id = host_state.host "
                                 "JOIN report ON report.id = host_state.report JOIN state ON state.id = host_state.state "
                                 "WHERE host.name = ? ORDER BY report.id"));
    query.addBindValue(host);
    if (!query.exec())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    while (query.next()) {
        HostState each = HostState::Failed;
        if (hostStateNamed(query.value(1).toString(), &each))
            states->append({timeOf(query.value(0)), each});
    }
    if (query.lastError().isValid())
        return failed(QStringLiteral("cannot be read"), textOf(query.lastError()));
    return true;
}

} // namespace Ps
