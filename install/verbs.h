#ifndef PS_VERBS_H
#define PS_VERBS_H

#include "installrun.h"
#include "verbreport.h"

namespace Ps {

// Runs the verb on the bundle's lists, the trust step (when there is one)
// waited for. Without rights on the stores nothing is written, not even the
// temporary copies.
VerbReport runVerb(Verb verb, SystemTrust *trust);

// The install verb as the window runs it: the progress shown through the
// observer (each certificate's turn even when it cannot be installed), and
// the trust's refresh, seconds long, left to the caller when refreshPending
// (settleTrust then completes the report).
VerbReport runInstall(const CertificateLists &lists, SystemTrust *trust, InstallObserver &observer);
void settleTrust(VerbReport &report, const TrustOutcome &refreshed);

} // namespace Ps

#endif
