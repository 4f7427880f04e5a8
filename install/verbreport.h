#ifndef PS_VERBREPORT_H
#define PS_VERBREPORT_H

#include "installrun.h"
#include "systemtrust.h"

#include <QVector>

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
// certificate, the system trust's share, and the exit code.
struct VerbReport
{
    Verb verb;
    QVector<CertificateResult> certificates;
    std::optional<TrustOutcome> trust;   // what the trust step did, or (check) that there is none
    QVector<TrustedRoot> trustedRoots;   // check: each root in the system trust
    QVector<TrustTargetState> targets;   // check: each trust target
    int exitCode = NotAll;

    // Whether the certificate is in its store after the verb, as far as known.
    bool inStore(const CertificateResult &result) const;
};

// Runs the verb on the bundle's lists, the trust step (when there is one)
// waited for.
VerbReport runVerb(Verb verb, SystemTrust *trust);

} // namespace Ps

#endif
