#include "record.h"

#include <QRegularExpression>

#include <algorithm>

namespace Ps {
namespace {

bool sameEntries(const QVector<RecordEntry> &a, const QVector<RecordEntry> &b)
{
    const auto same = [](const RecordEntry &x, const RecordEntry &y) {
        return x.sameCertificate(y) && x.certificate.sha256 == y.certificate.sha256
               && x.certificate.name == y.certificate.name && x.certificate.subject == y.certificate.subject
               && x.added == y.added;
    };
    return a.size() == b.size() && std::all_of(a.cbegin(), a.cend(), [&](const RecordEntry &entry) {
               return std::any_of(b.cbegin(), b.cend(), [&](const RecordEntry &other) { return same(entry, other); });
           });
}

} // namespace

bool isValidEntry(const RecordEntry &entry)
{
    static const QRegularExpression sha1(QStringLiteral("^[0-9A-F]{40}$"));
    static const QRegularExpression sha256(QStringLiteral("^([0-9A-F]{64})?$"));
    return sha1.match(entry.certificate.sha1).hasMatch() && sha256.match(entry.certificate.sha256).hasMatch();
}

Record Record::load()
{
    const std::optional<StoredRecord> stored = readRecord();
    // Nothing is decided from a record that cannot be read whole, or that
    // holds what this program never writes.
    if (!stored || !std::all_of(stored->entries.cbegin(), stored->entries.cend(), isValidEntry))
        return Record(State::Unreadable, {});
    return Record(stored->exists ? State::Read : State::None, stored->entries);
}

bool Record::save(const QVector<RecordEntry> &entries)
{
    if (loaded == State::Unreadable)
        return false;
    if (sameEntries(entries, held) && (loaded == State::Read || entries.isEmpty()))
        return true;
    if (!writeRecord(entries, held))
        return false;
    held = entries;
    loaded = State::Read;
    return true;
}

QString Record::location()
{
    return recordLocation();
}

} // namespace Ps
