// When a failed transfer is tried again on the same server (option `retries`: the tries a
// transfer gets before its failure is reported, 1 by default, so that by default a failure
// moves on to the next server at once, as it always did). Only a failure that may pass is
// tried again: the connection could not be made, was cut or timed out, or the server said
// it was busy or failing (HTTP 408, 429, 500, 502, 503, 504). A missing file, a refusal, a
// certificate or a file that is too long is reported at the first try.
#pragma once

namespace UpdateNew {

// The tries a transfer gets for the option's value (at least one, at most 100).
int TransferTries(int retries);

// Whether a transfer that ended with `rc` (InternetConnection::Perform's code) and HTTP
// `status` (0 when none) may succeed when tried again.
bool MayPassOnRetry(unsigned rc, long status);

// Waits before try `attempt` (2 and later): 1 s, then 2, 4 and at most 8 s. A SIGINT or
// SIGTERM ends the wait with ThrowIfInterrupted's exception. Called on the run's thread.
void WaitBeforeRetry(int attempt);

}  // namespace UpdateNew
