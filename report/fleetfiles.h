#ifndef PS_FLEETFILES_H
#define PS_FLEETFILES_H

#include "fleet.h"

#include <QByteArray>

#include <optional>

namespace Ps {

// The report's four files, each whole.
QByteArray fleetJson(const Fleet &fleet);
QByteArray fleetCsv(const Fleet &fleet);
std::optional<QByteArray> fleetJunit(const Fleet &fleet); // none when the writer failed
QByteArray fleetHtml(const Fleet &fleet); // one page, no network, in fleetpage.cpp

// How long ago a host was checked, as the report says it: "5 min", "3 h", "2 d".
QString ageText(const QDateTime &checkedAt, const QDateTime &now);

} // namespace Ps

#endif
