#ifndef PS_OUTCOME_H
#define PS_OUTCOME_H

#include "bundledcertificate.h"

#include <QString>

namespace Ps {

enum class Verb { Install, Check, Remove };

// What became of one certificate. The first eight are the answers a verb
// wants; the rest say why it did not get one. Each has one row in
// outcome.cpp, which every face reads: a new outcome is a new row there.
enum class Outcome {
    Added,
    Present,
    Missing,
    Removed,
    Absent,
    Withdrawn, // retired from the bundle, ours, and taken out of its store
    Retired,   // retired from the bundle, ours, and still in its store
    Kept,      // bundled but not ours to remove: it was there before
    UnsafeName,        // not a bare file name, so never used as a path
    NoTemporaryFolder, // the temporary folder does not exist or is no folder
    Busy,              // another run on this machine held its lock past the wait
    NotInBundle,       // no such file among the bundled certificates
    CopyFailed,        // the copy out of the bundle could not be made
    NotACertificate,
    StoreUnavailable,  // the store could not be opened (for writing, to add or delete)
    StoreRefused,
    RecordUnavailable, // the record of what this program added could not be read or written
};

// A certificate with what a verb did to it: a bundled one (its SHA-1 empty
// when it could not be read) or a retired one of the record.
struct CertificateResult
{
    BundledCertificate certificate;
    Outcome outcome;
    // Install: the copy was left in the temporary folder. False when
    // something of another user's was in the way there: the import then took
    // the bundle's bytes through a private copy, since removed.
    bool copyLeft = true;
};

bool isFailure(Outcome outcome);
// Whether the certificate is in its store after the verb, as far as known: a
// failure leaves it where it was, which for a removal means still there.
bool inStoreAfter(Outcome outcome, Verb verb);
// The host-check document's word: "failed" for every failure.
QString resultWord(Outcome outcome);
// Why the verb did not get its answer; empty for an answer.
QString failureReason(Outcome outcome, Verb verb);

} // namespace Ps

#endif
