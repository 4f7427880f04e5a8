// The report's machine-read files: JSON for scripts, CSV for spreadsheets,
// JUnit for CI dashboards.
#include "fleetfiles.h"

#include <QBuffer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamWriter>

#include <algorithm>
#include <future>
#include <vector>

namespace Ps {
namespace {

// A spreadsheet runs a cell that starts with one of these as a formula.
QString csvField(QString text, bool textCell = true)
{
    if (textCell && !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        return QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    return text;
}

bool failing(const HostCertificate &certificate)
{
    return certificate.result != HostCheck::Result::present;
}

// XML 1.0 takes no lone surrogate and no control character but tab and the
// line breaks; Qt 5's writer would put out either as it stands and make the
// file unreadable, so each becomes U+FFFD.
QString xmlText(const QString &text)
{
    QString clean;
    clean.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            clean += c;
            clean += text.at(++i);
        } else if (c.isSurrogate() || (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
                   || c.unicode() == 0xFFFE || c.unicode() == 0xFFFF) {
            clean += QChar(QChar::ReplacementCharacter);
        } else {
            clean += c;
        }
    }
    return clean;
}

// A host whose certificates are its JUnit cases; any other is one error.
bool certificatesChecked(const HostReport &host)
{
    return !host.certificates.isEmpty() && host.state != HostState::Unreachable && host.state != HostState::Failed;
}

} // namespace

QString isoText(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const QDateTime utc = time.toUTC();
    const QDate date = utc.date();
    const QTime clock = utc.time();
    // Qt's own writing goes through a printf per time: a fifth of a large
    // report's time. Years outside four digits are left to it.
    if (date.year() < 1000 || date.year() > 9999)
        return utc.toString(Qt::ISODate);
    char text[] = "0000-00-00T00:00:00Z";
    const auto digits = [&text](int at, int value, int count) {
        for (int i = count - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    digits(0, date.year(), 4);
    digits(5, date.month(), 2);
    digits(8, date.day(), 2);
    digits(11, clock.hour(), 2);
    digits(14, clock.minute(), 2);
    digits(17, clock.second(), 2);
    return QString::fromLatin1(text, 20);
}

QString ageText(const QDateTime &checkedAt, const QDateTime &now)
{
    if (!checkedAt.isValid())
        return QStringLiteral("unknown");
    const qint64 seconds = std::max<qint64>(0, checkedAt.secsTo(now));
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 2 * 86400)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 d").arg(seconds / 86400);
}

namespace {

QJsonObject certificateJson(const HostCertificate &certificate)
{
    QJsonObject entry{{QStringLiteral("store"), certificate.store},
                      {QStringLiteral("name"), certificate.name},
                      {QStringLiteral("thumbprint"), certificate.thumbprint},
                      {QStringLiteral("result"), certificate.result}};
    if (!certificate.reason.isEmpty())
        entry.insert(QStringLiteral("reason"), certificate.reason);
    if (certificate.notAfter.isValid()) {
        entry.insert(QStringLiteral("not_after"), isoText(certificate.notAfter));
        entry.insert(QStringLiteral("days_left"), certificate.daysLeft);
    }
    return entry;
}

// Where the items go in Qt's JSON of an object that holds an empty list
// under the key: just inside its brackets. A key's quotes cannot occur
// unescaped in any value, so the key's one occurrence is the list's.
int listAt(const QByteArray &json, const QByteArray &key)
{
    const QByteArray empty = '"' + key + "\":[";
    return json.indexOf(empty + ']') + empty.size();
}

} // namespace

QByteArray hostLine(const HostReport &host, const QDateTime &generated)
{
    QJsonObject object{{QStringLiteral("host"), host.host},
                       {QStringLiteral("state"), hostStateName(host.state)},
                       {QStringLiteral("why"), host.why},
                       {QStringLiteral("lacking"), QJsonArray::fromStringList(host.lacking)},
                       {QStringLiteral("checked_at"), isoText(host.checkedAt)},
                       {QStringLiteral("age"), ageText(host.checkedAt, generated)},
                       {QStringLiteral("last_known"), host.lastKnown},
                       {QStringLiteral("document"), host.document},
                       {QStringLiteral("version"), host.version},
                       {QStringLiteral("keyring"), host.keyring},
                       {QStringLiteral("certificates"), QJsonArray()}};
    if (host.outOfStepSince.isValid())
        object.insert(QStringLiteral("out_of_step_since"), isoText(host.outOfStepSince));
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // Every host holds the same few certificates: each one's JSON is made
    // once (a thread's own, and only so many) and put in its place in the
    // list Qt wrote empty.
    static thread_local QHash<QString, QByteArray> made;
    if (made.size() > 4096)
        made.clear();
    QByteArray list;
    for (const HostCertificate &certificate : host.certificates) {
        const QString key = certificate.store + QLatin1Char('\n') + certificate.name + QLatin1Char('\n') + certificate.thumbprint
                            + QLatin1Char('\n') + certificate.result + QLatin1Char('\n') + certificate.reason + QLatin1Char('\n')
                            + QString::number(certificate.notAfter.isValid() ? certificate.notAfter.toMSecsSinceEpoch() : -1)
                            + QLatin1Char('\n') + QString::number(certificate.daysLeft);
        auto entry = made.constFind(key);
        if (entry == made.cend())
            entry = made.insert(key, QJsonDocument(certificateJson(certificate)).toJson(QJsonDocument::Compact));
        if (!list.isEmpty())
            list += ',';
        list += *entry;
    }
    return line.insert(listAt(line, "certificates"), list);
}

namespace {

// Writes to a device, remembering whether every byte went.
struct Put
{
    QIODevice *out;
    bool ok = true;
    void operator()(const QByteArray &bytes)
    {
        ok = ok && out->write(bytes) == bytes.size();
    }
};

// The hosts' lines take most of a report's time and none depends on another:
// they are made a slice a core at once, and put out in order.
template<typename Line>
void inSlices(const QVector<HostReport> &hosts, Put &put, Line line)
{
    constexpr int slice = 500;
    const int cores = reportThreads();
    for (int first = 0; first < hosts.size(); first += slice * cores) {
        std::vector<std::future<QByteArray>> made;
        for (int begin = first; begin < std::min(first + slice * cores, hosts.size()); begin += slice) {
            made.push_back(std::async(std::launch::async, [&hosts, &line, begin] {
                QByteArray bytes;
                for (int i = begin; i < std::min(begin + slice, hosts.size()); ++i)
                    bytes += line(i);
                return bytes;
            }));
        }
        for (std::future<QByteArray> &bytes : made)
            put(bytes.get());
    }
}

template<typename Writer>
QByteArray whole(const Fleet &fleet, Writer writer)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    writer(fleet, &buffer);
    return bytes;
}

} // namespace

bool writeFleetJson(const Fleet &fleet, QIODevice *out)
{
    QJsonObject counts;
    for (int i = 0; i < hostStateCount; ++i)
        counts.insert(hostStateName(HostState(i)), fleet.count(HostState(i)));
    const QJsonObject report{{QStringLiteral("schema"), fleetSchema},
                             {QStringLiteral("generated"), isoText(fleet.generated)},
                             {QStringLiteral("scope"), fleet.scope},
                             {QStringLiteral("release"), fleet.release},
                             {QStringLiteral("expiry_days"), fleet.expiryDays},
                             {QStringLiteral("host_count"), fleet.hosts.size()},
                             {QStringLiteral("counts"), counts},
                             {QStringLiteral("exit_code"), fleet.exitCode()},
                             {QStringLiteral("hosts"), QJsonArray()}};
    // The hosts go one a line between the head and the tail Qt writes around an empty list.
    const QByteArray frame = QJsonDocument(report).toJson(QJsonDocument::Compact);
    const int at = listAt(frame, "hosts");
    Put put{out};
    put(frame.left(at) + '\n');
    inSlices(fleet.hosts, put, [&fleet](int i) -> QByteArray {
        return hostLine(fleet.hosts.at(i), fleet.generated) + (i + 1 < fleet.hosts.size() ? ",\n" : "\n");
    });
    put(frame.mid(at) + '\n');
    return put.ok;
}

bool writeFleetCsv(const Fleet &fleet, QIODevice *out)
{
    Put put{out};
    put("host,state,checked_at,store,name,thumbprint,result,not_after,days_left,why\r\n");
    inSlices(fleet.hosts, put, [&fleet](int i) -> QByteArray {
        const HostReport &host = fleet.hosts.at(i);
        QString text;
        const QString head = csvField(host.host) + QLatin1Char(',') + csvField(hostStateName(host.state)) + QLatin1Char(',')
                             + isoText(host.checkedAt) + QLatin1Char(',');
        if (host.certificates.isEmpty())
            text += head + QStringLiteral(",,,,,,") + csvField(host.why) + QStringLiteral("\r\n");
        for (const HostCertificate &certificate : host.certificates) {
            text += head + csvField(certificate.store) + QLatin1Char(',') + csvField(certificate.name) + QLatin1Char(',')
                    + csvField(certificate.thumbprint) + QLatin1Char(',') + csvField(certificate.result) + QLatin1Char(',')
                    + (certificate.notAfter.isValid() ? isoText(certificate.notAfter) + QLatin1Char(',')
                                               + QString::number(certificate.daysLeft)
                                         : QStringLiteral(","))
                    + QLatin1Char(',') + csvField(host.why) + QStringLiteral("\r\n");
        }
        return text.toUtf8();
    });
    return put.ok;
}

bool writeFleetJunit(const Fleet &fleet, QIODevice *out)
{
    QXmlStreamWriter xml(out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    int tests = 0, failures = 0, errors = 0;
    for (const HostReport &host : fleet.hosts) {
        const bool checked = certificatesChecked(host);
        tests += checked ? host.certificates.size() : 1;
        errors += checked ? 0 : 1;
        if (checked)
            failures += int(std::count_if(host.certificates.cbegin(), host.certificates.cend(), failing));
    }
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("name"), xmlText(QStringLiteral("Vyr CA certificates: ") + fleet.scope));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    xml.writeAttribute(QStringLiteral("timestamp"), isoText(fleet.generated));
    for (const HostReport &host : fleet.hosts) {
        const bool checked = certificatesChecked(host);
        xml.writeStartElement(QStringLiteral("testsuite"));
        xml.writeAttribute(QStringLiteral("name"), xmlText(host.host));
        xml.writeAttribute(QStringLiteral("tests"), QString::number(checked ? host.certificates.size() : 1));
        xml.writeAttribute(QStringLiteral("failures"),
                           QString::number(checked ? std::count_if(host.certificates.cbegin(), host.certificates.cend(), failing)
                                                   : 0));
        xml.writeAttribute(QStringLiteral("errors"), QString::number(checked ? 0 : 1));
        xml.writeAttribute(QStringLiteral("timestamp"), isoText(host.checkedAt));
        if (!checked) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), xmlText(host.host));
            xml.writeAttribute(QStringLiteral("name"), QStringLiteral("check"));
            xml.writeStartElement(QStringLiteral("error"));
            xml.writeAttribute(QStringLiteral("message"), hostStateName(host.state));
            xml.writeCharacters(xmlText(host.why));
            xml.writeEndElement();
            xml.writeEndElement();
        }
        for (const HostCertificate &certificate : checked ? host.certificates : QVector<HostCertificate>()) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"), xmlText(host.host));
            xml.writeAttribute(QStringLiteral("name"), xmlText(certificate.store + QLatin1Char(' ') + certificate.name));
            if (failing(certificate)) {
                xml.writeStartElement(QStringLiteral("failure"));
                xml.writeAttribute(QStringLiteral("message"), xmlText(certificate.result));
                xml.writeCharacters(xmlText(certificate.reason.isEmpty() ? certificate.thumbprint
                                                                         : certificate.thumbprint + QStringLiteral(": ") + certificate.reason));
                xml.writeEndElement();
            } else if (certificate.notAfter.isValid() && certificate.daysLeft <= fleet.expiryDays) {
                xml.writeTextElement(QStringLiteral("system-out"),
                                     QStringLiteral("expires in %1 days").arg(certificate.daysLeft));
            }
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

QByteArray fleetJson(const Fleet &fleet)
{
    return whole(fleet, writeFleetJson);
}

QByteArray fleetCsv(const Fleet &fleet)
{
    return whole(fleet, writeFleetCsv);
}

std::optional<QByteArray> fleetJunit(const Fleet &fleet)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!writeFleetJunit(fleet, &buffer))
        return std::nullopt;
    return bytes;
}

QByteArray fleetHtml(const Fleet &fleet)
{
    return whole(fleet, writeFleetHtml);
}

} // namespace Ps
