#ifndef PS_VERBREPORT_H
#define PS_VERBREPORT_H

#include "installrun.h"
#include "systemtrust.h"

#include <QVector>

#include <memory>
#include <optional>

namespace Ps {

enum class Verb { Install, Check, Remove };

// What a verb's exit code means.
enum ExitCode { Success = 0, NotAll = 1, Usage = 2, NoRights = 3 };

// Per bundled root, for --check: whether the system trust holds it too.
struct TrustedRoot
{
    QString name;
    bool held;
};

// Everything a verb decided, for a face to print: one result per bundled
// certificate, one per retired certificate of ours it touched, the system
// trust's share, and the exit code.
struct VerbReport
{
    // What the verb could tell of the record of what this program added.
    enum class RecordNote {
        Kept,        // read, and written where it changed
        None,        // remove: there was none (an earlier version's machine), so every bundled certificate went
        Unavailable, // it could not be read or written: install and remove changed nothing, check knows of no retired one
        Behind,      // the stores changed but the record could not follow: the next run sees it all again
    };

    Verb verb = Verb::Install;
    QVector<CertificateResult> certificates;
    QVector<CertificateResult> retired;  // withdrawn, retired (check) or removed
    std::optional<TrustOutcome> trust;   // what the trust step did, or (check) that there is none
    QVector<TrustedRoot> trustedRoots;   // check: each root in the system trust
    QVector<TrustTargetState> targets;   // check: each trust target
    int exitCode = NotAll;
    int imported = 0;            // install: the imports that succeeded, what the window counts
    bool refreshPending = false; // install and remove: the trust's refresh is still to run
    RecordNote record = RecordNote::Kept;
    // The machine's lock, held while the refresh is pending: settleTrust, or
    // dropping the report, lets the next run have its turn.
    std::shared_ptr<const void> turn;

    // Whether the certificate is in its store after the verb, as far as known.
    bool inStore(const CertificateResult &result) const;
    int withdrawnCount() const;
};

// Runs the verb on the bundle's lists, the trust step (when there is one)
// waited for.
VerbReport runVerb(Verb verb, SystemTrust *trust);

// The install verb as the window runs it: the progress shown through the
// observer, and the trust's refresh, seconds long, left to the caller when
// refreshPending (settleTrust then completes the report).
VerbReport runInstall(const CertificateLists &lists, SystemTrust *trust, InstallObserver &observer);
void settleTrust(VerbReport &report, const TrustOutcome &refreshed);

} // namespace Ps

#endif
