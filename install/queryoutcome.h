#ifndef PS_QUERYOUTCOME_H
#define PS_QUERYOUTCOME_H

// Inside install/ only: the faces never see the store's own answers.
#include "installrun.h"
#include "storequery.h"

namespace Ps {

// A lookup's or a deletion's answer as a certificate's outcome.
inline Outcome outcomeOf(QueryResult result, Outcome found, Outcome notFound)
{
    switch (result) {
    case QueryResult::Found:
        return found;
    case QueryResult::NotFound:
        return notFound;
    case QueryResult::NotACertificate:
        return Outcome::NotACertificate;
    case QueryResult::StoreUnavailable:
        return Outcome::StoreUnavailable;
    case QueryResult::StoreRefused:
        break;
    }
    return Outcome::StoreRefused;
}

} // namespace Ps

#endif
