#include "record_int.h"

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

// Uppercase hex digits, as the program writes them. A regular expression
// here would cost a --check more than all of its reading of the record.
bool isThumbprint(const QString &text, int digits)
{
    return text.size() == digits && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
           });
}

} // namespace

bool isValidEntry(const RecordEntry &entry)
{
    const BundledCertificate &certificate = entry.certificate;
    return isThumbprint(certificate.sha1, 40) && (certificate.sha256.isEmpty() || isThumbprint(certificate.sha256, 64));
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
