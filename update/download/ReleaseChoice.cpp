#include "download/ReleaseChoice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/Conv.h"
#include "base/SafeFile.h"
#include "codec/Sha256.h"

namespace UpdateNew {

namespace {

bool TakeValue(const std::string& line, const char* key, std::string& value) {
    const std::string prefix = std::string(key) + "=";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    value = line.substr(prefix.size());
    return true;
}

// The first `limit` bytes of a file read without following a link at its name.
bool ReadSmallFile(const std::string& path, std::string& text, int& error, size_t limit = 4096) {
    UniqueFd fd;
    error = OpenExisting(path, O_RDONLY, fd);
    if (error != 0) return false;
    text.clear();
    char buf[4096];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    if (text.size() > limit) text.resize(limit);
    return true;
}

bool IsPlainName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

CandidateOffer ParseCandidateOffer(const std::vector<std::string>& lines) {
    CandidateOffer offer;
    std::string share;
    for (const std::string& line : lines) {
        TakeValue(line, "product", offer.product);
        TakeValue(line, "version", offer.stable);
        TakeValue(line, "candidateversion", offer.version);
        TakeValue(line, "candidateshare", share);
        TakeValue(line, "candidateinfo", offer.info);
        TakeValue(line, "candidateinfohash", offer.infoHash);
    }
    if (offer.version.empty() || !IsPlainName(offer.info) || share.empty() || share.size() > 3 ||
        share.find_first_not_of("0123456789") != std::string::npos)
        share = "101";
    offer.share = std::stoi(share);
    // Without a usable offer only the stable release's name and version count.
    offer.present = offer.share <= 100;
    return offer;
}

bool MachineTakesCandidate(const std::string& machineId, const std::string& product,
                           const std::string& version, int share) {
    const std::string text = machineId + "\n" + product + "\n" + version;
    const std::string digest = Sha256OfData(text.data(), text.size());
    uint64_t draw = std::stoull(digest.substr(0, 16), nullptr, 16);
    // draw < share/100 * 2^64, in whole numbers.
    const unsigned __int128 left = static_cast<unsigned __int128>(draw) * 100;
    const unsigned __int128 right = static_cast<unsigned __int128>(share) << 64;
    return left < right;
}

bool ReadMachineId(std::string& id, int& error) {
    std::string text;
    if (!ReadSmallFile("/etc/machine-id", text, error)) return false;
    id = text.substr(0, text.find('\n'));
    const size_t first = id.find_first_not_of(" \t\r");
    const size_t last = id.find_last_not_of(" \t\r");
    id = first == std::string::npos ? std::string() : id.substr(first, last - first + 1);
    error = id.empty() ? ENODATA : 0;
    return !id.empty();
}

std::wstring CandidateRecordPath(const std::wstring& keptIndex) {
    return keptIndex + L".candidate";
}

std::wstring FailedRecordPath(const std::wstring& keptIndex) {
    return keptIndex + L".failed";
}

std::wstring ReleaseRecordPath(const std::wstring& keptIndex) {
    return keptIndex + L".release";
}

bool ReleaseChoiceChanged(const std::vector<std::string>& indexLines, const std::wstring& keptIndex,
                          const std::wstring& mode, bool retryFailed,
                          const std::function<std::string()>& machineId) {
    const CandidateOffer offer = ParseCandidateOffer(indexLines);
    if (!offer.present) return false;
    const std::wstring record = CandidateRecordPath(keptIndex);
    const bool taken = ReadRecordValue(record, "version") == offer.version;
    if (!taken) {
        // Its product info was not on the server: asked for again once the index changes.
        if (ReadRecordValue(record, "skipped") == offer.version) return false;
        // It failed its check here, and the machine went on with the stable release.
        if (!retryFailed &&
            ReadRecordValue(FailedRecordPath(keptIndex), "version") == offer.version)
            return false;
    }
    return TakesCandidate(offer, keptIndex, mode, machineId) != taken;
}

bool TakesCandidate(const CandidateOffer& offer, const std::wstring& keptIndex,
                    const std::wstring& mode, const std::function<std::string()>& machineId) {
    if (!offer.present || mode == L"never") return false;
    if (mode == L"always" ||
        ReadRecordValue(CandidateRecordPath(keptIndex), "version") == offer.version)
        return true;
    const std::string id = machineId();
    return !id.empty() && MachineTakesCandidate(id, offer.product, offer.version, offer.share);
}

std::string ReadRecordValue(const std::wstring& path, const std::string& key) {
    std::string text;
    int error = 0;
    if (!ReadSmallFile(ToMultibyte(path), text, error)) return std::string();
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end == std::string::npos ? end : end - pos);
        std::string value;
        if (TakeValue(line, key.c_str(), value)) return value;
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return std::string();
}

int WriteRecord(const std::wstring& path, const std::vector<std::string>& lines) {
    const std::string target = ToMultibyte(path);
    if (lines.empty()) return RemoveFile(target);
    std::string bytes;
    for (const std::string& line : lines) bytes += line + "\n";
    return ReplaceFile(target, bytes, 0644, nullptr, true);
}

}  // namespace UpdateNew
