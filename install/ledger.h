#ifndef PS_LEDGER_H
#define PS_LEDGER_H

#include "installrun.h"
#include "record.h"

#include <QVector>

namespace Ps {

// The record's steps as --install and --remove take them, so that each verb
// reads as a few calls. What holds after every step, and after any fault
// between two of them:
//   - a certificate of ours in a store has an entry: an addition is recorded
//     (as ours) before it is made;
//   - what was there before is recorded as not ours, and never becomes ours;
//   - an entry goes only when its certificate has left its store, or was
//     never ours to take; one whose removal failed stays, for the next run.
// The record is written by plan (before the stores change) and by commit
// (after), each time only when it changed.
class Ledger
{
public:
    explicit Ledger(Record &record);

    // Install, before anything is added: each bundled certificate the look
    // found there (not ours) or found missing (ours, about to be added).
    bool plan(const QVector<CertificateResult> &found);
    // An addition this run planned and did not make leaves no entry, unless
    // an earlier run had made it.
    void forgetUnmade(const CertificateResult &planned);
    // The entry of a bundled certificate a lookup found (or found missing).
    const RecordEntry *entryFor(const CertificateResult &found) const;
    // What this machine's record holds that these bundled certificates (each
    // with its thumbprint) do not ship.
    QVector<RecordEntry> notShippedBy(const QVector<CertificateResult> &bundled) const;
    // The certificate has left its store, or was never ours to take.
    void forget(const RecordEntry &entry);
    // Taken out of its store, but the trust step could not follow: the next
    // run tries again.
    void keepForRetry(const RecordEntry &entry);
    bool commit();

private:
    Record &record;
    QVector<RecordEntry> earlier; // as read
    QVector<RecordEntry> pending; // what commit writes
};

} // namespace Ps

#endif
