#include "verbreport.h"

#include <algorithm>

namespace Ps {

int VerbReport::withdrawnCount() const
{
    return int(std::count_if(retired.cbegin(), retired.cend(),
                             [](const CertificateResult &result) { return result.outcome == Outcome::Withdrawn; }));
}

} // namespace Ps
