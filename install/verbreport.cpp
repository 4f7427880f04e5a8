#include "verbreport.h"

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

bool inStoreAfter(Outcome outcome, Verb verb)
{
    switch (outcome) {
    case Outcome::Added:
    case Outcome::Present:
    case Outcome::Retired:
    case Outcome::Kept:
        return true;
    case Outcome::Missing:
    case Outcome::Removed:
    case Outcome::Absent:
    case Outcome::Withdrawn:
        return false;
    case Outcome::UnsafeName:
    case Outcome::NoTemporaryFolder:
    case Outcome::Busy:
    case Outcome::NotInBundle:
    case Outcome::CopyFailed:
    case Outcome::NotACertificate:
    case Outcome::StoreUnavailable:
    case Outcome::StoreRefused:
    case Outcome::RecordUnavailable:
        break;
    }
    // A failed removal leaves the certificate where it was.
    return verb == Verb::Remove;
}

// Whether a certificate ended as the verb wants it: a bundled one in its
// store (removal: out of it, unless it was not ours), a retired one out.
bool asWanted(const CertificateResult &result, Verb verb, bool retired)
{
    if (verb == Verb::Remove)
        return result.outcome == Outcome::Removed || result.outcome == Outcome::Absent || result.outcome == Outcome::Kept;
    return retired ? result.outcome == Outcome::Withdrawn : inStoreAfter(result.outcome, verb);
}

// Whether the trust step failed, or left a target without the change.
bool trustFailed(const std::optional<TrustOutcome> &outcome)
{
    return outcome
           && ((outcome->kind != TrustOutcome::Updated && outcome->kind != TrustOutcome::Unchanged
                && outcome->kind != TrustOutcome::NoFamily)
               || !outcome->unreached.isEmpty());
}

// Roots first, as the bundled ones are listed.
void sortRetired(VerbReport &report)
{
    std::stable_sort(report.retired.begin(), report.retired.end(),
                     [](const CertificateResult &a, const CertificateResult &b) { return a.certificate.list < b.certificate.list; });
}

int exitCodeOf(const VerbReport &report)
{
    if (report.certificates.isEmpty() || report.record == VerbReport::RecordNote::Unavailable
        || report.record == VerbReport::RecordNote::Behind || trustFailed(report.trust))
        return NotAll;
    const Verb verb = report.verb;
    const bool all = std::all_of(report.certificates.cbegin(), report.certificates.cend(),
                                 [verb](const CertificateResult &result) { return asWanted(result, verb, false); })
                     && std::all_of(report.retired.cbegin(), report.retired.cend(),
                                    [verb](const CertificateResult &result) { return asWanted(result, verb, true); })
                     && std::all_of(report.trustedRoots.cbegin(), report.trustedRoots.cend(),
                                    [](const TrustedRoot &root) { return root.held; })
                     && std::all_of(report.targets.cbegin(), report.targets.cend(),
                                    [](const TrustTargetState &target) { return target.holds; });
    return all ? Success : NotAll;
}

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

QVector<QByteArray> rootBytes(const QVector<CertificateResult> &results, std::initializer_list<Outcome> outcomes)
{
    QVector<QByteArray> roots;
    for (const CertificateResult &result : results) {
        if (result.certificate.list == StoreList::Root
            && std::find(outcomes.begin(), outcomes.end(), result.outcome) != outcomes.end())
            roots.append(bundledBytes(result.certificate.name).value_or(QByteArray()));
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

// The system trust's share, the refresh left pending: nothing when there is
// nothing for it to do.
void changeTrust(VerbReport &report, SystemTrust *trust, const QVector<QByteArray> &roots,
                 const QVector<BundledCertificate> &retired, bool removal)
{
    if (!trust || (roots.isEmpty() && retired.isEmpty()))
        return;
    report.trust = removal ? trust->withdraw(roots, retired) : trust->place(roots, retired);
    report.refreshPending = report.trust->kind == TrustOutcome::Updated;
}

// The refresh still to run is part of the verb: the lock goes with it.
void holdForRefresh(VerbReport &report, const std::shared_ptr<const MachineLock> &lock)
{
    if (report.refreshPending)
        report.turn = lock;
}

// The report in its order, with its exit code.
void conclude(VerbReport &report)
{
    sortRetired(report);
    report.exitCode = exitCodeOf(report);
}

VerbReport reportOf(Verb verb)
{
    VerbReport report;
    report.verb = verb;
    return report;
}

// Changes nothing: the stores are out of reach.
bool unwritable(VerbReport &report, const CertificateLists &lists)
{
    if (lists.isEmpty() || storesWritable(lists))
        return false;
    report.certificates = allWith(lists, Outcome::StoreUnavailable);
    report.exitCode = NoRights;
    return true;
}

// Changes nothing: what the program added is not known.
bool unreadable(VerbReport &report, const CertificateLists &lists, const Record &record)
{
    if (record.state() != Record::State::Unreadable)
        return false;
    report.certificates = allWith(lists, Outcome::RecordUnavailable);
    report.record = VerbReport::RecordNote::Unavailable;
    report.exitCode = NotAll;
    return true;
}

// Changes nothing: another run has the machine, or (for root) the lock beside
// the record cannot be had, and then neither can the record.
bool notOurTurn(VerbReport &report, const CertificateLists &lists, const MachineLock &lock)
{
    if (lock.state() == MachineLock::State::Held)
        return false;
    const bool busy = lock.state() == MachineLock::State::Busy;
    report.certificates = allWith(lists, busy ? Outcome::Busy : Outcome::RecordUnavailable);
    if (!busy)
        report.record = VerbReport::RecordNote::Unavailable;
    report.exitCode = NotAll;
    return true;
}

VerbReport runCheck(const CertificateLists &lists, SystemTrust *trust)
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
        for (const QString &name : lists.roots)
            report.trustedRoots.append({name, systemTrustHolds(*trust, name)});
        report.targets = systemTrustTargets(*trust, lists);
    }
    conclude(report);
    return report;
}

VerbReport runRemove(const CertificateLists &lists, SystemTrust *trust)
{
    VerbReport report = reportOf(Verb::Remove);
    if (unwritable(report, lists))
        return report;
    const auto lock = std::make_shared<const MachineLock>(lockWaitMs);
    if (notOurTurn(report, lists, *lock))
        return report;
    Record record = Record::load();
    if (unreadable(report, lists, record))
        return report;
    if (record.state() == Record::State::None) {
        // A machine an earlier version set up: every bundled certificate goes,
        // whoever put it there.
        report.record = VerbReport::RecordNote::None;
        report.certificates = removeCertificates(lists);
        changeTrust(report, trust, bundledRoots(lists), {}, true);
        conclude(report);
        holdForRefresh(report, lock);
        return report;
    }
    Ledger ledger(record);
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
    for (const RecordEntry &root : takeOut(report, ledger, ledger.notShippedBy(report.certificates), Outcome::Removed))
        gone.append(root.certificate);
    // The roots that stay keep their place in the system trust; the rest go.
    const QVector<QByteArray> kept = rootBytes(report.certificates, {Outcome::Kept});
    if (kept.isEmpty())
        changeTrust(report, trust, {}, gone, true);
    else
        changeTrust(report, trust, kept, gone, false);
    if (!ledger.commit())
        report.record = VerbReport::RecordNote::Behind;
    conclude(report);
    holdForRefresh(report, lock);
    return report;
}

} // namespace

bool VerbReport::inStore(const CertificateResult &result) const
{
    return inStoreAfter(result.outcome, verb);
}

int VerbReport::withdrawnCount() const
{
    return int(std::count_if(retired.cbegin(), retired.cend(),
                             [](const CertificateResult &result) { return result.outcome == Outcome::Withdrawn; }));
}

VerbReport runInstall(const CertificateLists &lists, SystemTrust *trust, InstallObserver &observer)
{
    VerbReport report = reportOf(Verb::Install);
    const bool writable = lists.isEmpty() || storesWritable(lists);
    const auto lock = std::make_shared<const MachineLock>(lockWaitMs);
    // Without rights on the stores, or another run's turn, nothing is added
    // and nothing need be recorded; the window still shows each
    // certificate's turn. A run without rights cannot open the lock, and
    // copies into a temporary folder of its own.
    const bool busy = lock->state() == MachineLock::State::Busy;
    if (!writable || busy) {
        report.certificates = installCertificates(lists, observer, !busy);
        report.exitCode = writable ? NotAll : NoRights;
        return report;
    }
    if (notOurTurn(report, lists, *lock))
        return report;
    const QVector<CertificateResult> before = checkCertificates(lists);
    Record record = Record::load();
    if (unreadable(report, lists, record))
        return report;
    Ledger ledger(record);
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
    QVector<BundledCertificate> gone;
    for (const RecordEntry &root : withdrawnRoots)
        gone.append(root.certificate);
    changeTrust(report, trust, rootBytes(report.certificates, {Outcome::Added, Outcome::Present}), gone, false);
    // A retired root whose files the trust step could not take away stays
    // recorded, so that the next run tries again.
    if (trustFailed(report.trust)) {
        for (const RecordEntry &entry : qAsConst(withdrawnRoots))
            ledger.keepForRetry(entry);
    }
    if (!ledger.commit())
        report.record = VerbReport::RecordNote::Behind;
    conclude(report);
    holdForRefresh(report, lock);
    return report;
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
    VerbReport report = reportOf(verb);
    // The command line writes nothing, not even the copies, without rights.
    if (verb == Verb::Install && !unwritable(report, lists))
        report = runInstall(lists, trust, quiet);
    else if (verb == Verb::Check)
        report = runCheck(lists, trust);
    else if (verb == Verb::Remove)
        report = runRemove(lists, trust);
    if (report.refreshPending)
        settleTrust(report, trust->refresh());
    return report;
}

} // namespace Ps
