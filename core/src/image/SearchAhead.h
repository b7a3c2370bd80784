#pragma once
// SearchAhead: the byte-limit search run over an encode session, with the attempts the search
// is likely to ask for next encoded ahead on processors that are idle. While one attempt
// encodes, the search is replayed over the sizes that attempt may come out at, and its likeliest
// next requests (the prediction and its hedge) start on threads of their own; when the search
// asks for one of them, the session takes it over instead of encoding it. The search decides
// exactly as it does alone: only the wall time changes. Encodes that turn out unneeded are ended
// and their files removed; every thread is joined before run() returns.
//
// Idle processors are read from the machine, not from the job count: the worker process a job
// runs in knows neither how many jobs run beside it nor what else the machine does, and the
// kernel's count of runnable threads (/proc/loadavg) covers both.

#include <functional>

#include "dorvex/image/SizeTargetSearch.h"
#include "dorvex/model/Cancellation.h"

namespace dorvex {

class EncodeSession;

namespace SearchAhead {

// Processors on which one more encode would run without waiting: the processors this process
// may use, less the machine's runnable threads now (the largest of a few readings a millisecond
// apart), the calling thread included. 0 when they cannot be read.
int idleProcessors();

// Most encodes run ahead at once.
inline constexpr int maxAhead = 2;

// Runs `search` with `encode` (which makes its attempts through `session`); before each encode,
// the likely next ones start ahead on what `idle` reports free.
SizeTargetSearch::Outcome run(const SizeTargetSearch& search, EncodeSession& session,
                              const SizeTargetSearch::EncodeFunction& encode, const CancelQuery& isCancelled,
                              const std::function<int()>& idle = idleProcessors);

}  // namespace SearchAhead
}  // namespace dorvex
