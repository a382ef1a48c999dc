#include "FaultPlan.h"

namespace drivesim {

FaultPlan::Verdict FaultPlan::next()
{
    Verdict v;
    v.number = ++count;
    auto hits = [&](std::uint64_t every) { return every != 0 && v.number % every == 0; };
    v.unanswered = hits(dropEvery) || (silentAfterSet && v.number > silentAfter);
    v.corrupt = hits(corruptEvery);
    v.cutShort = hits(shortEvery);
    return v;
}

} // namespace drivesim
