#ifndef PS_VERBREPORT_H
#define PS_VERBREPORT_H

#include "hostcheck.h"
#include "installrun.h"
#include "outcome.h"
#include "systemtrust.h"

#include <QVector>

#include <memory>
#include <optional>

namespace Ps {

// Per bundled root, for --check: whether the system trust holds it too.
struct TrustedRoot
{
    QString name;
    bool held;
};

// Everything a verb decided, for a face to print: one result per bundled
// certificate, one per retired certificate of ours it touched, the system
// trust's share, and how it ended.
struct VerbReport
{
    // What the verb could tell of the record of what this program added.
    enum class RecordNote {
        Kept,        // read, and written where it changed
        None,        // remove: there was none (an earlier version's machine), so every bundled certificate went
        Unavailable, // it could not be read or written: install and remove changed nothing, check knows of no retired one
        Behind,      // the stores changed but the record could not follow: the next run sees it all again
    };
    // How the verb ended, which each face turns into its exit code.
    enum class Ending {
        AsWanted, // every certificate as the verb wants it, the trust and the record with them
        NotAll,
        NoRights, // the stores cannot be opened for writing: nothing changed
    };

    Verb verb = Verb::Install;
    QVector<CertificateResult> certificates;
    QVector<CertificateResult> retired;  // withdrawn, retired (check) or removed
    std::optional<TrustOutcome> trust;   // what the trust step did, or (check) that there is none
    QVector<TrustedRoot> trustedRoots;   // check: each root in the system trust
    QVector<TrustTargetState> targets;   // check: each trust target
    std::optional<HostCheck::Channel> channel; // check: where releases come from, where we know
    Ending ending = Ending::NotAll;
    int imported = 0;            // install: the imports that succeeded, what the window counts
    bool refreshPending = false; // install and remove: the trust's refresh is still to run
    RecordNote record = RecordNote::Kept;
    // The machine's lock, held while the refresh is pending: settleTrust, or
    // dropping the report, lets the next run have its turn.
    std::shared_ptr<const void> turn;

    // Whether the certificate is in its store after the verb, as far as known.
    bool inStore(const CertificateResult &result) const { return inStoreAfter(result.outcome, verb); }
    int withdrawnCount() const;
};

} // namespace Ps

#endif
