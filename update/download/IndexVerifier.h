// Checks a fetched master index against the product's trusted minisign keys before any
// of it is used, and then the product file, product info files and module files against
// the digests the verified index names. One per run, owned by the file processor, made
// only when trusted keys are configured; without it the run trusts the server as
// before.
//
// Every refusal is an Exception (non-critical, code 636: another server may serve a good
// publication) whose text says which check failed, except a damaged trusted state and a
// module file with the wrong digest, which are critical (nothing another server sends
// can mend them within this run).
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/Minisign.h"
#include "product/SignedIndex.h"

namespace UpdateNew {

class IndexVerifier {
public:
    // Fetches the server's file `remote` into the local path `local` (replacing it only
    // when the transfer succeeds); throws Exception when it cannot.
    using Fetch = std::function<void(const std::wstring& remote, const std::wstring& local)>;

    // Reads the trusted keys. Throws CUpdateCriticalException 631 (messages 790 to 792,
    // 809, 810) for a file that cannot be read, holds no key or a bad line, lists one
    // public key twice (under any ids), or fewer keys than `threshold`.
    IndexVerifier(const std::wstring& keysFile, int threshold);

    // Verifies the index fetched from `address` to `local`: its signed fields, its
    // signatures (skipped when the trusted state already accepted exactly these bytes),
    // its expiry and its serial against the state kept beside `keptCopy`. When the
    // signature files beside the index do not verify it (a publication or a copy of the
    // tree may be under way), those named after the index's content are tried; only when
    // they fail too is the index refused (message 875, the details in the debug log).
    void Verify(const std::wstring& address, const std::wstring& local,
                const std::wstring& keptCopy, const Fetch& fetch, time_t now);
    // The same for the kept copy itself (a run that follows a self-update fetched none):
    // it must be the index the trusted state accepted, and not expired.
    void VerifyKept(const std::wstring& keptCopy, time_t now);
    // Records the verified index as accepted in the trusted state (written beside, synced,
    // renamed), unless the state holds it already. Throws Exception 806 when it cannot.
    void Accept(const std::wstring& keptCopy);

    // The verified fields (valid after Verify or VerifyKept).
    const SignedIndex& index() const { return m_index; }
    // The signature files that verified the index in Verify: their number n (from 1)
    // and local path, in order. Empty when the trusted state spared the check.
    const std::vector<std::pair<int, std::wstring>>& signatureFiles() const {
        return m_signatureFiles;
    }
    // The SHA-256 text of the verified index.
    const std::string& indexSha256() const { return m_indexSha256; }

    // A fetched product file (`name`, `sha256`) must be the one the index names.
    void CheckProductFile(const std::wstring& name, const std::string& sha256) const;
    // A product info file fetched from `remote` to `local` (as served) must be named by
    // the index with its digest. Another one (a newer publication's) is replaced by the
    // copy named after the digest (ContentProductInfoName), fetched into `local`; when
    // that fails too the run is refused (message 876).
    void CheckProductInfo(const std::wstring& remote, const std::wstring& local,
                          const Fetch& fetch) const;
    // A downloaded module file must have the record's ZIPSHA256 (`expected`; empty: the
    // record has none, which a signed publication never leaves out). `arrived`, when not
    // empty, is the digest of the bytes as they were written to `local`: no read back.
    void CheckModuleFile(const std::wstring& local, const std::string& expected,
                         const std::string& arrived = std::string()) const;

private:
    // Fetches the signature files of the index (at `address`, fetched to `local`, its
    // bytes `bytes`) under the names `name` gives for a path and n, and checks them.
    // Gives the empty text when they verify it (m_signatureFiles then lists them), else
    // what is wrong.
    std::wstring checkSignatures(const std::wstring& address, const std::wstring& local,
                                 const std::string& bytes, const Fetch& fetch,
                                 const std::function<std::wstring(const std::wstring&, int)>& name);

    std::vector<MinisignPublicKey> m_keys;
    int m_threshold;
    SignedIndex m_index;
    std::string m_indexSha256;
    std::vector<std::pair<int, std::wstring>> m_signatureFiles;
    // The last checkSignatures found good signatures, but not by enough trusted keys.
    bool m_wrongKeys = false;
};

}  // namespace UpdateNew
