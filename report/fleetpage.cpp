// The report a person reads: one self-contained page (no network, no file
// beside it), opened from disk. Its template, stylesheet and script are
// files compiled in (page/); here are only the rows and the data. The small
// script only sorts and filters the rows it finds, so the page reads whole
// without it and prints as it stands.
#include "fleetfiles.h"

#include <QFile>
#include <QHash>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

// Outside any namespace, as Qt's macro wants; a static library's resources
// reach the program only through such a call.
static void initPageResources()
{
    Q_INIT_RESOURCE(fleetpage);
}

namespace Ps {
namespace {

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

// "in step" -> "state-in-step": the stylesheet's class for the state.
QString stateClass(HostState state)
{
    return QStringLiteral("state-") + hostStateName(state).replace(QLatin1Char(' '), QLatin1Char('-'));
}

QString stateCell(HostState state)
{
    return QStringLiteral("<td class=\"state %1\" data-sort=\"%2\">%3</td>")
        .arg(stateClass(state), QString::number(int(state)), escaped(hostStateName(state)));
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

QString hostRow(const HostReport &host, const QDateTime &now, bool withVersion)
{
    return QStringLiteral("<tr><th scope=\"row\">%1</th>").arg(escaped(host.host)) + stateCell(host.state)
           + expiryCell(host) + checkedCell(host, now)
           // Which keys the host holds, for a rotation waiting on every host.
           + (withVersion ? QStringLiteral("<td>%1</td>")
                                .arg(escaped(host.keyring.isEmpty() ? host.version
                                                                    : host.version + QStringLiteral(", keyring ") + host.keyring))
                          : QString())
           + QStringLiteral("<td>%1</td></tr>\n").arg(escaped(host.why));
}

// What a root may vouch for, in words; "-" where the host did not say (an
// intermediate, or a program that does not tell).
QString scopeText(const std::optional<HostCheck::NameScope> &scope)
{
    if (!scope)
        return QStringLiteral("-");
    if (scope->any)
        return QStringLiteral("any name");
    QString text = scope->permitted.isEmpty() ? QStringLiteral("any name")
                                              : QStringLiteral("only ") + scope->permitted.join(QStringLiteral(", "));
    if (!scope->excluded.isEmpty())
        text += QStringLiteral("; never ") + scope->excluded.join(QStringLiteral(", "));
    return text;
}

// A table's head: sortable columns are buttons.
QString headOf(const QStringList &columns, bool sortable)
{
    QString head = QStringLiteral("<thead><tr>");
    for (const QString &column : columns) {
        head += sortable ? QStringLiteral("<th scope=\"col\" aria-sort=\"none\"><button type=\"button\">%1</button></th>").arg(column)
                         : QStringLiteral("<th scope=\"col\">%1</th>").arg(column);
    }
    return head + QStringLiteral("</tr></thead>");
}

// A long table as blocks of rows, each its own table in a block the browser
// may leave unlaid until it is scrolled near; the first holds the head and
// the table's id. The columns' widths are fixed, so that blocks line up.
QString blocked(const QString &id, const QStringList &names, bool sortable, const QVector<int> &widths,
                const QStringList &rows)
{
    constexpr int blockRows = 200, rowPixels = 22;
    QString columns = QStringLiteral("<colgroup>");
    for (const int width : widths)
        columns += QStringLiteral("<col style=\"width: %1%\">").arg(width);
    columns += QStringLiteral("</colgroup>");
    QString out;
    for (int first = 0; first == 0 || first < rows.size(); first += blockRows) {
        const int count = std::min<int>(blockRows, rows.size() - first);
        out += QStringLiteral("<div class=\"block\" style=\"contain-intrinsic-size: auto %1px\"><table %2>")
                   .arg(QString::number(std::max(count, 1) * rowPixels),
                        first > 0 ? QStringLiteral("data-of=\"") + id + QStringLiteral("\"")
                                  : QStringLiteral("id=\"") + id + (sortable ? QStringLiteral("\" class=\"sortable\"") : QStringLiteral("\"")))
               + columns + (first == 0 ? headOf(names, sortable) : QString()) + QStringLiteral("<tbody>\n")
               + QStringList(rows.mid(first, count)).join(QString()) + QStringLiteral("</tbody></table></div>\n");
    }
    return out;
}

// A part of the page as compiled in.
QString pagePart(const QString &name)
{
    QFile file(QStringLiteral(":/page/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The template with each {{name}} in its place, in one pass: a value is
// never read for markers, so no datum can become part of the template.
QString filled(const QString &page, const QHash<QString, QString> &values)
{
    static const QRegularExpression marker(QStringLiteral("\\{\\{([a-z-]+)\\}\\}"));
    QString out;
    int at = 0;
    for (QRegularExpressionMatchIterator it = marker.globalMatch(page); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += page.midRef(at, match.capturedStart() - at) + values.value(match.captured(1));
        at = match.capturedEnd();
    }
    return out + page.midRef(at);
}

} // namespace

QByteArray fleetHtml(const Fleet &fleet)
{
    initPageResources();
    const QDateTime &now = fleet.generated;
    QString counts, options, lacking;
    QStringList action, hosts;
    for (int i = 0; i < hostStateCount; ++i) {
        counts += QStringLiteral("<tr>") + stateCell(HostState(i))
                  + QStringLiteral("<td class=\"number\">%1</td></tr>\n").arg(fleet.count(HostState(i)));
        options += QStringLiteral("<option>") + escaped(hostStateName(HostState(i))) + QStringLiteral("</option>");
    }
    for (const HostReport &host : fleet.hosts) {
        if (host.state != HostState::InStep)
            action.append(hostRow(host, now, false));
        hosts.append(hostRow(host, now, true));
    }

    // Each certificate the hosts report: what it may vouch for, and the hosts that lack it.
    struct Seen
    {
        std::optional<HostCheck::NameScope> vouchesFor;
        QStringList lackedBy;
    };
    QMap<QString, Seen> seen;
    for (const HostReport &host : fleet.hosts) {
        for (const HostCertificate &certificate : host.certificates) {
            Seen &each = seen[certificate.store + QLatin1Char(' ') + certificate.name + QLatin1Char(' ') + certificate.thumbprint];
            if (!each.vouchesFor)
                each.vouchesFor = certificate.vouchesFor;
            if (certificate.result == QLatin1String("missing"))
                each.lackedBy.append(host.host);
        }
    }
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        lacking += QStringLiteral("<tr><th scope=\"row\">%1</th><td>%2</td><td class=\"number\">%3</td><td>%4</td></tr>\n")
                       .arg(escaped(it.key()), escaped(scopeText(it->vouchesFor)), QString::number(it->lackedBy.size()),
                            escaped(it->lackedBy.join(QStringLiteral(", "))));
    }
    if (seen.isEmpty())
        lacking = QStringLiteral("<tr><td colspan=\"4\">No host reported a certificate.</td></tr>\n");

    const QString generated = escaped(now.toString(Qt::ISODate));
    return filled(pagePart(QStringLiteral("fleet.html")),
                  {{QStringLiteral("generated"), generated},
                   {QStringLiteral("style"), pagePart(QStringLiteral("fleet.css"))},
                   {QStringLiteral("script"), pagePart(QStringLiteral("fleet.js"))},
                   {QStringLiteral("scope"), escaped(fleet.scope)},
                   {QStringLiteral("release"), escaped(fleet.release.isEmpty() ? QStringLiteral("not reported") : fleet.release)},
                   {QStringLiteral("host-count"), QString::number(fleet.hosts.size())},
                   {QStringLiteral("expiry-days"), QString::number(fleet.expiryDays)},
                   {QStringLiteral("count-rows"), counts},
                   {QStringLiteral("action-blocks"),
                    blocked(QStringLiteral("action"),
                            {QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"),
                             QStringLiteral("Checked"), QStringLiteral("What to do")}, false,
                            {14, 12, 8, 12, 54}, action)},
                   {QStringLiteral("state-options"), options},
                   {QStringLiteral("host-blocks"),
                    blocked(QStringLiteral("hosts"),
                            {QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"),
                             QStringLiteral("Checked"), QStringLiteral("Version"), QStringLiteral("Why")}, true,
                            {14, 12, 8, 12, 14, 40}, hosts)},
                   {QStringLiteral("lacking-rows"), lacking}})
        .toUtf8();
}

} // namespace Ps
