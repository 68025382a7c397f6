// The download operations of the file processor: the master index, the product info file
// and the changed module files. Every file and directory they create below the temporary
// root is registered before anything can fail, so the clean-up removes it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>
#include <vector>

#include "base/Conv.h"
#include "base/CountText.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/SharedNames.h"
#include "base/StringUtils.h"
#include "base/UniqueFd.h"
#include "codec/CheckedTextFile.h"
#include "codec/FileDigest.h"
#include "codec/FileInfo.h"
#include "codec/FilePatch.h"
#include "codec/Minisign.h"
#include "codec/ProductInfoDecode.h"
#include "codec/Sha256.h"
#include "config/UpdateConfig.h"
#include "download/DownloadNames.h"
#include "download/DownloadServersHandler.h"
#include "download/DownloadedFileCheck.h"
#include "download/FileDownloader.h"
#include "download/IndexVerifier.h"
#include "download/TransferWindow.h"
#include "install/PendingUpdate.h"
#include "install/TemporaryFiles.h"
#include "plugin/UpdateCallbacks.h"
#include "product/SignedIndex.h"
#include "product/UpdateInfo.h"
#include "run/FileProcessor.h"
#include "run/KeptState.h"

namespace UpdateNew {

namespace {

// Opens the resume directory `path` (made when missing with `create`). Only a real
// directory of this user, which nobody else may write to, holds partials that a later run
// continues; it is judged by the descriptor the transfers then use.
bool OpenResumeDir(const std::wstring& path, UniqueFd& dir, bool create) {
    struct stat st;
    return OpenDirectory(ToMultibyte(path), dir, create, 0700) == 0 &&
           ::fstat(dir.get(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

[[noreturn]] void ThrowFileError(int libMessage, const std::wstring& path, int error) {
    ThrowIfDiskFull(path, error);
    const std::wstring reason = SystemErrorText(error);
    if (libMessage == 2) THROW_ERROR(MsgLib<2>(path, reason), error);
    if (libMessage == 5) THROW_ERROR(MsgLib<5>(path, reason), error);
    THROW_ERROR(MsgLib<26>(path, reason), error);
}

// The whole content of the open file `fd`; false with errno set on a read error.
bool ReadAll(int fd, std::string& bytes) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

// Copies `source` to a new file beside `target`, syncs it and renames it over `target`, so
// that the target is always either the old or the complete new file.
void ReplaceFileAtomically(const std::wstring& source, const std::wstring& target) {
    const std::string src = ToMultibyte(source);
    UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) ThrowFileError(2, source, errno);
    std::string bytes;
    if (!ReadAll(in.get(), bytes)) ThrowFileError(2, source, errno);
    ReplaceStep failed = ReplaceStep::kOpen;
    const int err = ReplaceFile(ToMultibyte(target), bytes, 0644, &failed);
    if (err == 0) return;
    if (failed == ReplaceStep::kWrite) ThrowFileError(5, target + L".new", err);
    ThrowFileError(26, failed == ReplaceStep::kOpen ? target + L".new" : target, err);
}

}  // namespace

// ---- state shared by the steps --------------------------------------------------------

const std::wstring& FileProcessor::installDir() const {
    return m_config->updateDirs().m_installdir;
}

const std::wstring& FileProcessor::tmpDir() const {
    return m_config->updateDirs().m_tmpdir;
}

UpdateCallbacks& FileProcessor::callbacks() {
    return m_config->cCallbacks();
}

bool FileProcessor::mirror() const {
    return m_config->mirror();
}

void FileProcessor::AddTempFile(const std::wstring& path) {
    m_tempFiles.push_back(path);
}

void FileProcessor::AddTempDir(const std::wstring& path) {
    if (std::find(m_tempDirs.begin(), m_tempDirs.end(), path) == m_tempDirs.end())
        m_tempDirs.push_back(path);
}

void FileProcessor::makeDirectoryForFile(const std::wstring& file, int code) {
    const std::wstring dir = GetDirPart(file);
    UpdStringList cCreatedDirs;
    if (!callbacks().checkCreateDirectory(dir, cCreatedDirs)) {
        const std::wstring text = Msg<125>(dir);
        LogError(L"%s\n", text.c_str());
        THROW_CRITICAL(text, code);
    }
    for (const std::wstring& created : cCreatedDirs) AddTempDir(created);
}

// ---- master index -------------------------------------------------------------------------

bool FileProcessor::fetchCheckedIndex(const std::wstring& address, const std::wstring& local) {
    // An index bigger than a checked text file may be is cut off in transfer: a server
    // sending an endless stream cannot fill the disk, nor the reader's memory.
    GetDownloader().downloadFile(address, local,
                                 m_verifier ? kSignedIndexMaxBytes : kCheckedTextMaxFileBytes);
    return ReadCheckedTextFile(local) >= 0;
}

void FileProcessor::replaceKeptIndex(const std::wstring& fresh, const std::wstring& kept) {
    const std::wstring& source = fresh;
    const std::wstring& dest = kept;
    if (callbacks().callLib(L"copyFile(source, dest)", &CUpdateLibCallbacks::copyFile, source,
                            dest))
        return;
    const std::wstring dir = GetDirPart(kept);
    if (!dir.empty()) {
        const int err = CreateDirectories(dir);
        if (err != 0) ThrowFileError(26, kept, err);
    }
    ReplaceFileAtomically(fresh, kept);
}

namespace {

bool Exists(const std::wstring& path) {
    return ::access(ToMultibyte(path).c_str(), F_OK) == 0;
}

// Adds `dir` (without its trailing "/") to `dirs` unless it is listed already.
void AddOnce(std::vector<std::wstring>& dirs, const std::wstring& dir) {
    const std::wstring path = WithoutTrailingSlash(dir);
    if (!path.empty() && std::find(dirs.begin(), dirs.end(), path) == dirs.end())
        dirs.push_back(path);
}

}  // namespace

PendingRecord FileProcessor::pendingRecord(const std::vector<std::wstring>& owed) const {
    PendingRecord record = m_earlierRuns;
    record.owedPosts = owed;
    // This run's directories too, so that a run after a kill finds them whatever its own
    // are (the marker is rewritten as post commands run).
    AddOnce(record.tmpDirs, tmpDir());
    AddOnce(record.backupDirs, m_config->updateDirs().m_backupdir);
    return record;
}

void FileProcessor::FinishMasterIdx() {
    if (mirror()) publishMirror();
    m_owedPosts.clear();
    if (m_pendingIndexMarker.empty()) return;
    // The directories of earlier runs of this update that were killed: their downloads
    // served this run, nothing else needs them. Only a run's own directory goes (trusted,
    // with the owner marker: readEarlierRuns kept no other), never one that holds the
    // installation, and this run's own directories are left to its own clean-up.
    const UpdateDirs& dirs = m_config->updateDirs();
    for (const auto* list : {&m_earlierRuns.tmpDirs, &m_earlierRuns.backupDirs}) {
        for (const std::wstring& dir : *list) {
            if (dir.empty() || dir[0] != L'/' || dir == WithoutTrailingSlash(dirs.m_tmpdir) ||
                dir == WithoutTrailingSlash(dirs.m_backupdir) || PathHolds(dir, dirs.m_installdir))
                continue;
            LogDebug(L"Removing \"%s\", left by an earlier run of this update\n", dir.c_str());
            m_temporaries.addRunDir(dir);
        }
    }
    // The files this update installed reach the disk before the marker goes: a new file is
    // not flushed on its own, and a power cut must not leave it short with nothing left to
    // say that the files need a check. Where that fails the marker stays. It goes last of
    // all, after the run's own directories: a kill in between must leave it to name them.
    if (syncInstalledFiles()) m_finishedMarker = m_pendingIndexMarker;
    m_pendingIndexMarker.clear();
}

void FileProcessor::removeFinishedMarker() {
    if (m_finishedMarker.empty()) return;
    // A record the kill of an earlier run left half-written goes too.
    for (const std::wstring& path : {m_finishedMarker, OwedPostsTempFile(m_finishedMarker)})
        if (const int err = RemoveFile(ToMultibyte(path)))
            LogDebug(L"Cannot remove %s: %s\n", path.c_str(), SystemErrorText(err).c_str());
    m_finishedMarker.clear();
}

bool FileProcessor::IsPostOwed(const std::wstring& module) const {
    return std::find(m_owedPosts.begin(), m_owedPosts.end(), module) != m_owedPosts.end();
}

void FileProcessor::MarkPostOwed(const std::wstring& module) {
    // Mirrors never run module commands, so they owe none.
    if (m_pendingIndexMarker.empty() || mirror() || IsPostOwed(module)) return;
    std::vector<std::wstring> owed = m_owedPosts;
    owed.push_back(module);
    WritePendingRecord(m_pendingIndexMarker, pendingRecord(owed));
    m_owedPosts.swap(owed);
}

void FileProcessor::MarkPostRun(const std::wstring& module) {
    if (m_pendingIndexMarker.empty() || !IsPostOwed(module)) return;
    std::vector<std::wstring> owed = m_owedPosts;
    owed.erase(std::remove(owed.begin(), owed.end(), module), owed.end());
    WritePendingRecord(m_pendingIndexMarker, pendingRecord(owed));
    m_owedPosts.swap(owed);
}

bool FileProcessor::DownloadMasterIdx(const std::wstring& address, const std::wstring& keptCopy) {
    const std::wstring local = LocalPathOfAddress(tmpDir(), address);
    const std::wstring marker = KeptState::PendingPath(keptCopy);
    // An update this processor finished is done before another index is looked at.
    removeFinishedMarker();
    // What an earlier attempt (another server) meant to put into a mirror is not this one's.
    m_mirroredInfos.clear();
    m_mirrorInfos.clear();
    m_mirrorIndexLocal.clear();
    m_mirrorIndexSignatures = -1;
    // What an earlier run that did not end well left owed (the first process of a
    // self-update among them).
    readEarlierRuns(marker);
    m_owedPosts = m_earlierRuns.owedPosts;
    // A run killed while replacing a file may have left the new content's file beside it.
    m_unfinished = Exists(marker);
    if (!m_config->trustedKeys().empty())
        m_verifier.reset(new IndexVerifier(m_config->trustedKeys(), m_config->trustThreshold()));
    if (m_config->selfUpdateDone()) {
        // The first process verified and accepted the index it kept; this one only
        // makes sure the kept copy is still that index.
        if (m_verifier) m_verifier->VerifyKept(keptCopy, std::time(nullptr));
        if (ReadCheckedTextFile(keptCopy, m_indexLines, kCheckedTextMaxFileBytes) < 0)
            m_indexLines.clear();
        // The update the first process began ends with this run.
        if (m_unfinished) m_pendingIndexMarker = marker;
        m_keptIndexReplaced = true;
        // The first run of this update fetched it; this run only cleans it up.
        AddTempFile(local);
        AddTempDir(GetDirPart(local));
        return true;
    }
    makeDirectoryForFile(local, ERR_DOWNLOAD_PRODUCT_INFO);
    AddTempFile(local);

    std::wstring src = address;
    callbacks().callLib(L"changeMasterIdxUrl(src)", &CUpdateLibCallbacks::changeMasterIdxUrl, src);
    if (!fetchCheckedIndex(src, local) && !fetchCheckedIndex(src, local)) {
        LogDebug(L"%s\n", Msg<687>(local).c_str());
        THROW_ERROR(Msg<132>(local), ERR_FILE_READ);
    }
    // Nothing of the index is used before it is verified.
    if (m_verifier) {
        m_verifier->Verify(
            src, local, keptCopy,
            [&](const std::wstring& remote, const std::wstring& sigLocal) {
                fetchIndexSignature(remote, sigLocal);
            },
            std::time(nullptr));
        CDownloadServersHandler& servers = GetServersHandler();
        m_verifier->CheckProductFile(servers.GetProductFileName(), servers.GetProductFileSha256());
        if (!m_config->checkDirty()) m_verifier->Accept(keptCopy);
    }

    // The index only matters as a whole: an equal kept copy means nothing changed.
    // A marker left by a run that died after replacing the kept copy: that copy proves
    // nothing, so the files are checked.
    const bool unfinished = m_unfinished;
    if (unfinished)
        LogDebug(L"The last update did not finish (%s): checking every file\n", marker.c_str());
    for (const std::wstring& module : m_owedPosts)
        LogDebug(L"The last update did not run the post command of the module %s\n",
                 module.c_str());
    if (!unfinished && CompareFilesByMD5(FileInfo(local), FileInfo(keptCopy)) &&
        !m_config->ignoreMasterIdx()) {
        std::vector<std::string> lines;
        if (!m_unchangedIndexCheck ||
            ReadCheckedTextFile(local, lines, kCheckedTextMaxFileBytes) < 0 ||
            !m_unchangedIndexCheck(lines)) {
            LogDebug(L"%s\n", Msg<645>().c_str());
            return false;
        }
        LogDebug(L"The master index did not change, but the release to take from it did\n");
    }

    if (mirror() && !m_config->checkDirty()) mirrorIndex(src, local);

    std::vector<std::string>& lines = m_indexLines;
    ReadCheckedTextFile(local, lines, kCheckedTextMaxFileBytes);
    UpdStringList cMasterIdxContents;
    cMasterIdxContents.reserve(lines.size());
    for (const std::string& line : lines) cMasterIdxContents.push_back(FromMultibyte(line));
    callbacks().callLib(L"notifyMasterIdxContent(cMasterIdxContents)",
                        &CUpdateLibCallbacks::notifyMasterIdxContent, cMasterIdxContents);

    // A check-only run changes nothing in the installation: the kept copy stays as it was
    // (the run deletes it when it finds changes) and no marker is written.
    if (m_config->checkDirty()) return true;

    keepNewIndex(local, keptCopy, marker);
    return true;
}

void FileProcessor::keepNewIndex(const std::wstring& local, const std::wstring& keptCopy,
                                 const std::wstring& marker) {
    const std::wstring keptDir = GetDirPart(keptCopy);
    if (!keptDir.empty()) {
        const int err = CreateDirectories(keptDir);
        if (err != 0) ThrowFileError(26, keptCopy, err);
    }
    // The marker is on disk before the kept copy changes. It keeps what an earlier run
    // recorded (post commands it owes, its directories) and names this run's directories.
    WritePendingRecord(marker, pendingRecord(m_owedPosts));
    m_pendingIndexMarker = marker;
    // A mirror's kept copy is the index it serves: that one is replaced last.
    if (mirror() && keptCopy == mirrorIndexPath()) return;
    m_keptIndexReplaced = true;
    replaceKeptIndex(local, keptCopy);
}

// ---- product info file -----------------------------------------------------------------

std::wstring FileProcessor::DownloadProductInfoFile(const std::wstring& defaultAddress,
                                                    const std::wstring& givenName) {
    const std::wstring remote = ProductInfoRemoteName(defaultAddress, givenName);
    const std::wstring local = LocalPathOfAddress(tmpDir(), remote);
    makeDirectoryForFile(local, ERR_DOWNLOAD_PRODUCT_INFO);
    LogDebug(L"%s\n", Msg<643>(remote).c_str());
    AddTempFile(local);
    // A server that keeps sending is cut off instead of filling the disk.
    GetDownloader().downloadFile(remote, local, kMaxProductInfoTransferBytes);
    if (m_verifier)
        m_verifier->CheckProductInfo(
            remote, local, [&](const std::wstring& from, const std::wstring& to) {
                GetDownloader().downloadFile(from, to, kMaxProductInfoTransferBytes);
            });
    return local;
}

// ---- module files -------------------------------------------------------------------------

void FileProcessor::registerDownloadDirs(const std::wstring& dir) {
    // Only what lies below the temporary root, innermost last, so that the clean-up
    // (which goes backwards) removes children before their parents.
    const std::wstring root = tmpDir().back() == L'/' ? tmpDir() : tmpDir() + L'/';
    if (dir.compare(0, root.size(), root) != 0 || dir.size() <= root.size()) return;
    for (size_t pos = root.size(); pos != std::wstring::npos;) {
        pos = dir.find(L'/', pos + 1);
        const std::wstring part = dir.substr(0, pos);
        if (!part.empty() && part.back() != L'/') AddTempDir(part);
    }
}

bool FileProcessor::patchModuleFile(const FileRecord& file, const std::wstring& remoteGz,
                                    const std::wstring& local, int& count) {
    const auto found = m_patchPlans.find(&file);
    if (found == m_patchPlans.end()) return false;
    const PatchPlan& plan = found->second;
    // What an earlier process of this update rebuilt is used again.
    if (DecompressedFileMatches(local, file)) {
        LogDebug(L"%s\n", Msg<627>(local).c_str());
        AddTempFile(local);
        return true;
    }
    const std::wstring target = file.filemd5.wide();
    const std::wstring remote = PatchName(remoteGz, plan.patch.baseMd5, target);
    const std::wstring patch = PatchName(local + kGzSuffix, plan.patch.baseMd5, target);
    std::wstring reason;
    // The installed copy may have changed since the check; then the patch does not fit.
    if (GetFileMD5(plan.installed) != plan.patch.baseMd5) {
        reason = Msg<871>(plan.installed);
    } else {
        ThrowIfInterrupted();
        ++count;
        LogDebug(L"%s\n", Msg<619>(count, remote, local).c_str());
        AddTempFile(patch);
        try {
            GetDownloader().downloadFile(remote, patch, plan.patch.size);
            m_patchBytes += plan.patch.size;
        } catch (const CUpdateCriticalException&) {
            throw;  // a stop the plug-in asked for is no reason to fetch anything else
        } catch (const Exception& e) {
            reason = e.twhat();
        }
    }
    if (reason.empty() && (FileInfo(patch).GetSize() != static_cast<off_t>(plan.patch.size) ||
                           Sha256OfFile(patch) != plan.patch.sha256))
        reason = Msg<872>(patch);
    std::wstring error;
    if (reason.empty()) {
        AddTempFile(local);
        if (!ApplyFilePatch(plan.installed, patch, local, file.filesize, error))
            reason = Msg<873>(patch, error);
        else if (!DecompressedFileMatches(local, file))
            reason = Msg<874>(local);
    }
    if (reason.empty()) return true;
    (void)RemoveFile(ToMultibyte(local));
    LogInfo(L"%s\n", Msg<870>(remoteGz, reason).c_str());
    return false;
}

void FileProcessor::takeEarlierDownload(const UpdateModuleInfo& module, const FileRecord& file,
                                        const std::wstring& gz) {
    for (const std::wstring& dir : m_earlierDownloadDirs) {
        const std::wstring earlier = ModuleFileLocalName(dir, module.source, file.name) + kGzSuffix;
        // Moved, not trusted: the check below takes it only when it matches the record.
        if (RenameFile(ToMultibyte(earlier), ToMultibyte(gz)) == 0) {
            LogDebug(L"Taking \"%s\" from an earlier run of this update\n", earlier.c_str());
            return;
        }
    }
}

std::wstring FileProcessor::stepRemoteGz(const ModuleFileStep& step) const {
    return ModuleFileRemoteName(m_baseAddress, step.module->source, step.file->name);
}

std::wstring FileProcessor::stepLocal(const ModuleFileStep& step) const {
    return ModuleFileLocalName(m_downloadDir, step.module->source, step.file->name);
}

std::wstring FileProcessor::stepGz(const ModuleFileStep& step) const {
    return stepLocal(step) + kGzSuffix;
}

void FileProcessor::makeStepDirectory(const ModuleFileStep& step) {
    const std::wstring dir = GetDirPart(stepLocal(step));
    const int err = CreateDirectories(dir, 0755);
    if (err != 0) {
        const std::wstring text = Msg<125>(dir) + L": " + SystemErrorText(err);
        LogError(L"%s\n", text.c_str());
        THROW_CRITICAL(text, ERR_DOWNLOAD);
    }
    if (m_config->selfUpdateDone()) registerDownloadDirs(dir);
}

long long FileProcessor::fetchPatches(std::vector<ModuleFileStep>& steps, int& count) {
    long long overcount = 0;
    for (ModuleFileStep& step : steps) {
        const FileRecord& file = *step.file;
        if (mirror()) {
            const auto patches = step.module->patches.find(file.name);
            if (patches == step.module->patches.end() || patches->second.empty()) continue;
            makeStepDirectory(step);
            fetchMirrorPatches(*step.module, file, stepRemoteGz(step), stepGz(step));
            continue;
        }
        const auto plan = m_patchPlans.find(&file);
        if (plan == m_patchPlans.end()) continue;
        overcount += static_cast<long long>(plan->second.patch.size);
        // A verified ".gz" left by an earlier run of this update is cheaper than the patch.
        if (step.present <= 0 && !step.clash) {
            makeStepDirectory(step);
            step.patched = patchModuleFile(file, stepRemoteGz(step), stepLocal(step), count);
        }
        if (!step.patched) overcount -= static_cast<long long>(file.zipsize);
    }
    return overcount;
}

void FileProcessor::markClashes(std::vector<ModuleFileStep>& steps) const {
    const std::vector<bool> shared = SharedNames(2 * steps.size(), [&](size_t i) {
        return i % 2 == 0 ? stepLocal(steps[i / 2]) : stepGz(steps[i / 2]);
    });
    std::vector<size_t> places;
    std::vector<ModuleFileStep> clashing;
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].clash = shared[2 * i] || shared[2 * i + 1];
        if (!steps[i].clash) continue;
        places.push_back(i);
        clashing.push_back(steps[i]);
    }
    std::stable_sort(clashing.begin(), clashing.end(),
                     [&](const ModuleFileStep& a, const ModuleFileStep& b) {
                         return stepLocal(a).size() < stepLocal(b).size();
                     });
    for (size_t k = 0; k < places.size(); ++k) steps[places[k]] = clashing[k];
}

void FileProcessor::downloadModuleFile(const ModuleFileStep& step, TransferWindow& window,
                                       int& count) {
    const FileRecord& file = *step.file;
    if (step.patched) return;
    makeStepDirectory(step);

    const std::wstring local = stepLocal(step);
    const std::wstring gz = local + kGzSuffix;
    TransferWindow::Arrival arrival;
    if (step.present > 0) {
        LogDebug(L"%s\n", Msg<627>(gz).c_str());
        AddTempFile(gz);
    } else {
        if (step.present < 0) LogDebug(L"%s\n", Msg<628>(gz).c_str());
        ThrowIfInterrupted();
        ++count;
        LogDebug(L"%s\n", Msg<619>(count, stepRemoteGz(step), local).c_str());
        AddTempFile(gz);
        // A server that keeps sending past ZIPSIZE is cut off instead of filling the disk.
        arrival = window.Fetch(step.windowIndex);
        m_wholeBytes +=
            arrival.fetched >= 0 ? static_cast<unsigned long long>(arrival.fetched) : file.zipsize;
    }

    // Signed, the file's SHA-256 takes the place of ZIPMD5: the stronger digest, one read
    // (none where it was computed as the bytes arrived).
    VerifyCompressedFile(gz, file, !m_verifier, arrival.md5);
    if (m_verifier) {
        const auto signedDigest = step.module->zipSha256.find(file.name);
        m_verifier->CheckModuleFile(
            gz, signedDigest == step.module->zipSha256.end() ? std::string() : signedDigest->second,
            arrival.sha256);
    }
    if (!mirror()) DecompressAndVerify(gz, file, m_tempFiles, &arrival.unpacked);
}

void FileProcessor::KeepDownloadsForNextRun() noexcept {
    if (m_keptResumeDir.empty() || m_downloadDir.empty()) return;
    try {
        UniqueFd dir;
        // The same judgement as when the transfers began.
        if (!OpenResumeDir(m_keptResumeDir, dir, false)) return;
        // A run that ended on a full disk frees what it fetched rather than hold it.
        struct statvfs fs;
        if (::fstatvfs(dir.get(), &fs) != 0 ||
            static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < m_wholeBytes + (1u << 20))
            return;
        // Each whole download still in the download directory (the next run checks its
        // size and digests before it uses any of it).
        size_t kept = 0;
        for (const UpdateModuleInfo& module : m_update->modules) {
            if (!module.needsupdate) continue;
            for (const FileRecord& file : module.files) {
                if (!file.needsupdate) continue;
                const std::wstring gz = stepGz({&module, &file, 0});
                const FileInfo info(gz);
                if (info.Exists() && info.GetSize() == static_cast<off_t>(file.zipsize) &&
                    TransferWindow::KeepWhole(gz, dir.get(), TransferWindow::PartialNameOf(file)))
                    ++kept;
            }
        }
        if (kept > 0)
            LogDebug(L"%zu downloaded file(s) kept in %s for the next run\n", kept,
                     m_keptResumeDir.c_str());
    } catch (...) {
        // Only a saving: the clean-up deletes what stays.
    }
}

std::wstring FileProcessor::prepareResumeDir(bool& keep, UniqueFd& dir) {
    const std::wstring kept = TransferWindow::ResumeDirOf(KeptMasterIdxPath(*m_config));
    if (OpenResumeDir(kept, dir, true)) {
        keep = true;
        TransferWindow::AdoptPartials(TransferWindow::SharedResumeDirOf(installDir()), kept);
        if (!mirror()) m_keptResumeDir = kept;
        return kept;
    }
    LogDebug(L"%s cannot hold partial files: transfers start afresh\n", kept.c_str());
    keep = false;
    const std::wstring local = tmpDir() + L"partial";
    const int err = OpenDirectory(ToMultibyte(local), dir, true, 0700);
    if (err != 0) {
        const std::wstring text = Msg<125>(local) + L": " + SystemErrorText(err);
        LogError(L"%s\n", text.c_str());
        THROW_CRITICAL(text, ERR_DOWNLOAD);
    }
    AddTempDir(local);
    return local;
}

void FileProcessor::DownloadFiles(const std::wstring& baseAddress,
                                  const std::wstring& productRoot) {
    LogDebug(L"%s\n", Msg<621>().c_str());
    m_downloadDir = JoinConfined(tmpDir(), productRoot);
    m_baseAddress = baseAddress;
    m_earlierDownloadDirs.clear();
    // Only directories a run made are taken from (readEarlierRuns kept no other).
    for (const std::wstring& dir : m_earlierRuns.tmpDirs)
        if (dir != WithoutTrailingSlash(tmpDir()))
            m_earlierDownloadDirs.push_back(JoinConfined(dir, productRoot));
    std::vector<ModuleFileStep> steps;
    for (const UpdateModuleInfo& module : m_update->modules) {
        if (!module.needsupdate) continue;
        for (const FileRecord& file : module.files) {
            if (!file.needsupdate) continue;
            ModuleFileStep step;
            step.module = &module;
            step.file = &file;
            const std::wstring gz = stepGz(step);
            if (!m_earlierDownloadDirs.empty() && !FileInfo(gz).Exists()) {
                // A failure to make the directory is reported when the loop makes it.
                CreateDirectories(GetDirPart(gz), 0755);
                takeEarlierDownload(module, file, gz);
            }
            step.present = !FileInfo(gz).Exists() ? 0 : CompressedFileMatches(gz, file) ? 1 : -1;
            steps.push_back(step);
        }
    }
    LogDebug(L"%s\n", Msg<622>(FileCountText(steps.size()), baseAddress).c_str());
    markClashes(steps);

    // What the patches settle is known before the size is announced: the announced bytes
    // are those that follow the announcement.
    int count = 0;
    UpdateCallbacks& cb = callbacks();
    const long long overcount = fetchPatches(steps, count);
    cb.setDownloadSize(
        static_cast<unsigned long>(static_cast<long long>(cb.ulGetDownloadSize()) - overcount));

    const std::wstring& weblocation = baseAddress;
    cb.callGui(
        L"onStartDownloadFiles(weblocation, "
        L"m_updatePerformer->config()->cCallbacks().ulGetDownloadSize())",
        &CUpdateGuiCallbacks::onStartDownloadFiles, weblocation, cb.ulGetDownloadSize());

    bool keep = false;
    UniqueFd resumeFd;
    const std::wstring resumeDir = prepareResumeDir(keep, resumeFd);
    std::vector<TransferWindow::Entry> fetches;
    // A decompressed file is made ahead only where no other file of the run is written
    // to its name (two modules may share a source directory, "x" is fetched to "x.gz").
    std::vector<const ModuleFileStep*> fetched;
    for (ModuleFileStep& step : steps) {
        if (step.present > 0 || step.patched) continue;
        step.windowIndex = fetches.size();
        fetches.push_back({step.file, !step.clash});
        fetched.push_back(&step);
    }
    // A function-replacing plug-in has the first chance at every transfer. By default it
    // sees the files one after the other; asked for transfers side by side, it is asked
    // about each file before its transfer starts, which may be before the loop reaches it.
    size_t width = static_cast<size_t>(m_config->parallel());
    // A shared folder's file is read whole within one step of the transfer thread: several
    // at once would hold the loop (its progress, a damaged file's error, an interrupt)
    // until every one of them is read, and gain nothing.
    if (baseAddress.compare(0, 5, L"file:") == 0) width = 1;
    const bool plugin = cb.IsLibLoaded();
    if (plugin && !m_config->parallelGiven()) width = 1;
    const bool askAhead = plugin && width > 1;
    if (askAhead)
        for (const ModuleFileStep* step : fetched) makeStepDirectory(*step);
    {
        std::unique_ptr<TransferWindow> made;
        try {
            made.reset(new TransferWindow(GetDownloader(), width, m_config->maxRate(), resumeDir,
                                          resumeFd.get(), keep, askAhead));
            resumeFd.release();  // the window's now
        } catch (const std::system_error& e) {
            // The transfers need their threads (a task limit may refuse them): the run fails
            // as after any failed download, before anything is fetched.
            THROW_CRITICAL(Msg<1239>(Exception(e).twhat()), ERR_GENERIC);
        }
        TransferWindow& window = *made;
        // The window digests what arrives with the digest the check below compares, and
        // decompresses ahead what the loop would decompress.
        window.CheckOnArrival(m_verifier ? StreamDigest::Kind::kSha256 : StreamDigest::Kind::kMd5,
                              !mirror());
        window.Plan(std::move(fetches),
                    [&](size_t index, std::wstring& source, std::wstring& destination) {
                        source = stepRemoteGz(*fetched[index]);
                        destination = stepGz(*fetched[index]);
                    });
        for (const ModuleFileStep& step : steps) downloadModuleFile(step, window, count);
    }

    GetDownloader().disconnectServer();
    cb.callGui(L"onFinishDownloadFiles(weblocation)", &CUpdateGuiCallbacks::onFinishDownloadFiles,
               weblocation);
}

}  // namespace UpdateNew
