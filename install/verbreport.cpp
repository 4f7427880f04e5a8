#include "verbreport.h"

#include <algorithm>

namespace Ps {
namespace {

// Whether a certificate ended as the verb wants it: a bundled one in its
// store (removal: out of it, unless it was not ours), a retired one out.
bool asWanted(const CertificateResult &result, Verb verb, bool retired)
{
    if (verb == Verb::Remove)
        return result.outcome == Outcome::Removed || result.outcome == Outcome::Absent || result.outcome == Outcome::Kept;
    return retired ? result.outcome == Outcome::Withdrawn : inStoreAfter(result.outcome, verb);
}

} // namespace

int VerbReport::withdrawnCount() const
{
    return int(std::count_if(retired.cbegin(), retired.cend(),
                             [](const CertificateResult &result) { return result.outcome == Outcome::Withdrawn; }));
}

bool VerbReport::trustFailed() const
{
    return trust
           && ((trust->kind != TrustOutcome::Updated && trust->kind != TrustOutcome::Unchanged
                && trust->kind != TrustOutcome::NoFamily)
               || !trust->unreached.isEmpty());
}

void VerbReport::conclude()
{
    // Roots first, as the bundled ones are listed.
    std::stable_sort(retired.begin(), retired.end(), [](const CertificateResult &a, const CertificateResult &b) {
        return a.certificate.list < b.certificate.list;
    });
    if (certificates.isEmpty() || record == RecordNote::Unavailable || record == RecordNote::Behind || trustFailed()) {
        ending = Ending::NotAll;
        return;
    }
    const auto wanted = [this](bool isRetired) {
        return [this, isRetired](const CertificateResult &result) { return asWanted(result, verb, isRetired); };
    };
    const bool all = std::all_of(certificates.cbegin(), certificates.cend(), wanted(false))
                     && std::all_of(retired.cbegin(), retired.cend(), wanted(true))
                     && std::all_of(trustedRoots.cbegin(), trustedRoots.cend(), [](const TrustedRoot &root) { return root.held; })
                     && std::all_of(targets.cbegin(), targets.cend(),
                                    [](const TrustTargetState &target) { return target.holds; });
    ending = all ? Ending::AsWanted : Ending::NotAll;
}

} // namespace Ps
