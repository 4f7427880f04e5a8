#include "verbreport.h"

#include <algorithm>

namespace Ps {
namespace {

bool inStoreAfter(Outcome outcome, Verb verb)
{
    if (verb == Verb::Remove)
        return outcome != Outcome::Removed && outcome != Outcome::Absent;
    return outcome == Outcome::Added || outcome == Outcome::Present;
}

int exitCodeOf(const QVector<CertificateResult> &results, Verb verb)
{
    if (results.isEmpty())
        return NotAll;
    for (const CertificateResult &result : results) {
        if (inStoreAfter(result.outcome, verb) != (verb != Verb::Remove))
            return NotAll;
    }
    return Success;
}

// What a verb does when the stores cannot be written: nothing at all.
QVector<CertificateResult> unwritable(const CertificateLists &lists)
{
    QVector<CertificateResult> results;
    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        for (const QString &name : lists.of(list))
            results.append({list, name, bundledThumbprint(name), Outcome::StoreUnavailable, QDateTime()});
    }
    return results;
}

// The system trust's part of a verb, waited for; nothing when the build
// leaves it off or the verb changed nothing there.
std::optional<TrustOutcome> updateTrust(SystemTrust *trust, Verb verb, const CertificateLists &lists,
                                        const QVector<CertificateResult> &results)
{
    if (!trust || verb == Verb::Check)
        return std::nullopt;
    std::optional<TrustOutcome> outcome =
        verb == Verb::Install ? placeAddedRoots(*trust, results) : withdrawRoots(*trust, lists);
    if (outcome && outcome->kind == TrustOutcome::Updated)
        outcome = trust->refresh();
    return outcome;
}

// Whether the trust step failed, or left a target without the change.
bool trustFailed(const std::optional<TrustOutcome> &outcome)
{
    return outcome
           && ((outcome->kind != TrustOutcome::Updated && outcome->kind != TrustOutcome::Unchanged
                && outcome->kind != TrustOutcome::NoFamily)
               || !outcome->unreached.isEmpty());
}

} // namespace

bool VerbReport::inStore(const CertificateResult &result) const
{
    return inStoreAfter(result.outcome, verb);
}

VerbReport runVerb(Verb verb, SystemTrust *trust)
{
    const CertificateLists lists = CertificateLists::fromBundle();
    VerbReport report{verb, {}, std::nullopt, {}, {}, NotAll};
    bool noRights = false;
    if (verb == Verb::Check) {
        report.certificates = checkCertificates(lists);
    } else if (!lists.isEmpty() && !storesWritable(lists)) {
        noRights = true;
        report.certificates = unwritable(lists);
    } else if (verb == Verb::Install) {
        // What was there before is said as such; the run still repairs it.
        const QVector<CertificateResult> before = checkCertificates(lists);
        InstallObserver quiet;
        report.certificates = installCertificates(lists, quiet);
        for (int i = 0; i < report.certificates.size(); ++i) {
            CertificateResult &result = report.certificates[i];
            const bool checked = i < before.size() && before[i].name == result.name;
            if (checked && before[i].outcome == Outcome::Present && result.outcome == Outcome::Added)
                result.outcome = Outcome::Present;
            result.thumbprint = checked ? before[i].thumbprint : bundledThumbprint(result.name);
        }
    } else {
        report.certificates = removeCertificates(lists);
    }

    report.trust = noRights ? std::nullopt : updateTrust(trust, verb, lists, report.certificates);
    if (trust && verb == Verb::Check && trust->family().isEmpty()) {
        report.trust = TrustOutcome{TrustOutcome::NoFamily, 0, QString(), QString(), {}};
    } else if (trust && verb == Verb::Check) {
        for (const QString &name : lists.roots)
            report.trustedRoots.append({name, systemTrustHolds(*trust, name)});
        report.targets = systemTrustTargets(*trust, lists);
    }
    const bool trustMissing =
        std::any_of(report.trustedRoots.cbegin(), report.trustedRoots.cend(),
                    [](const TrustedRoot &root) { return !root.held; })
        || std::any_of(report.targets.cbegin(), report.targets.cend(),
                       [](const TrustTargetState &target) { return !target.holds; });

    report.exitCode = noRights ? NoRights : exitCodeOf(report.certificates, verb);
    if (report.exitCode == Success && (trustFailed(report.trust) || trustMissing))
        report.exitCode = NotAll;
    return report;
}

} // namespace Ps
