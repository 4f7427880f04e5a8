#include "channel.h"

#include <QFile>
#include <QFileInfo>

namespace Ps {
namespace {

// Neither file is ours to trust in size: a source of a few fields, a status
// file of every package on the machine.
constexpr qint64 maxSourceBytes = 64 * 1024, maxStatusBytes = 256 * 1024 * 1024;

QByteArray readCapped(const QString &path, qint64 cap)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(cap);
}

// The first stanza's field, as deb822 has it: names in any case, a line
// that starts with # a comment (an administrator's old URIs, kept so).
QString fieldOf(const QByteArray &text, const char *name)
{
    bool inStanza = false;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith('#'))
            continue;
        if (line.trimmed().isEmpty()) {
            if (inStanza)
                break;
            continue;
        }
        inStanza = true;
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == QByteArray(name).toLower())
            return QString::fromUtf8(line.mid(colon + 1).trimmed());
    }
    return QString();
}

// apt's name for a file of a repository in its lists folder: the URI without
// its scheme and user, its odd characters quoted, every '/' a '_'.
QString listFileName(QString uri, const QString &suite, const QString &file)
{
    uri = uri.mid(uri.indexOf(QLatin1String("://")) + 3);
    const int at = uri.indexOf(QLatin1Char('@')), slash = uri.indexOf(QLatin1Char('/'));
    if (at >= 0 && (slash < 0 || at < slash))
        uri = uri.mid(at + 1);
    if (!uri.endsWith(QLatin1Char('/')))
        uri += QLatin1Char('/');
    const QByteArray path = (uri + QStringLiteral("dists/") + suite + QLatin1Char('/') + file).toUtf8();
    static const QByteArray quoted("\\|{}[]<>\"^~_=!@#$%^&*");
    QString name;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || quoted.contains(c))
            name += QStringLiteral("%%1").arg(byte, 2, 16, QLatin1Char('0'));
        else
            name += QLatin1Char(c == '/' ? '_' : c);
    }
    return name;
}

// The installed version of each of our packages in dpkg's status file, one
// stanza a package.
void readVersions(const QByteArray &status, HostCheck::Channel &channel)
{
    int start = 0;
    while (start < status.size()) {
        int end = status.indexOf("\n\n", start);
        end = end < 0 ? status.size() : end;
        const QByteArray stanza = status.mid(start, end - start).trimmed();
        start = end + 2;
        const QString package = fieldOf(stanza, "Package");
        QString *version = package == QLatin1String("vyr-ca-trust")          ? &channel.trustVersion
                           : package == QLatin1String("vyr-archive-keyring") ? &channel.keyringVersion
                                                                             : nullptr;
        if (version && fieldOf(stanza, "Status").endsWith(QLatin1String(" installed")))
            *version = fieldOf(stanza, "Version");
    }
}

} // namespace

std::optional<HostCheck::Channel> readAptChannel(const AptFiles &files)
{
    const QByteArray source = readCapped(files.source, maxSourceBytes);
    HostCheck::Channel channel;
    channel.source = fieldOf(source, "URIs").section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    const QString suite = fieldOf(source, "Suites").section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    if (channel.source.isEmpty() || suite.isEmpty() || fieldOf(source, "Enabled").toLower() == QLatin1String("no"))
        return std::nullopt;
    // apt dates each list by the repository's Last-Modified and keeps the
    // file as it was when it takes none, so its time is that of the last
    // release this machine took.
    for (const char *file : {"InRelease", "Release"}) {
        const QFileInfo list(files.lists + QLatin1Char('/') + listFileName(channel.source, suite, QLatin1String(file)));
        if (list.isFile()) {
            channel.refreshed = list.lastModified().toUTC();
            break;
        }
    }
    readVersions(readCapped(files.status, maxStatusBytes), channel);
    return channel;
}

} // namespace Ps
