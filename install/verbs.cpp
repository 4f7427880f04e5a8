#include "verbs.h"

#include "channel.h"
#include "ledger.h"
#include "machinelock.h"
#include "queryoutcome.h"
#include "record.h"
#include "storequery.h"

#include <algorithm>

namespace Ps {
namespace {

// A run takes well under a second; waiting longer only means the other run
// hangs, and then this one reports every certificate as not installed.
constexpr int lockWaitMs = 30000;

// Whether a certificate ended as the verb wants it: a bundled one in its
// store (removal: out of it, unless it was not ours), a retired one out.
bool asWanted(const CertificateResult &result, Verb verb, bool retired)
{
    if (verb == Verb::Remove)
        return result.outcome == Outcome::Removed || result.outcome == Outcome::Absent || result.outcome == Outcome::Kept;
    return retired ? result.outcome == Outcome::Withdrawn : inStoreAfter(result.outcome, verb);
}

// Whether the trust step failed, or left a target without the change.
bool trustFailed(const VerbReport &report)
{
    const std::optional<TrustOutcome> &trust = report.trust;
    return trust
           && ((trust->kind != TrustOutcome::Updated && trust->kind != TrustOutcome::Unchanged
                && trust->kind != TrustOutcome::NoFamily)
               || !trust->unreached.isEmpty());
}

// The retired in their order (roots first, as the bundled ones are listed),
// and how the verb ended.
void conclude(VerbReport &report)
{
    std::stable_sort(report.retired.begin(), report.retired.end(), [](const CertificateResult &a, const CertificateResult &b) {
        return a.certificate.list < b.certificate.list;
    });
    const VerbReport::RecordNote record = report.record;
    if (report.certificates.isEmpty() || record == VerbReport::RecordNote::Unavailable
        || record == VerbReport::RecordNote::Behind || trustFailed(report)) {
        report.ending = VerbReport::Ending::NotAll;
        return;
    }
    const Verb verb = report.verb;
    const auto wanted = [verb](bool isRetired) {
        return [verb, isRetired](const CertificateResult &result) { return asWanted(result, verb, isRetired); };
    };
    const bool all = std::all_of(report.certificates.cbegin(), report.certificates.cend(), wanted(false))
                     && std::all_of(report.retired.cbegin(), report.retired.cend(), wanted(true))
                     && std::all_of(report.trustedRoots.cbegin(), report.trustedRoots.cend(),
                                    [](const TrustedRoot &root) { return root.held; })
                     && std::all_of(report.targets.cbegin(), report.targets.cend(),
                                    [](const TrustTargetState &target) { return target.holds; });
    report.ending = all ? VerbReport::Ending::AsWanted : VerbReport::Ending::NotAll;
}

// What a verb that changes the stores needs before it touches them.
struct Turn
{
    enum class Refusal { None, NoRights, Busy, NoRecord };
    Refusal refusal = Refusal::None;
    std::shared_ptr<const MachineLock> lock;
    std::optional<Record> record;
};

// Every bundled certificate with one outcome: what a verb says when it
// changes nothing at all.
QVector<CertificateResult> allWith(const CertificateLists &lists, Outcome outcome)
{
    QVector<CertificateResult> results;
    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        for (const QString &name : lists.of(list))
            results.append({bundledCertificate(list, name), outcome});
    }
    return results;
}

// Rights on the stores, then the machine's lock, then the record. Refused,
// the report says why for every certificate, and nothing has changed. For
// root, a lock beside the record that cannot be had means the record cannot
// be either.
Turn takeTurn(VerbReport &report, const CertificateLists &lists)
{
    Turn turn;
    const auto refuse = [&](Turn::Refusal refusal, Outcome outcome) {
        turn.refusal = refusal;
        report.certificates = allWith(lists, outcome);
        report.ending = refusal == Turn::Refusal::NoRights ? VerbReport::Ending::NoRights : VerbReport::Ending::NotAll;
        if (outcome == Outcome::RecordUnavailable)
            report.record = VerbReport::RecordNote::Unavailable;
        return turn;
    };
    if (!lists.isEmpty() && !storesWritable(lists))
        return refuse(Turn::Refusal::NoRights, Outcome::StoreUnavailable);
    turn.lock = std::make_shared<const MachineLock>(lockWaitMs);
    if (turn.lock->state() == MachineLock::State::Busy)
        return refuse(Turn::Refusal::Busy, Outcome::Busy);
    if (turn.lock->state() != MachineLock::State::Held)
        return refuse(Turn::Refusal::NoRecord, Outcome::RecordUnavailable);
    turn.record = Record::load();
    if (turn.record->state() == Record::State::Unreadable)
        return refuse(Turn::Refusal::NoRecord, Outcome::RecordUnavailable);
    return turn;
}

// The look's result for the same bundled certificate.
const CertificateResult *resultFor(const QVector<CertificateResult> &results, const CertificateResult &wanted)
{
    const auto found = std::find_if(results.cbegin(), results.cend(), [&wanted](const CertificateResult &result) {
        return result.certificate.list == wanted.certificate.list && result.certificate.name == wanted.certificate.name;
    });
    return found == results.cend() ? nullptr : &*found;
}

// A certificate of ours taken out of its store, by thumbprint.
CertificateResult deleteRecorded(const RecordEntry &entry, Outcome deleted)
{
    const QueryAnswer answer =
        deleteThumbprintFromStore(entry.certificate.sha1.toStdString(), storeName(entry.certificate.list));
    return {entry.certificate, outcomeOf(answer.result, deleted, Outcome::Absent)};
}

// The bundled roots that came to one of these outcomes, for the system trust.
QVector<TrustRoot> rootsWith(const QVector<CertificateResult> &results, std::initializer_list<Outcome> outcomes)
{
    QVector<TrustRoot> roots;
    for (const CertificateResult &result : results) {
        if (result.certificate.list != StoreList::Root
            || std::find(outcomes.begin(), outcomes.end(), result.outcome) == outcomes.end())
            continue;
        if (const std::optional<TrustRoot> root = bundledRoot(result.certificate))
            roots.append(*root);
    }
    return roots;
}

// Certificates of ours that the bundle no longer ships, taken out of their
// stores (what was there before is only forgotten); one already gone (an
// earlier run cut short) is only forgotten too. A failed deletion stays on
// the record. Answers the roots taken out, whose files the trust step must
// take away as well.
QVector<RecordEntry> takeOut(VerbReport &report, Ledger &ledger, const QVector<RecordEntry> &entries, Outcome deleted)
{
    QVector<RecordEntry> roots;
    for (const RecordEntry &entry : entries) {
        if (!entry.added) {
            ledger.forget(entry);
            continue;
        }
        const CertificateResult result = deleteRecorded(entry, deleted);
        if (result.outcome != Outcome::Absent)
            report.retired.append(result);
        if (isFailure(result.outcome))
            continue;
        if (result.certificate.list == StoreList::Root)
            roots.append(entry);
        ledger.forget(entry);
    }
    return roots;
}

QVector<BundledCertificate> certificatesOf(const QVector<RecordEntry> &entries)
{
    QVector<BundledCertificate> certificates;
    for (const RecordEntry &entry : entries)
        certificates.append(entry.certificate);
    return certificates;
}

// The system trust's share, the refresh left pending: nothing when there is
// nothing for it to do.
void changeTrust(VerbReport &report, SystemTrust *trust, const QVector<TrustRoot> &roots,
                 const QVector<BundledCertificate> &retired, bool removal)
{
    if (!trust || (roots.isEmpty() && retired.isEmpty()))
        return;
    report.trust = removal ? trust->withdraw(roots, retired) : trust->place(roots, retired);
    report.refreshPending = report.trust->kind == TrustOutcome::Updated;
}

// The report concluded, and the lock kept while the refresh is still to
// run, since that is part of the verb.
VerbReport &concludeHolding(VerbReport &report, const Turn &turn)
{
    conclude(report);
    if (report.refreshPending)
        report.turn = turn.lock;
    return report;
}

// The record written, then the report concluded.
VerbReport &finish(VerbReport &report, Ledger &ledger, const Turn &turn)
{
    if (!ledger.commit())
        report.record = VerbReport::RecordNote::Behind;
    return concludeHolding(report, turn);
}

VerbReport reportOf(Verb verb)
{
    VerbReport report;
    report.verb = verb;
    return report;
}

// The bundled certificates in the stores, the retired ones of ours still
// there, and the system trust's share; changes nothing.
VerbReport check(const CertificateLists &lists, SystemTrust *trust)
{
    VerbReport report = reportOf(Verb::Check);
    report.certificates = checkCertificates(lists);
    Record record = Record::load();
    if (record.state() == Record::State::Unreadable)
        report.record = VerbReport::RecordNote::Unavailable;
    for (const RecordEntry &entry : Ledger(record).notShippedBy(report.certificates)) {
        if (!entry.added)
            continue;
        const QueryAnswer answer =
            findThumbprintInStore(entry.certificate.sha1.toStdString(), storeName(entry.certificate.list));
        if (answer.result != QueryResult::NotFound)
            report.retired.append({entry.certificate, outcomeOf(answer.result, Outcome::Retired, Outcome::Absent)});
    }
    if (trust && trust->family().isEmpty()) {
        report.trust = TrustOutcome{TrustOutcome::NoFamily, 0, QString(), QString(), {}};
    } else if (trust) {
        QVector<TrustRoot> roots;
        for (const QString &name : lists.roots) {
            const std::optional<TrustRoot> root = bundledRoot(bundledCertificate(StoreList::Root, name));
            report.trustedRoots.append({name, root && trust->holds(*root)});
            if (root)
                roots.append(*root);
        }
        report.targets = trust->check(roots);
    }
    report.channel = channelOfThisMachine();
    conclude(report);
    return report;
}

// A machine an earlier version set up has no record: every bundled
// certificate goes, whoever put it there.
VerbReport &removeAllBundled(VerbReport &report, const CertificateLists &lists, SystemTrust *trust, const Turn &turn)
{
    report.record = VerbReport::RecordNote::None;
    report.certificates = removeCertificates(lists);
    changeTrust(report, trust, bundledRoots(lists), {}, true);
    return concludeHolding(report, turn);
}

// What this program added goes, bundled or retired; what was there before
// stays, and so do its roots in the system trust.
VerbReport remove(const CertificateLists &lists, SystemTrust *trust)
{
    VerbReport report = reportOf(Verb::Remove);
    Turn turn = takeTurn(report, lists);
    if (turn.refusal != Turn::Refusal::None)
        return report;
    if (turn.record->state() == Record::State::None)
        return removeAllBundled(report, lists, trust, turn);
    Ledger ledger(*turn.record);
    QVector<BundledCertificate> gone;
    for (const CertificateResult &found : checkCertificates(lists)) {
        const RecordEntry *entry = isFailure(found.outcome) ? nullptr : ledger.entryFor(found);
        CertificateResult result = found;
        if (entry && entry->added)
            result.outcome = deleteRecorded(*entry, Outcome::Removed).outcome;
        else if (found.outcome == Outcome::Present || found.outcome == Outcome::Missing)
            result.outcome = found.outcome == Outcome::Present ? Outcome::Kept : Outcome::Absent;
        if (entry && !isFailure(result.outcome)) {
            if (entry->added && result.certificate.list == StoreList::Root)
                gone.append(entry->certificate);
            ledger.forget(*entry);
        }
        report.certificates.append(result);
    }
    gone += certificatesOf(takeOut(report, ledger, ledger.notShippedBy(report.certificates), Outcome::Removed));
    const QVector<TrustRoot> kept = rootsWith(report.certificates, {Outcome::Kept});
    if (kept.isEmpty())
        changeTrust(report, trust, {}, gone, true);
    else
        changeTrust(report, trust, kept, gone, false);
    return finish(report, ledger, turn);
}

// Every bundled certificate into its store, each recorded as ours or as there
// before; ours that the bundle retired withdrawn, with their roots in the
// system trust.
VerbReport install(const CertificateLists &lists, SystemTrust *trust, InstallObserver &observer, bool showEveryTurn)
{
    VerbReport report = reportOf(Verb::Install);
    Turn turn = takeTurn(report, lists);
    // Without rights, or in another run's turn, the window still shows each
    // certificate's turn: a run without rights tries each import (copying
    // into a temporary folder of its own), a busy one marks each.
    if (showEveryTurn && (turn.refusal == Turn::Refusal::NoRights || turn.refusal == Turn::Refusal::Busy))
        report.certificates = installCertificates(lists, observer, turn.refusal == Turn::Refusal::NoRights);
    if (turn.refusal != Turn::Refusal::None)
        return report;
    const QVector<CertificateResult> before = checkCertificates(lists);
    Ledger ledger(*turn.record);
    if (!ledger.plan(before)) {
        report.certificates = allWith(lists, Outcome::RecordUnavailable);
        report.record = VerbReport::RecordNote::Unavailable;
        return report;
    }

    report.certificates = installCertificates(lists, observer, true);
    for (CertificateResult &result : report.certificates) {
        const CertificateResult *looked = resultFor(before, result);
        if (result.outcome == Outcome::Added)
            ++report.imported;
        if (looked && looked->outcome == Outcome::Present && result.outcome == Outcome::Added)
            result.outcome = Outcome::Present;
        if (looked && looked->outcome == Outcome::Missing && isFailure(result.outcome))
            ledger.forgetUnmade(result);
    }

    // Retired: ours is withdrawn, what was there before only forgotten. Only
    // a bundle read whole can say what is retired: empty lists or a listed
    // file that could not be read would otherwise withdraw what is still
    // shipped.
    const bool bundleRead = !before.isEmpty() && std::all_of(before.cbegin(), before.cend(), [](const CertificateResult &r) {
        return !r.certificate.sha1.isEmpty();
    });
    const QVector<RecordEntry> withdrawnRoots =
        takeOut(report, ledger, bundleRead ? ledger.notShippedBy(before) : QVector<RecordEntry>(), Outcome::Withdrawn);
    changeTrust(report, trust, rootsWith(report.certificates, {Outcome::Added, Outcome::Present}),
                certificatesOf(withdrawnRoots), false);
    // A retired root whose files the trust step could not take away stays
    // recorded, so that the next run tries again.
    if (trustFailed(report)) {
        for (const RecordEntry &entry : withdrawnRoots)
            ledger.keepForRetry(entry);
    }
    return finish(report, ledger, turn);
}

} // namespace

VerbReport runInstall(const CertificateLists &lists, SystemTrust *trust, InstallObserver &observer)
{
    return install(lists, trust, observer, true);
}

void settleTrust(VerbReport &report, const TrustOutcome &refreshed)
{
    report.trust = refreshed;
    report.refreshPending = false;
    report.turn.reset();
    conclude(report);
}

VerbReport runVerb(Verb verb, SystemTrust *trust)
{
    InstallObserver quiet;
    const CertificateLists lists = CertificateLists::fromBundle();
    VerbReport report = verb == Verb::Install ? install(lists, trust, quiet, false)
                        : verb == Verb::Check ? check(lists, trust)
                                              : remove(lists, trust);
    if (report.refreshPending)
        settleTrust(report, trust->refresh());
    return report;
}

} // namespace Ps
