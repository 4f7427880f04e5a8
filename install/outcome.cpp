#include "outcome.h"

#include "hostcheck.h"

#include <iterator>

namespace Ps {
namespace {

namespace Result = HostCheck::Result;

enum class Held { Yes, No, AsBefore };

struct Row
{
    Outcome outcome;
    const QString *word;
    Held held;
    const char *reason;        // empty for an answer
    const char *readingReason; // a check's words, where they differ
};

constexpr Row rows[] = {
    {Outcome::Added, &Result::added, Held::Yes, "", ""},
    {Outcome::Present, &Result::present, Held::Yes, "", ""},
    {Outcome::Missing, &Result::missing, Held::No, "", ""},
    {Outcome::Removed, &Result::removed, Held::No, "", ""},
    {Outcome::Absent, &Result::absent, Held::No, "", ""},
    {Outcome::Withdrawn, &Result::withdrawn, Held::No, "", ""},
    {Outcome::Retired, &Result::retired, Held::Yes, "", ""},
    {Outcome::Kept, &Result::kept, Held::Yes, "", ""},
    {Outcome::UnsafeName, &Result::failed, Held::AsBefore, "the name is not a bare file name", ""},
    {Outcome::NoTemporaryFolder, &Result::failed, Held::AsBefore, "the temporary folder does not exist or is no folder",
     ""},
    {Outcome::Busy, &Result::failed, Held::AsBefore, "another run on this machine did not finish in time", ""},
    {Outcome::NotInBundle, &Result::failed, Held::AsBefore, "no such file in the bundle", ""},
    {Outcome::CopyFailed, &Result::failed, Held::AsBefore, "could not be copied to the temporary folder", ""},
    {Outcome::NotACertificate, &Result::failed, Held::AsBefore, "not a certificate", ""},
    {Outcome::StoreUnavailable, &Result::failed, Held::AsBefore, "the store could not be opened for writing",
     "the store could not be opened"},
    {Outcome::StoreRefused, &Result::failed, Held::AsBefore, "the store refused it", ""},
    {Outcome::RecordUnavailable, &Result::failed, Held::AsBefore,
     "the record of what this program added could not be read or written", ""},
};

constexpr bool inEnumOrder()
{
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].outcome != Outcome(i))
            return false;
    }
    return std::size(rows) == std::size_t(Outcome::RecordUnavailable) + 1;
}
static_assert(inEnumOrder(), "one row per outcome, in the enum's order");

const Row &rowOf(Outcome outcome)
{
    return rows[std::size_t(outcome)];
}

} // namespace

bool isFailure(Outcome outcome)
{
    return rowOf(outcome).held == Held::AsBefore;
}

bool inStoreAfter(Outcome outcome, Verb verb)
{
    const Held held = rowOf(outcome).held;
    return held == Held::Yes || (held == Held::AsBefore && verb == Verb::Remove);
}

QString resultWord(Outcome outcome)
{
    return *rowOf(outcome).word;
}

QString failureReason(Outcome outcome, Verb verb)
{
    const Row &row = rowOf(outcome);
    return QString::fromLatin1(verb == Verb::Check && *row.readingReason ? row.readingReason : row.reason);
}

} // namespace Ps
