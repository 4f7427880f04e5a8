// The report a person reads: one self-contained page (no network, no file
// beside it), opened from disk. The tables are written here; the small
// script only sorts and filters the rows it finds, so the page reads whole
// without it and prints as it stands.
#include "fleetfiles.h"

#include <QHash>
#include <QMap>

#include <limits>

namespace Ps {
namespace {

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString stateCell(HostState state)
{
    const QString name = hostStateName(state);
    return QStringLiteral("<td class=\"state s%1\" data-sort=\"%1\">%2</td>").arg(QString::number(int(state)), escaped(name));
}

QString expiryCell(const HostReport &host)
{
    const qint64 days = host.earliestDaysLeft();
    if (days == std::numeric_limits<qint64>::max())
        return QStringLiteral("<td class=\"number\" data-sort=\"999999\">-</td>");
    return QStringLiteral("<td class=\"number\" data-sort=\"%1\">%1</td>").arg(days);
}

QString checkedCell(const HostReport &host, const QDateTime &now)
{
    const QString at = host.checkedAt.isValid() ? host.checkedAt.toString(Qt::ISODate) : QString();
    return QStringLiteral("<td data-sort=\"%1\"><time datetime=\"%1\">%2</time>%3</td>")
        .arg(escaped(at), host.checkedAt.isValid() ? escaped(ageText(host.checkedAt, now) + QStringLiteral(" ago"))
                                                   : QStringLiteral("not checked"),
             host.lastKnown ? QStringLiteral(" <span class=\"note\">(last known)</span>") : QString());
}

QString header(const QStringList &columns, bool sortable)
{
    QString row = QStringLiteral("<thead><tr>");
    for (const QString &column : columns) {
        row += sortable ? QStringLiteral("<th scope=\"col\" aria-sort=\"none\"><button type=\"button\">%1</button></th>")
                              .arg(escaped(column))
                        : QStringLiteral("<th scope=\"col\">%1</th>").arg(escaped(column));
    }
    return row + QStringLiteral("</tr></thead>\n");
}

QString hostRow(const HostReport &host, const QDateTime &now, bool withVersion)
{
    return QStringLiteral("<tr><th scope=\"row\">%1</th>").arg(escaped(host.host)) + stateCell(host.state)
           + expiryCell(host) + checkedCell(host, now)
           + (withVersion ? QStringLiteral("<td>%1</td>").arg(escaped(host.version)) : QString())
           + QStringLiteral("<td>%1</td></tr>\n").arg(escaped(host.why));
}

const char style[] = R"(
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1a1a1a; }
h1 { font-size: 1.5em; margin: 0 0 .3em; }
h2 { font-size: 1.15em; margin: 1.6em 0 .4em; }
table { border-collapse: collapse; margin: .3em 0; }
th, td { border: 1px solid #c8c8c8; padding: .25em .6em; text-align: left; vertical-align: top; }
thead th { background: #f0f0f0; }
th button { font: inherit; font-weight: bold; border: 0; background: none; padding: 0; cursor: pointer; }
th[aria-sort=ascending] button::after { content: " \25B2"; }
th[aria-sort=descending] button::after { content: " \25BC"; }
td.number { text-align: right; }
.state { font-weight: bold; white-space: nowrap; }
.s0 { background: #5c1a1a; color: #fff; } .s1 { background: #b3261e; color: #fff; } .s2 { background: #8a4b8a; color: #fff; }
.s3 { background: #f4b4ae; } .s4 { background: #f7d07a; } .s5 { background: #fff1b8; } .s6 { background: #cfe8cf; }
.note { color: #555; font-weight: normal; }
.filters { margin: .5em 0; }
@media print {
  body { margin: 0; font-size: 10pt; }
  .filters { display: none; }
  tr { break-inside: avoid; }
  .state { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

// Sorts a table by a header's column (numbers by data-sort), filters the
// hosts' table by text and state; "#sort=<column>-<ascending|descending>"
// in the address sorts the hosts' table as the page opens.
const char script[] = R"(
(function () {
  function key(row, column) {
    var cell = row.cells[column];
    return cell.hasAttribute('data-sort') ? cell.getAttribute('data-sort') : cell.textContent;
  }
  function sortBy(table, column, order) {
    var headers = table.tHead.rows[0].cells;
    for (var i = 0; i < headers.length; i++) headers[i].setAttribute('aria-sort', i === column ? order : 'none');
    var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
    var keyed = rows.map(function (row) { return [key(row, column), row]; });
    var numeric = keyed.every(function (k) { return k[0] !== '' && !isNaN(k[0]); });
    keyed.sort(function (a, b) {
      var x = numeric ? Number(a[0]) - Number(b[0]) : a[0].localeCompare(b[0]);
      return order === 'descending' ? -x : x;
    });
    var fragment = document.createDocumentFragment();
    keyed.forEach(function (k) { fragment.appendChild(k[1]); });
    body.appendChild(fragment);
  }
  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
      th.firstChild.addEventListener('click', function () {
        sortBy(table, column, th.getAttribute('aria-sort') === 'ascending' ? 'descending' : 'ascending');
      });
    });
  });
  var hosts = document.getElementById('hosts'), text = document.getElementById('filter-text'),
      state = document.getElementById('filter-state');
  function filter() {
    var wanted = text.value.toLowerCase(), only = state.value;
    Array.prototype.forEach.call(hosts.tBodies[0].rows, function (row) {
      row.hidden = (wanted && row.textContent.toLowerCase().indexOf(wanted) < 0)
                   || (only && row.cells[1].textContent !== only);
    });
  }
  text.addEventListener('input', filter);
  state.addEventListener('change', filter);
  var asked = /^#sort=(\d+)-(ascending|descending)$/.exec(location.hash);
  if (asked && Number(asked[1]) < hosts.tHead.rows[0].cells.length) sortBy(hosts, Number(asked[1]), asked[2]);
})();
)";

} // namespace

QByteArray fleetHtml(const Fleet &fleet)
{
    const QDateTime &now = fleet.generated;
    QString page = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                                  "<title>Vyr CA certificates: the fleet, %1</title>\n<style>%2</style>\n</head>\n<body>\n")
                       .arg(escaped(now.toString(Qt::ISODate)), QString::fromLatin1(style));
    page += QStringLiteral("<h1>Vyr CA certificates: the fleet</h1>\n<p id=\"summary\">Checked as of <time datetime=\"%1\">%1</time>; "
                           "scope: %2; release: %3; <span id=\"host-count\">%4</span> hosts; expiring means %5 days "
                           "or fewer left.</p>\n")
                .arg(escaped(now.toString(Qt::ISODate)), escaped(fleet.scope),
                     escaped(fleet.release.isEmpty() ? QStringLiteral("not reported") : fleet.release),
                     QString::number(fleet.hosts.size()), QString::number(fleet.expiryDays));

    page += QStringLiteral("<h2>Hosts by state</h2>\n<table id=\"counts\">") + header({QStringLiteral("State"), QStringLiteral("Hosts")}, false)
            + QStringLiteral("<tbody>\n");
    for (int i = 0; i < hostStateCount; ++i) {
        page += QStringLiteral("<tr>") + stateCell(HostState(i))
                + QStringLiteral("<td class=\"number\">%1</td></tr>\n").arg(fleet.count(HostState(i)));
    }
    page += QStringLiteral("</tbody></table>\n");

    const QStringList columns{QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"),
                              QStringLiteral("Checked"), QStringLiteral("What to do")};
    page += QStringLiteral("<h2>Hosts that need action</h2>\n<table id=\"action\">") + header(columns, false)
            + QStringLiteral("<tbody>\n");
    for (const HostReport &host : fleet.hosts) {
        if (host.state != HostState::InStep)
            page += hostRow(host, now, false);
    }
    page += QStringLiteral("</tbody></table>\n");

    page += QStringLiteral("<h2>Every host</h2>\n<div class=\"filters\"><label>Filter <input id=\"filter-text\" "
                           "type=\"search\"></label> <label>State <select id=\"filter-state\"><option value=\"\">any"
                           "</option>");
    for (int i = 0; i < hostStateCount; ++i)
        page += QStringLiteral("<option>%1</option>").arg(escaped(hostStateName(HostState(i))));
    page += QStringLiteral("</select></label></div>\n<table id=\"hosts\" class=\"sortable\">")
            + header({QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"), QStringLiteral("Checked"),
                      QStringLiteral("Version"), QStringLiteral("Why")},
                     true)
            + QStringLiteral("<tbody>\n");
    for (const HostReport &host : fleet.hosts)
        page += hostRow(host, now, true);
    page += QStringLiteral("</tbody></table>\n");

    // Each certificate some host lacks, with those hosts.
    QMap<QString, QStringList> lackedBy;
    for (const HostReport &host : fleet.hosts) {
        for (const HostCertificate &certificate : host.certificates) {
            if (certificate.result == QLatin1String("missing"))
                lackedBy[certificate.store + QLatin1Char(' ') + certificate.name + QLatin1Char(' ') + certificate.thumbprint]
                    .append(host.host);
        }
    }
    page += QStringLiteral("<h2>Certificates and the hosts that lack them</h2>\n<table id=\"lacking\">")
            + header({QStringLiteral("Certificate"), QStringLiteral("Hosts"), QStringLiteral("Lacking on")}, false)
            + QStringLiteral("<tbody>\n");
    for (auto it = lackedBy.cbegin(); it != lackedBy.cend(); ++it) {
        page += QStringLiteral("<tr><th scope=\"row\">%1</th><td class=\"number\">%2</td><td>%3</td></tr>\n")
                    .arg(escaped(it.key()), QString::number(it->size()), escaped(it->join(QStringLiteral(", "))));
    }
    if (lackedBy.isEmpty())
        page += QStringLiteral("<tr><td colspan=\"3\">No host lacks a certificate.</td></tr>\n");
    page += QStringLiteral("</tbody></table>\n<script>") + QString::fromLatin1(script)
            + QStringLiteral("</script>\n</body>\n</html>\n");
    return page.toUtf8();
}

} // namespace Ps
