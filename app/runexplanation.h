#ifndef PS_RUNEXPLANATION_H
#define PS_RUNEXPLANATION_H

#include "installrun.h"

namespace Ps {

// One line, in Romanian, saying why certificates of a run were not installed
// and what to do about it; empty when nothing failed.
QString runExplanation(const QVector<CertificateResult> &results);

// How many retired certificates of ours the run took out of the stores.
QString withdrawnMessage(int count);
// The system trust's part, in Romanian, one sentence.
QString trustUpdatingMessage();
QString trustMessage(const TrustOutcome &outcome);

} // namespace Ps

#endif
