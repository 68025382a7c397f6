// When a failed transfer is tried again on the same server (option `retries`: the tries a
// transfer gets before its failure is reported, 1 by default, so that by default a failure
// moves on to the next server at once, as it always did). Only a failure that may pass is
// tried again: the connection could not be made, was cut or timed out, or the server said
// it was busy or failing (HTTP 408, 429, 500, 502, 503, 504). A missing file, a refusal, a
// certificate or a file that is too long is reported at the first try.
#pragma once

#include <string>

#include "net/TransferPool.h"

namespace UpdateNew {

// Whether the transfer of `source` that ended with `outcome` on try `attempt` (1 for the
// first) is tried again, the option being `retries` (below 1 counts as 1, above 100 as
// 100). When it is, the log says so and the wait before the next try is over: 1 s, then
// 2, 4 and at most 8 s. A SIGINT or SIGTERM ends the wait with ThrowIfInterrupted's
// exception. Called on the run's thread.
bool TryAgain(const std::wstring& source, const TransferOutcome& outcome, int attempt, int retries);

}  // namespace UpdateNew
