#include "download/TransferRetry.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "download/FileDownloader.h"
#include "net/InternetConnectionBase.h"

namespace UpdateNew {

int TransferTries(int retries) {
    return std::min(std::max(retries, 1), 100);
}

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

void WaitBeforeRetry(int attempt) {
    const int seconds = 1 << std::min(std::max(attempt - 2, 0), 3);
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
        ThrowIfInterrupted();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ThrowIfInterrupted();
}

}  // namespace UpdateNew
