#include "download/IndexVerifier.h"

#include <cerrno>
#include <cstdio>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "codec/CheckedTextFile.h"
#include "codec/Sha256.h"
#include "download/ReleaseChoice.h"

namespace UpdateNew {

namespace {

// The whole file, at most `limit` bytes; false when it cannot be read or is longer.
bool ReadSmallFile(const std::wstring& path, size_t limit, std::string& bytes, int& error) {
    FILE* f = nullptr;
    error = OpenRegularStream(ToMultibyte(path), f);
    if (error != 0) return false;
    bytes.clear();
    char buf[16384];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && bytes.size() <= limit)
        bytes.append(buf, n);
    const bool ok = !std::ferror(f) && bytes.size() <= limit;
    error = ok ? 0 : (std::ferror(f) ? EIO : EFBIG);
    std::fclose(f);
    return ok;
}

std::wstring UtcText(int64_t when) {
    const time_t t = static_cast<time_t>(when);
    struct tm tmv {};
    gmtime_r(&t, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return FromMultibyte(buf);
}

std::wstring W(const std::string& text) {
    return Utf8ToWide(text);
}

}  // namespace

IndexVerifier::IndexVerifier(const std::wstring& keysFile, int threshold) : m_threshold(threshold) {
    if (threshold < 1 || threshold > kMaxIndexSignatures)
        THROW_CRITICAL(Msg<809>(std::to_wstring(threshold)), ERR_INVALID_PARAMETER);
    std::string text;
    int error = 0;
    if (!ReadSmallFile(keysFile, kMinisignMaxKeysFileBytes, text, error))
        THROW_CRITICAL(Msg<790>(keysFile, SystemErrorText(error)), ERR_INVALID_PARAMETER);
    size_t badLine = 0;
    if (!ParseMinisignKeyList(text, m_keys, badLine))
        THROW_CRITICAL(Msg<791>(keysFile, std::to_wstring(badLine)), ERR_INVALID_PARAMETER);
    // One key under two ids would count twice towards the threshold wherever ids are
    // compared; a list like that is a mistake or a trick, and is refused whole.
    for (size_t i = 0; i < m_keys.size(); ++i)
        for (size_t j = i + 1; j < m_keys.size(); ++j)
            if (m_keys[i].key == m_keys[j].key)
                THROW_CRITICAL(Msg<810>(keysFile, W(m_keys[i].IdText()), W(m_keys[j].IdText())),
                               ERR_INVALID_PARAMETER);
    if (static_cast<int>(m_keys.size()) < threshold)
        THROW_CRITICAL(
            Msg<792>(std::to_wstring(threshold), keysFile, std::to_wstring(m_keys.size())),
            ERR_INVALID_PARAMETER);
}

std::wstring IndexVerifier::checkSignatures(
    const std::wstring& address, const std::wstring& local, const std::string& bytes,
    const Fetch& fetch, const std::function<std::wstring(const std::wstring&, int)>& name) {
    m_signatureFiles.clear();
    m_wrongKeys = false;
    std::vector<std::string> texts;
    for (int n = 1; n <= m_index.signatures; ++n) {
        const std::wstring sigLocal = name(local, n);
        const std::wstring sigAddress = name(address, n);
        try {
            fetch(sigAddress, sigLocal);
        } catch (const Exception& e) {
            // Without its first signature an index counts as unsigned; later ones may be
            // missing as long as enough trusted keys signed.
            if (n == 1) return Msg<808>(sigAddress, e.twhat()) + L"; " + Msg<793>(address);
            LogDebug(L"%s\n", Msg<808>(sigAddress, e.twhat()).c_str());
            continue;
        }
        std::string text;
        int error = 0;
        if (!ReadSmallFile(sigLocal, kMinisignMaxSignatureBytes, text, error))
            return Msg<794>(sigAddress);
        m_signatureFiles.emplace_back(n, sigLocal);
        texts.push_back(text);
    }
    std::string detail;
    switch (CheckIndexSignatures(bytes, texts, m_keys, m_threshold, detail)) {
        case IndexVerdict::kOk:
            return std::wstring();
        case IndexVerdict::kUnsigned:
            return Msg<793>(address);
        case IndexVerdict::kMalformed:
            return Msg<794>(name(address, m_signatureFiles[std::stoul(detail) - 1].first));
        case IndexVerdict::kBadSignature:
            return Msg<795>(address, W(detail));
        case IndexVerdict::kUntrustedKey:
            m_wrongKeys = true;
            return Msg<796>(address, W(detail));
        default:
            m_wrongKeys = true;
            return Msg<797>(address, W(detail), std::to_wstring(m_threshold));
    }
}

void IndexVerifier::Verify(const std::wstring& address, const std::wstring& local,
                           const std::wstring& keptCopy, const Fetch& fetch, time_t now) {
    m_signatureFiles.clear();
    std::string bytes;
    int error = 0;
    if (!ReadSmallFile(local, kSignedIndexMaxBytes, bytes, error))
        THROW_ERROR(MsgLib<4>(local, SystemErrorText(error)), ERR_FILE_READ);
    std::vector<std::string> lines;
    if (ReadCheckedTextFile(local, lines, kSignedIndexMaxBytes) < 0)
        THROW_ERROR(Msg<132>(local), ERR_FILE_READ);
    std::string bad;
    switch (ParseSignedIndex(lines, m_index, bad)) {
        case SignedIndexParse::kUnsigned:
            THROW_ERROR(Msg<793>(address), ERR_FILE_READ);
        case SignedIndexParse::kMalformed:
            THROW_ERROR(Msg<801>(address, W(bad)), ERR_FILE_READ);
        default:
            break;
    }
    m_indexSha256 = Sha256OfData(bytes.data(), bytes.size());

    const std::wstring statePath = TrustStatePath(keptCopy);
    TrustState state;
    if (!ReadTrustState(statePath, state)) THROW_CRITICAL(Msg<805>(statePath), ERR_FILE_READ);

    // An index this installation verified before needs no new look at its signatures:
    // the state holds the digest of exactly these bytes.
    if (!state.present || state.indexSha256 != m_indexSha256) {
        const std::wstring besideIndex =
            checkSignatures(address, local, bytes, fetch, IndexSignatureName);
        if (!besideIndex.empty()) {
            // While a tree is published or copied, the signature files beside the index
            // may already be those of the next index; the ones named after this index's
            // content are its own. Good signatures by keys that are not trusted are no
            // such mix-up: the trusted keys are not the server's.
            const bool wrongKeys = m_wrongKeys;
            LogDebug(L"%s\n", besideIndex.c_str());
            const std::wstring byContent = checkSignatures(
                address, local, bytes, fetch, [this](const std::wstring& path, int n) {
                    return ContentSignatureName(path, m_indexSha256, n);
                });
            if (!byContent.empty()) {
                LogDebug(L"%s\n", byContent.c_str());
                if (wrongKeys) THROW_ERROR(besideIndex, ERR_FILE_READ);
                THROW_ERROR(Msg<875>(address, ContentSignatureName(address, m_indexSha256, 1)),
                            ERR_FILE_READ);
            }
        }
    }
    switch (CheckIndexFreshness(m_index, m_indexSha256, state, now)) {
        case IndexVerdict::kOk:
            break;
        case IndexVerdict::kExpired:
            THROW_ERROR(Msg<798>(address, UtcText(m_index.expires)), ERR_FILE_READ);
        case IndexVerdict::kRollback:
            THROW_ERROR(
                Msg<799>(address, std::to_wstring(m_index.serial), std::to_wstring(state.serial)),
                ERR_FILE_READ);
        default:
            THROW_ERROR(Msg<800>(address, std::to_wstring(m_index.serial)), ERR_FILE_READ);
    }
    // A signature binds an index to a key, not to this installation: a maker may sign
    // several products with one key, and another product's index must not replace this one
    // (its files would all go as dropped). The installed product is the one the kept index,
    // the last one accepted, names.
    const std::string installed = ReadRecordValue(keptCopy, "product");
    std::string offered;
    for (const std::string& line : lines)
        if (line.compare(0, 8, "product=") == 0) offered = line.substr(8);
    if (!installed.empty() && offered != installed)
        THROW_ERROR(Msg<1226>(address, W(offered), W(installed)), ERR_FILE_READ);
    LogDebug(L"%s\n",
             Msg<807>(address, std::to_wstring(m_index.serial), UtcText(m_index.expires)).c_str());
}

void IndexVerifier::VerifyKept(const std::wstring& keptCopy, time_t now) {
    const std::wstring statePath = TrustStatePath(keptCopy);
    TrustState state;
    if (!ReadTrustState(statePath, state)) THROW_CRITICAL(Msg<805>(statePath), ERR_FILE_READ);
    std::string bytes;
    int error = 0;
    std::vector<std::string> lines;
    std::string bad;
    if (!ReadSmallFile(keptCopy, kSignedIndexMaxBytes, bytes, error) ||
        ReadCheckedTextFile(keptCopy, lines, kSignedIndexMaxBytes) < 0)
        THROW_CRITICAL(Msg<132>(keptCopy), ERR_FILE_READ);
    m_indexSha256 = Sha256OfData(bytes.data(), bytes.size());
    if (!state.present || state.indexSha256 != m_indexSha256)
        THROW_CRITICAL(Msg<793>(keptCopy), ERR_FILE_READ);
    if (ParseSignedIndex(lines, m_index, bad) != SignedIndexParse::kOk)
        THROW_CRITICAL(Msg<801>(keptCopy, W(bad)), ERR_FILE_READ);
    if (now >= m_index.expires)
        THROW_CRITICAL(Msg<798>(keptCopy, UtcText(m_index.expires)), ERR_FILE_READ);
}

void IndexVerifier::Accept(const std::wstring& keptCopy) {
    const std::wstring statePath = TrustStatePath(keptCopy);
    TrustState state;
    if (ReadTrustState(statePath, state) && state.present && state.serial == m_index.serial &&
        state.indexSha256 == m_indexSha256)
        return;
    const std::wstring dir = GetDirPart(keptCopy);
    int err = dir.empty() ? 0 : CreateDirectories(dir);
    if (err == 0) {
        state.present = true;
        state.serial = m_index.serial;
        state.indexSha256 = m_indexSha256;
        err = WriteTrustState(statePath, state);
    }
    if (err != 0) THROW_ERROR(Msg<806>(statePath, SystemErrorText(err)), ERR_FILE_READ);
}

void IndexVerifier::CheckProductFile(const std::wstring& name, const std::string& sha256) const {
    // Servers configured directly: no product file was fetched, none to check.
    if (name.empty()) return;
    const auto found = m_index.productFiles.find(ToMultibyte(name));
    if (found == m_index.productFiles.end() || found->second != sha256)
        THROW_ERROR(Msg<802>(name), ERR_FILE_READ);
}

void IndexVerifier::CheckProductInfo(const std::wstring& remote, const std::wstring& local,
                                     const Fetch& fetch) const {
    const auto found = m_index.productInfos.find(ToMultibyte(GetLastComponent(local)));
    if (found == m_index.productInfos.end()) THROW_ERROR(Msg<803>(local), ERR_FILE_READ);
    if (Sha256OfFile(local) == found->second) return;
    // Another publication's file (one being put in place): the copy of this index's one
    // is kept under a name made from its digest.
    const std::wstring named = ContentProductInfoName(remote, found->second);
    LogDebug(L"%s\n", Msg<877>(remote, named).c_str());
    try {
        fetch(named, local);
    } catch (const Exception& e) {
        LogDebug(L"%s\n", e.twhat());
    }
    if (Sha256OfFile(local) != found->second) THROW_ERROR(Msg<876>(remote, named), ERR_FILE_READ);
}

void IndexVerifier::CheckModuleFile(const std::wstring& local, const std::string& expected,
                                    const std::string& arrived) const {
    const std::string found = arrived.empty() ? Sha256OfFile(local) : arrived;
    if (expected.empty() || found != expected)
        THROW_CRITICAL(Msg<804>(local, W(expected.empty() ? "(none)" : expected), W(found)),
                       ERR_DOWNLOAD);
}

}  // namespace UpdateNew
