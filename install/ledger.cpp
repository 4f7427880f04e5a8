#include "ledger.h"

#include <algorithm>

namespace Ps {
namespace {

const RecordEntry *findEntry(const QVector<RecordEntry> &entries, const RecordEntry &wanted)
{
    const auto found = std::find_if(entries.cbegin(), entries.cend(),
                                    [&wanted](const RecordEntry &entry) { return entry.sameCertificate(wanted); });
    return found == entries.cend() ? nullptr : &*found;
}

bool isBundled(const RecordEntry &entry, const QVector<CertificateResult> &bundled)
{
    return std::any_of(bundled.cbegin(), bundled.cend(), [&entry](const CertificateResult &result) {
        return !result.certificate.sha1.isEmpty() && result.certificate.sameAs(entry.certificate);
    });
}

} // namespace

Ledger::Ledger(Record &record) : record(record), earlier(record.entries()), pending(record.entries()) {}

bool Ledger::plan(const QVector<CertificateResult> &found)
{
    for (const CertificateResult &result : found) {
        if ((result.outcome == Outcome::Present || result.outcome == Outcome::Missing)
            && !findEntry(pending, {result.certificate, false}))
            pending.append({result.certificate, result.outcome == Outcome::Missing});
    }
    return record.save(pending);
}

void Ledger::forgetUnmade(const CertificateResult &planned)
{
    const RecordEntry entry{planned.certificate, true};
    if (!findEntry(earlier, entry))
        forget(entry);
}

const RecordEntry *Ledger::entryFor(const CertificateResult &found) const
{
    return findEntry(pending, {found.certificate, true});
}

QVector<RecordEntry> Ledger::notShippedBy(const QVector<CertificateResult> &bundled) const
{
    QVector<RecordEntry> retired;
    std::copy_if(pending.cbegin(), pending.cend(), std::back_inserter(retired),
                 [&bundled](const RecordEntry &entry) { return !isBundled(entry, bundled); });
    return retired;
}

void Ledger::forget(const RecordEntry &entry)
{
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [&entry](const RecordEntry &held) { return held.sameCertificate(entry); }),
                  pending.end());
}

void Ledger::keepForRetry(const RecordEntry &entry)
{
    if (!findEntry(pending, entry))
        pending.append(entry);
}

bool Ledger::commit()
{
    return record.save(pending);
}

} // namespace Ps
