#ifndef PS_FLEETFILES_H
#define PS_FLEETFILES_H

#include "fleet.h"

#include <QByteArray>

#include <optional>

class QIODevice;

namespace Ps {

// The report's four files, each put out host by host as it is made, never
// whole in memory: false when the device took less than it was given.
bool writeFleetJson(const Fleet &fleet, QIODevice *out);
bool writeFleetCsv(const Fleet &fleet, QIODevice *out);
bool writeFleetJunit(const Fleet &fleet, QIODevice *out);
bool writeFleetHtml(const Fleet &fleet, QIODevice *out); // one page, no network, in fleetpage.cpp

// A host as fleet.json holds it, one line, and as the history keeps its last known state.
QByteArray hostLine(const HostReport &host, const QDateTime &generated);

// The same, each whole, for a caller that holds it.
QByteArray fleetJson(const Fleet &fleet);
QByteArray fleetCsv(const Fleet &fleet);
std::optional<QByteArray> fleetJunit(const Fleet &fleet); // none when the writer failed
QByteArray fleetHtml(const Fleet &fleet);

// A time as the report writes it: 2026-12-09T10:00:00Z, or nothing when unknown.
QString isoText(const QDateTime &time);

// How long ago a host was checked, as the report says it: "5 min", "3 h", "2 d".
QString ageText(const QDateTime &checkedAt, const QDateTime &now);

} // namespace Ps

#endif
