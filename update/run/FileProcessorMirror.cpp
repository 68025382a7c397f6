// FileProcessor in mirror mode: the index, its signature files, the product info files
// and the patches copied into the mirror tree.
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "codec/CheckedTextFile.h"
#include "codec/FileInfo.h"
#include "codec/Sha256.h"
#include "config/UpdateConfig.h"
#include "download/DownloadNames.h"
#include "download/FileDownloader.h"
#include "download/IndexVerifier.h"
#include "run/FileProcessor.h"

namespace UpdateNew {

void FileProcessor::fetchIndexSignature(const std::wstring& remote, const std::wstring& local) {
    AddTempFile(local);
    GetDownloader().downloadFile(remote, local, kMinisignMaxSignatureBytes);
}

void FileProcessor::copyIndexSignatures(const std::wstring& address, const std::wstring& local,
                                        const std::wstring& mirrorCopy, int count) {
    // A mirror serves the publication as signed: its signature files, byte for byte, in
    // place before the index, under both names. Without a verifier they are fetched for
    // the copy alone: those named after the index's content when the server has them (they
    // are this index's for certain), else those beside it.
    std::vector<std::pair<int, std::wstring>> fetched;
    const std::string sha256 = m_verifier ? m_verifier->indexSha256() : Sha256OfFile(local);
    if (m_verifier) fetched = m_verifier->signatureFiles();
    for (int n = 1; !m_verifier && n <= count; ++n) {
        const std::wstring named = ContentSignatureName(local, sha256, n);
        try {
            fetchIndexSignature(ContentSignatureName(address, sha256, n), named);
            fetched.emplace_back(n, named);
            continue;
        } catch (const Exception& e) {
            LogDebug(L"%s\n", e.twhat());
        }
        fetched.emplace_back(n, IndexSignatureName(local, n));
        fetchIndexSignature(IndexSignatureName(address, n), fetched.back().second);
    }
    for (const auto& sig : fetched) {
        callbacks().copyFile(sig.second, ContentSignatureName(mirrorCopy, sha256, sig.first),
                             false);
        callbacks().copyFile(sig.second, IndexSignatureName(mirrorCopy, sig.first), false);
    }
}

void FileProcessor::MirrorProductInfo(const std::wstring& downloaded,
                                      const std::wstring& mirrorPath) {
    callbacks().checkCreateDirectory(GetDirPart(mirrorPath));
    m_mirrorInfos.emplace_back(downloaded, mirrorPath);
}

void FileProcessor::publishMirror() {
    for (const auto& info : m_mirrorInfos) {
        const std::wstring& downloaded = info.first;
        const std::wstring& mirrorPath = info.second;
        callbacks().copyFile(downloaded, mirrorPath, false);
        const auto found = m_mirroredInfos.find(ToMultibyte(GetLastComponent(mirrorPath)));
        if (found != m_mirroredInfos.end() && found->second == Sha256OfFile(downloaded))
            callbacks().copyFile(downloaded, ContentProductInfoName(mirrorPath, found->second),
                                 false);
    }
    m_mirrorInfos.clear();
    if (m_mirrorIndexLocal.empty()) return;
    const std::wstring mirrorCopy = mirrorIndexPath();
    if (m_mirrorIndexSignatures >= 0)
        copyIndexSignatures(m_mirrorIndexAddress, m_mirrorIndexLocal, mirrorCopy,
                            m_mirrorIndexSignatures);
    callbacks().copyFile(m_mirrorIndexLocal, mirrorCopy, false);
    m_mirrorIndexLocal.clear();
}

std::wstring FileProcessor::mirrorIndexPath() const {
    return JoinConfined(installDir(), m_config->masterIdx());
}

void FileProcessor::mirrorIndex(const std::wstring& address, const std::wstring& local) {
    const std::wstring mirrorCopy = mirrorIndexPath();
    if (!callbacks().checkCreateDirectory(GetDirPart(mirrorCopy))) {
        const std::wstring text = Msg<125>(GetDirPart(mirrorCopy));
        LogError(L"%s\n", text.c_str());
        THROW_CRITICAL(text, ERR_DOWNLOAD_PRODUCT_INFO);
    }
    std::vector<std::string> lines;
    SignedIndex index;
    std::string bad;
    if (ReadCheckedTextFile(local, lines, kCheckedTextMaxFileBytes) >= 0 &&
        ParseSignedIndex(lines, index, bad) == SignedIndexParse::kOk) {
        m_mirroredInfos = index.productInfos;
        m_mirrorIndexSignatures = index.signatures;
    }
    m_mirrorIndexAddress = address;
    m_mirrorIndexLocal = local;
}

std::wstring FileProcessor::fetchMirrorPatch(const FilePatchInfo& patch, const std::wstring& remote,
                                             const std::wstring& local) {
    try {
        GetDownloader().downloadFile(remote, local, patch.size);
        if (FileInfo(local).GetSize() != static_cast<off_t>(patch.size) ||
            Sha256OfFile(local) != patch.sha256)
            return Msg<872>(remote);
    } catch (const CUpdateCriticalException&) {
        throw;
    } catch (const Exception& e) {
        return e.twhat();
    }
    return std::wstring();
}

void FileProcessor::fetchMirrorPatches(const UpdateModuleInfo& module, const FileRecord& file,
                                       const std::wstring& remoteGz, const std::wstring& gz) {
    const auto patches = module.patches.find(file.name);
    if (patches == module.patches.end()) return;
    const std::wstring target = file.filemd5.wide();
    for (const FilePatchInfo& patch : patches->second) {
        const std::wstring local = PatchName(gz, patch.baseMd5, target);
        AddTempFile(local);
        const std::wstring reason =
            fetchMirrorPatch(patch, PatchName(remoteGz, patch.baseMd5, target), local);
        if (reason.empty()) {
            m_patchBytes += patch.size;
            continue;
        }
        // A mirror without a patch only costs its clients the whole file.
        LogInfo(L"%s\n", reason.c_str());
        (void)RemoveFile(ToMultibyte(local));
    }
}

void FileProcessor::FetchMissingMirrorPatches(const std::wstring& baseAddress) {
    for (const MissingPatch& missing : m_missingPatches) {
        const FilePatchInfo& patch = *missing.patch;
        const std::wstring target = missing.file->filemd5.wide();
        const std::wstring dest = PatchName(missing.mirrorGz, patch.baseMd5, target);
        // Fetched and checked in the run's directory; put in place whole, as a ".new" copy
        // renamed over the name, so the mirror's clients never see half a patch.
        const std::wstring local = JoinPath(tmpDir(), GetLastComponent(dest));
        const std::wstring fresh = dest + L".new";
        AddTempFile(local);
        AddTempFile(fresh);
        const std::wstring remote =
            PatchName(ModuleFileRemoteName(baseAddress, missing.module->source, missing.file->name),
                      patch.baseMd5, target);
        std::wstring reason = fetchMirrorPatch(patch, remote, local);
        int error = 0;
        if (reason.empty() &&
            (error = CopyRegularFile(ToMultibyte(local), ToMultibyte(fresh), 0644)))
            reason = MsgLib<26>(fresh, SystemErrorText(error));
        // On disk before its name: a power cut leaves no empty patch taken for one.
        if (reason.empty() && ((error = SyncFileSystems({ToMultibyte(GetDirPart(fresh))})) ||
                               (error = RenameFile(ToMultibyte(fresh), ToMultibyte(dest)))))
            reason = MsgLib<9>(fresh, dest, SystemErrorText(error));
        if (reason.empty())
            m_patchBytes += patch.size;
        else
            LogInfo(L"%s\n", reason.c_str());
        (void)RemoveFile(ToMultibyte(local));
        (void)RemoveFile(ToMultibyte(fresh));
    }
}

}  // namespace UpdateNew
