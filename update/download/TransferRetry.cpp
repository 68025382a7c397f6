#include "download/TransferRetry.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/Logger.h"
#include "download/FileDownloader.h"
#include "net/InternetConnectionBase.h"

namespace UpdateNew {

namespace {

bool MayPassOnRetry(unsigned rc, long status) {
    if (rc == CONNECTION_HTTP_ERROR)
        return status == 408 || status == 429 || status == 500 || (status >= 502 && status <= 504);
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_HTTP2:
        case CURLE_PARTIAL_FILE:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool TryAgain(const std::wstring& source, const TransferOutcome& outcome, int attempt,
              int retries) {
    const int tries = std::min(std::max(retries, 1), 100);
    if (outcome.rc == 0 || attempt >= tries || !MayPassOnRetry(outcome.rc, outcome.status))
        return false;
    LogDebug(L"%s: %S; try %d of %d\n", source.c_str(), outcome.errorText.c_str(), attempt + 1,
             tries);
    const int seconds = 1 << std::min(attempt - 1, 3);
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
        ThrowIfInterrupted();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ThrowIfInterrupted();
    return true;
}

}  // namespace UpdateNew
