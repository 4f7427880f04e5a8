#include "record.h"

#include <QRegularExpression>
#include <QSettings>

namespace Ps {
namespace {

const QString addedWord = QStringLiteral("added");
const QString presentWord = QStringLiteral("present before");
const QStringList stores{QStringLiteral("ROOT"), QStringLiteral("CA")};

// One value per certificate, under its store, named by its SHA-1: each entry
// is written in one step (one registry value, or one line of one file that
// is replaced whole), so no fault leaves half of one.
QStringList valueOf(const RecordEntry &entry)
{
    return {entry.name, entry.sha256, entry.subject, entry.added ? addedWord : presentWord};
}

bool sameEntries(const QVector<RecordEntry> &a, const QVector<RecordEntry> &b)
{
    if (a.size() != b.size())
        return false;
    for (const RecordEntry &entry : a) {
        const auto match = std::find_if(b.cbegin(), b.cend(), [&entry](const RecordEntry &other) {
            return entry.sameCertificate(other) && valueOf(entry) == valueOf(other);
        });
        if (match == b.cend())
            return false;
    }
    return true;
}

} // namespace

Record Record::load()
{
    const std::unique_ptr<QSettings> settings = openRecordSettings();
    QVector<RecordEntry> entries;
    const QStringList keys = settings->allKeys();
    if (settings->status() != QSettings::NoError)
        return Record(State::Unreadable, {});
    static const QRegularExpression sha1(QStringLiteral("^[0-9A-F]{40}$"));
    for (const QString &key : keys) {
        const QString store = key.section(QLatin1Char('/'), 0, 0);
        const QString thumbprint = key.section(QLatin1Char('/'), 1);
        const QStringList value = settings->value(key).toStringList();
        // Anything else was not written by this program: nothing is decided
        // from a record that cannot be read whole.
        if (!stores.contains(store) || !sha1.match(thumbprint).hasMatch() || value.size() != 4
            || (value[3] != addedWord && value[3] != presentWord))
            return Record(State::Unreadable, {});
        entries.append({store, thumbprint, value[1], value[0], value[2], value[3] == addedWord});
    }
    return Record(entries.isEmpty() ? State::None : State::Read, entries);
}

bool Record::save(const QVector<RecordEntry> &entries)
{
    if (loaded == State::Unreadable)
        return false;
    if (sameEntries(entries, held))
        return true;
    bool written = false;
    if (entries.isEmpty()) {
        written = removeRecordSettings();
    } else {
        const std::unique_ptr<QSettings> settings = openRecordSettings();
        for (const RecordEntry &entry : held) {
            const bool kept = std::any_of(entries.cbegin(), entries.cend(),
                                          [&entry](const RecordEntry &other) { return entry.sameCertificate(other); });
            if (!kept)
                settings->remove(entry.store + QLatin1Char('/') + entry.sha1);
        }
        for (const RecordEntry &entry : entries)
            settings->setValue(entry.store + QLatin1Char('/') + entry.sha1, valueOf(entry));
        settings->sync();
        written = settings->status() == QSettings::NoError;
    }
    if (!written)
        return false;
    held = entries;
    loaded = entries.isEmpty() ? State::None : State::Read;
    return true;
}

QString Record::location()
{
    return recordLocation();
}

} // namespace Ps
