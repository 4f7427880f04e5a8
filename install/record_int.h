#ifndef PS_RECORD_INT_H
#define PS_RECORD_INT_H

// Between the record and its per-platform files only.
#include "record.h"

#include <optional>

namespace Ps {

// The platform's side, one thin file each: the record as stored (nothing at
// all when it cannot be read), and a write of the whole set in place of the
// one stored before. An empty record stays: it tells a later removal that
// nothing of ours is left, where no record at all means a machine an earlier
// version set up.
struct StoredRecord
{
    bool exists = false;
    QVector<RecordEntry> entries;
};
std::optional<StoredRecord> readRecord();
bool writeRecord(const QVector<RecordEntry> &entries, const QVector<RecordEntry> &before);
QString recordLocation();
// Whether a stored entry is one this program could have written.
bool isValidEntry(const RecordEntry &entry);

} // namespace Ps

#endif
