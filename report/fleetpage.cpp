// The report a person reads: one self-contained page (no network, no file
// beside it), opened from disk. Its template, stylesheet and script are
// files compiled in (page/); here are only the rows and the data. The small
// script only sorts and filters the rows it finds, so the page reads whole
// without it and prints as it stands.
#include "fleetfiles.h"

#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
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
    const QString at = host.checkedAt.isValid() ? isoText(host.checkedAt) : QString();
    return QStringLiteral("<td data-sort=\"%1\"><time datetime=\"%1\">%2</time>%3</td>")
        .arg(escaped(at), host.checkedAt.isValid() ? escaped(ageText(host.checkedAt, now) + QStringLiteral(" ago"))
                                                   : QStringLiteral("not checked"),
             host.lastKnown ? QStringLiteral(" <span class=\"note\">(last known)</span>") : QString());
}

enum class Fifth { Version, Since };

QString hostRow(const HostReport &host, const QDateTime &now, Fifth fifth)
{
    const QString since = host.outOfStepSince.isValid() ? isoText(host.outOfStepSince) : QString();
    return QStringLiteral("<tr><th scope=\"row\">%1</th>").arg(escaped(host.host)) + stateCell(host.state)
           + expiryCell(host) + checkedCell(host, now)
           // Which keys the host holds, for a rotation waiting on every host.
           + (fifth == Fifth::Version
                  ? QStringLiteral("<td>%1</td>")
                        .arg(escaped(host.keyring.isEmpty() ? host.version
                                                            : host.version + QStringLiteral(", keyring ") + host.keyring))
                  : QStringLiteral("<td data-sort=\"%1\"><time datetime=\"%1\">%2</time></td>")
                        .arg(since, since.left(10)))
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
// Writes to the page's device, remembering whether every byte went.
struct Writes
{
    QIODevice *out;
    bool ok = true;
    void operator()(const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        ok = ok && out->write(bytes) == bytes.size();
    }
};

// Rows are made as they are written, a block at a time: the page is never
// held whole.
void blocked(Writes &put, const QString &id, const QStringList &names, bool sortable, const QVector<int> &widths,
             const QVector<const HostReport *> &hosts, const std::function<QString(const HostReport &)> &row)
{
    constexpr int blockRows = 200, rowPixels = 22;
    QString columns = QStringLiteral("<colgroup>");
    for (const int width : widths)
        columns += QStringLiteral("<col style=\"width: %1%\">").arg(width);
    columns += QStringLiteral("</colgroup>");
    for (int first = 0; first == 0 || first < hosts.size(); first += blockRows) {
        const int count = std::min<int>(blockRows, hosts.size() - first);
        QString block = QStringLiteral("<div class=\"block\" style=\"contain-intrinsic-size: auto %1px\"><table %2>")
                            .arg(QString::number(std::max(count, 1) * rowPixels),
                                 first > 0 ? QStringLiteral("data-of=\"") + id + QStringLiteral("\"")
                                           : QStringLiteral("id=\"") + id + (sortable ? QStringLiteral("\" class=\"sortable\"") : QStringLiteral("\"")))
                        + columns + (first == 0 ? headOf(names, sortable) : QString()) + QStringLiteral("<tbody>\n");
        for (int i = first; i < first + count; ++i)
            block += row(*hosts.at(i));
        put(block + QStringLiteral("</tbody></table></div>\n"));
    }
}

// Each certificate the hosts report: what it may vouch for, when it ends,
// the hosts that lack it and those that still hold it though it is retired.
struct Seen
{
    QString name;
    std::optional<HostCheck::NameScope> vouchesFor;
    QDateTime notAfter;
    QStringList lackedBy;
    int retiredOn = 0;
};

// The hosts' states as one bar, a segment a state in its colour, with the
// counts; its text says the same, and so does the table below it.
QString stateBar(const Fleet &fleet)
{
    constexpr double width = 1000;
    QStringList said;
    QString segments;
    double x = 0;
    for (int i = 0; i < hostStateCount; ++i) {
        const int count = fleet.count(HostState(i));
        if (count == 0)
            continue;
        const QString name = hostStateName(HostState(i));
        said.append(QString::number(count) + QLatin1Char(' ') + name);
        const double w = width * count / fleet.hosts.size();
        segments += QStringLiteral("<rect class=\"segment %1\" x=\"%2\" y=\"0\" width=\"%3\" height=\"32\"><title>%4</title></rect>")
                        .arg(stateClass(HostState(i)), QString::number(x, 'f', 1), QString::number(w, 'f', 1),
                             escaped(said.last()));
        if (w >= 28)
            segments += QStringLiteral("<text class=\"%1\" x=\"%2\" y=\"21\" text-anchor=\"middle\">%3</text>")
                            .arg(stateClass(HostState(i)), QString::number(x + w / 2, 'f', 1), QString::number(count));
        x += w;
    }
    const QString title = fleet.hosts.isEmpty() ? QStringLiteral("No hosts.")
                                                : QStringLiteral("The hosts by state: ") + said.join(QStringLiteral(", ")) + '.';
    return QStringLiteral("<svg class=\"picture\" id=\"state-bar\" viewBox=\"0 0 1000 32\" role=\"img\" "
                          "aria-labelledby=\"state-bar-title\"><title id=\"state-bar-title\">%1</title>%2</svg>")
        .arg(escaped(title), segments);
}

// When each certificate ends, from today: a bar a certificate, in red where
// hosts still hold it retired; its text says the same, and so does the
// table below it.
QString expiryTimeline(const QVector<Seen> &certificates, const QDateTime &now)
{
    constexpr int left = 330, right = 980, row = 24;
    QDateTime last = now.addDays(365);
    for (const Seen &each : certificates)
        last = std::max(last, each.notAfter);
    const double span = std::max<qint64>(1, now.secsTo(last));
    const auto at = [&](const QDateTime &time) {
        return left + (right - left) * std::clamp(now.secsTo(time) / span, 0.0, 1.0);
    };
    QString marks;
    for (int year = now.date().year() + 1; year <= last.date().year(); ++year) {
        const double x = at(QDateTime(QDate(year, 1, 1), QTime(0, 0), Qt::UTC));
        marks += QStringLiteral("<line class=\"tick\" x1=\"%1\" x2=\"%1\" y1=\"0\" y2=\"%2\"/><text class=\"tick\" x=\"%1\" y=\"%3\" "
                                "text-anchor=\"middle\">%4</text>")
                     .arg(QString::number(x, 'f', 1), QString::number(certificates.size() * row),
                          QString::number(certificates.size() * row + 14), QString::number(year));
    }
    QStringList said;
    int y = 0;
    for (const Seen &each : certificates) {
        const QString ends = each.notAfter.isValid() ? each.notAfter.date().toString(Qt::ISODate) : QStringLiteral("unknown");
        const QString retired = each.retiredOn == 0 ? QString()
                                : each.retiredOn == 1 ? QStringLiteral(", retired but held by 1 host")
                                                      : QStringLiteral(", retired but held by %1 hosts").arg(each.retiredOn);
        said.append(each.name + QStringLiteral(" ends ") + ends + retired);
        marks += QStringLiteral("<text x=\"0\" y=\"%1\">%2</text>").arg(QString::number(y + 16), escaped(each.name + QStringLiteral(" (") + ends + QLatin1Char(')')));
        if (each.notAfter.isValid())
            marks += QStringLiteral("<rect class=\"%1\" x=\"%2\" y=\"%3\" width=\"%4\" height=\"12\"><title>%5</title></rect>")
                         .arg(each.retiredOn > 0 ? QStringLiteral("retired") : QStringLiteral("valid"), QString::number(left),
                              QString::number(y + 6), QString::number(std::max(1.0, at(each.notAfter) - left), 'f', 1),
                              escaped(said.last()));
        y += row;
    }
    const QString title = certificates.isEmpty() ? QStringLiteral("No host reported a certificate.")
                                                 : QStringLiteral("When each certificate ends: ") + said.join(QStringLiteral("; ")) + '.';
    return QStringLiteral("<svg class=\"picture\" id=\"expiry-timeline\" viewBox=\"0 0 1000 %1\" role=\"img\" "
                          "aria-labelledby=\"expiry-timeline-title\"><title id=\"expiry-timeline-title\">%2</title>%3</svg>")
        .arg(QString::number(y + 20), escaped(title), marks);
}

// The share of hosts in each state, a column a report, oldest on the left;
// its text says the latest and the earliest, its table every one.
QString trendPicture(const QVector<ReportCounts> &trend)
{
    constexpr double height = 160, width = 1000;
    const double column = width / std::max<int>(trend.size(), 1);
    QString columns;
    for (int r = 0; r < trend.size(); ++r) {
        const ReportCounts &report = trend.at(r);
        const int total = std::max(report.total(), 1);
        QStringList said;
        double y = height;
        for (int i = hostStateCount - 1; i >= 0; --i) {
            const int count = report.counts[std::size_t(i)];
            if (count == 0)
                continue;
            const double h = height * count / total;
            y -= h;
            said.prepend(QString::number(count) + QLatin1Char(' ') + hostStateName(HostState(i)));
            columns += QStringLiteral("<rect class=\"segment %1\" x=\"%2\" y=\"%3\" width=\"%4\" height=\"%5\"/>")
                           .arg(stateClass(HostState(i)), QString::number(r * column, 'f', 1), QString::number(y, 'f', 1),
                                QString::number(column, 'f', 1), QString::number(h, 'f', 1));
        }
        columns += QStringLiteral("<rect class=\"report\" x=\"%1\" y=\"0\" width=\"%2\" height=\"%3\"><title>%4</title></rect>")
                       .arg(QString::number(r * column, 'f', 1), QString::number(column, 'f', 1), QString::number(height),
                            escaped(isoText(report.generated) + QStringLiteral(": ") + said.join(QStringLiteral(", "))));
    }
    const auto sharesOf = [](const ReportCounts &report) -> QString {
        QStringList shares;
        for (int i = 0; i < hostStateCount; ++i) {
            if (const int count = report.counts[std::size_t(i)])
                shares.append(QString::number(100.0 * count / std::max(report.total(), 1), 'f', 0) + QStringLiteral("% ")
                              + hostStateName(HostState(i)));
        }
        return report.generated.date().toString(Qt::ISODate) + QStringLiteral(" ") + shares.join(QStringLiteral(", "));
    };
    const QString title = trend.isEmpty() ? QStringLiteral("No report yet.")
                          : trend.size() == 1
                              ? QString(QStringLiteral("The hosts' states in the one report so far: ") + sharesOf(trend.last()) + '.')
                              : QString(QStringLiteral("The hosts' states over the last %1 reports: from ").arg(trend.size())
                                        + sharesOf(trend.first()) + QStringLiteral(" to ") + sharesOf(trend.last()) + '.');
    return QStringLiteral("<svg class=\"picture\" id=\"trend\" viewBox=\"0 0 1000 160\" preserveAspectRatio=\"none\" role=\"img\" "
                          "aria-labelledby=\"trend-title\"><title id=\"trend-title\">%1</title>%2</svg>")
        .arg(escaped(title), columns);
}

QString trendRows(const QVector<ReportCounts> &trend)
{
    QString rows;
    for (auto it = trend.crbegin(); it != trend.crend(); ++it) {
        rows += QStringLiteral("<tr><th scope=\"row\"><time datetime=\"%1\">%1</time></th>").arg(isoText(it->generated));
        for (const int count : it->counts)
            rows += QStringLiteral("<td class=\"number\">%1</td>").arg(count);
        rows += QStringLiteral("</tr>\n");
    }
    return rows;
}

// What the pictures show, for a script that reads the page: JSON in a script
// element, where "</script>" or "<!--" in a datum would end or hide the
// element, so no "<" is left as it stands.
QString pageData(const Fleet &fleet)
{
    QJsonObject counts;
    for (int i = 0; i < hostStateCount; ++i)
        counts.insert(hostStateName(HostState(i)), fleet.count(HostState(i)));
    QJsonArray trend;
    for (const ReportCounts &report : fleet.trend) {
        QJsonObject each;
        for (int i = 0; i < hostStateCount; ++i)
            each.insert(hostStateName(HostState(i)), report.counts[std::size_t(i)]);
        trend.append(QJsonObject{{QStringLiteral("generated"), isoText(report.generated)},
                                 {QStringLiteral("counts"), each}});
    }
    const QJsonObject data{{QStringLiteral("generated"), isoText(fleet.generated)},
                           {QStringLiteral("scope"), fleet.scope},
                           {QStringLiteral("release"), fleet.release},
                           {QStringLiteral("counts"), counts},
                           {QStringLiteral("trend"), trend}};
    return QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact)).replace(QLatin1Char('<'), QStringLiteral("\\u003c"));
}

// A part of the page as compiled in.
QString pagePart(const QString &name)
{
    QFile file(QStringLiteral(":/page/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The template with each {{name}} in its place, in one pass, written as it
// goes: a value is never read for markers, so no datum can become part of
// the template. A part too long to hold is written by its own writer.
void filled(Writes &put, const QString &page, const QHash<QString, QString> &values,
            const QHash<QString, std::function<void()>> &writers)
{
    static const QRegularExpression marker(QStringLiteral("\\{\\{([a-z-]+)\\}\\}"));
    int at = 0;
    for (QRegularExpressionMatchIterator it = marker.globalMatch(page); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        put(page.mid(at, match.capturedStart() - at));
        if (const auto writer = writers.constFind(match.captured(1)); writer != writers.cend())
            (*writer)();
        else
            put(values.value(match.captured(1)));
        at = match.capturedEnd();
    }
    put(page.mid(at));
}

} // namespace

bool writeFleetHtml(const Fleet &fleet, QIODevice *out)
{
    initPageResources();
    const QDateTime &now = fleet.generated;
    QString counts, options, lacking;
    QVector<const HostReport *> action, hosts;
    for (int i = 0; i < hostStateCount; ++i) {
        counts += QStringLiteral("<tr>") + stateCell(HostState(i))
                  + QStringLiteral("<td class=\"number\">%1</td></tr>\n").arg(fleet.count(HostState(i)));
        options += QStringLiteral("<option>") + escaped(hostStateName(HostState(i))) + QStringLiteral("</option>");
    }
    for (const HostReport &host : fleet.hosts) {
        if (host.state != HostState::InStep)
            action.append(&host);
        hosts.append(&host);
    }

    QMap<QString, Seen> seen;
    for (const HostReport &host : fleet.hosts) {
        for (const HostCertificate &certificate : host.certificates) {
            const QString key = certificate.store + QLatin1Char(' ') + certificate.name + QLatin1Char(' ') + certificate.thumbprint;
            Seen &each = seen[key];
            each.name = certificate.name;
            if (!each.vouchesFor)
                each.vouchesFor = certificate.vouchesFor;
            if (!each.notAfter.isValid())
                each.notAfter = certificate.notAfter;
            if (certificate.result == QLatin1String("missing"))
                each.lackedBy.append(host.host);
            if (certificate.result == QLatin1String("retired"))
                ++each.retiredOn;
        }
    }
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        lacking += QStringLiteral("<tr><th scope=\"row\">%1</th><td>%2</td><td class=\"number\">%3</td><td>%4</td><td>%5</td>"
                                  "<td class=\"number\">%6</td></tr>\n")
                       .arg(escaped(it.key()), escaped(scopeText(it->vouchesFor)), QString::number(it->lackedBy.size()),
                            escaped(it->lackedBy.join(QStringLiteral(", "))),
                            it->notAfter.isValid() ? it->notAfter.date().toString(Qt::ISODate) : QStringLiteral("-"),
                            QString::number(it->retiredOn));
    }
    if (seen.isEmpty())
        lacking = QStringLiteral("<tr><td colspan=\"6\">No host reported a certificate.</td></tr>\n");
    QVector<Seen> byEnd = seen.values().toVector();
    std::stable_sort(byEnd.begin(), byEnd.end(), [](const Seen &a, const Seen &b) { return a.notAfter < b.notAfter; });
    QString trendHead;
    for (int i = 0; i < hostStateCount; ++i)
        trendHead += QStringLiteral("<th scope=\"col\">") + escaped(hostStateName(HostState(i))) + QStringLiteral("</th>");

    const QString generated = escaped(isoText(now));
    Writes put{out};
    filled(put, pagePart(QStringLiteral("fleet.html")),
           {{QStringLiteral("generated"), generated},
            {QStringLiteral("style"), pagePart(QStringLiteral("fleet.css"))},
            {QStringLiteral("script"), pagePart(QStringLiteral("fleet.js"))},
            {QStringLiteral("data"), pageData(fleet)},
            {QStringLiteral("scope"), escaped(fleet.scope)},
            {QStringLiteral("release"), escaped(fleet.release.isEmpty() ? QStringLiteral("not reported") : fleet.release)},
            {QStringLiteral("host-count"), QString::number(fleet.hosts.size())},
            {QStringLiteral("expiry-days"), QString::number(fleet.expiryDays)},
            {QStringLiteral("count-rows"), counts},
            {QStringLiteral("state-bar"), stateBar(fleet)},
            {QStringLiteral("trend"), trendPicture(fleet.trend)},
            {QStringLiteral("trend-head"), trendHead},
            {QStringLiteral("trend-rows"), trendRows(fleet.trend)},
            {QStringLiteral("history"), escaped(fleet.history)},
            {QStringLiteral("expiry-timeline"), expiryTimeline(byEnd, now)},
            {QStringLiteral("state-options"), options},
            {QStringLiteral("lacking-rows"), lacking}},
           {{QStringLiteral("action-blocks"),
             [&] {
                 blocked(put, QStringLiteral("action"),
                         {QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"), QStringLiteral("Checked"),
                          QStringLiteral("Out of step since"), QStringLiteral("What to do")},
                         false, {14, 13, 8, 12, 10, 43}, action,
                         [&](const HostReport &host) { return hostRow(host, now, Fifth::Since); });
             }},
            {QStringLiteral("host-blocks"), [&] {
                 blocked(put, QStringLiteral("hosts"),
                         {QStringLiteral("Host"), QStringLiteral("State"), QStringLiteral("Days left"), QStringLiteral("Checked"),
                          QStringLiteral("Version"), QStringLiteral("Why")},
                         true, {14, 13, 8, 12, 14, 39}, hosts,
                         [&](const HostReport &host) { return hostRow(host, now, Fifth::Version); });
             }}});
    return put.ok;
}

} // namespace Ps
