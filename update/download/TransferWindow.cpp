#include "download/TransferWindow.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <exception>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "download/DownloadedFileCheck.h"
#include "download/TransferRetry.h"

namespace UpdateNew {

namespace {

// The address of a transfer in the locale's character set. One without a form there (a
// non-ASCII file name under LC_ALL=C) ends the run saying so: a transfer of an empty
// address would fail, and the server would be dropped as the one to blame.
std::string TransferUrl(const std::wstring& source) {
    std::string url;
    if (!WideToMultibyte(source, url)) THROW_CRITICAL(Msg<1243>(source), ERR_GENERIC);
    return url;
}

// The longest digest text a partial's name takes.
constexpr size_t kMaxDigestChars = 128;

// The name of the partial of a file with `digest` and `size`; empty when the digest is
// no plain hexadecimal text (a name must never be built from arbitrary server text).
std::string PartialName(const std::wstring& digest, unsigned long long size) {
    if (digest.empty() || digest.size() > kMaxDigestChars || size == 0) return std::string();
    std::string name;
    for (wchar_t c : digest) {
        if (c > 0x7f || !std::isxdigit(static_cast<unsigned char>(c))) return std::string();
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name + "-" + std::to_string(size) + ".part";
}

// Copies the open file `fd` to a new file `target` (a rename across file systems).
int CopyOut(int fd, const std::string& target, unsigned long long& copied) {
    copied = 0;
    if (::lseek(fd, 0, SEEK_SET) < 0) return errno;
    UniqueFd made;
    if (int err = CreateFile(target, 0755, made)) return err;
    const int out = made.release();
    char buffer[65536];
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
            err = errno;
            break;
        }
        copied += static_cast<unsigned long long>(n);
    }
    if (::close(out) != 0 && err == 0) err = errno;
    if (err != 0) (void)RemoveFile(target);
    return err;
}

}  // namespace

// One planned file in flight (or done and not yet taken by Fetch): its partial file and
// the blocks received before the loop reached it, which Fetch reports first. A slot ends
// its own transfer, writing and unpacking job, so that none of them outlives it.
//
// Threads: the pool's thread (with its lock held) takes the blocks into the writer and
// counts them (`received`, `pending`, `overLimit`, `restarted`); the writer's thread writes
// and digests them (`fd`, `onDisk`, `digest`, `job`); the caller reads either once the
// transfer has ended and the writer has written everything (TransferWindow::wait).
class TransferWindow::Slot : public TransferSink, public BlockWriter::Stream {
public:
    TransferPool* pool = nullptr;
    BlockWriter* writer = nullptr;
    FileDownloader* downloader = nullptr;
    FileDownloader::TransferNames names;
    std::string partial;      // its path, for messages
    std::string partialName;  // its name in the resume directory
    int dir = -1;             // the resume directory (the window's)
    bool resumable = false;
    int fd = -1;
    int openErrno = 0;
    unsigned long long cap = 0;          // ZIPSIZE; 0: no cap
    unsigned long long onDisk = 0;       // bytes in the partial
    unsigned long long received = 0;     // bytes in the partial once the writer wrote them
    unsigned long long resumedFrom = 0;  // bytes a past transfer left, continued now
    std::vector<unsigned long> pending;  // block sizes not reported yet
    // Blocks are kept back while bytes of an earlier transfer are not known to be good:
    // a block is reported once it is kept, so a file's blocks add up to its size.
    bool holdReports = false;
    // On the run's thread: the bytes of this transfer passed to reportPending, and the most
    // that any transfer of the file reported; a transfer tried again reports only past it.
    unsigned long long attemptBytes = 0;
    unsigned long long reportedBytes = 0;
    bool pluginTook = false;  // asked ahead, the plug-in fetched the file itself
    bool restarted = false;   // the server sent the whole file again
    bool complete = false;    // the partial held the whole size: no transfer
    bool overLimit = false;
    int writeErrno = 0;
    std::exception_ptr error;  // why the transfer could not even start
    int id = 0;
    // Checks on arrival, for a transfer from the first byte (not a continued partial).
    bool digesting = false;
    StreamDigest digest;
    UnpackAhead* unpack = nullptr;  // null: not decompressed ahead
    std::string unpackPath;
    unsigned long long unpackCap = 0;  // FILESIZE
    std::shared_ptr<UnpackAhead::Job> job;

    ~Slot() override {
        if (pool && id != 0) pool->Cancel(id);
        if (writer) writer->Forget(*this);
        if (job) unpack->Drop(job);
        Close(!resumable);
    }

    // 0, or what close said: a network file system may report a failed write only then.
    int Close(bool remove) {
        const int closed = fd >= 0 && ::close(fd) != 0 ? errno : 0;
        fd = -1;
        if (remove && !partialName.empty()) ::unlinkat(dir, partialName.c_str(), 0);
        if (remove) partial.clear(), partialName.clear();
        return closed;
    }

    // Starts the partial afresh; what it held was never reported and never will be. Not
    // while a transfer or the writer works on the slot.
    bool Truncate() {
        pending.clear();
        holdReports = false;
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
            writeErrno = errno;
            return false;
        }
        onDisk = received = resumedFrom = attemptBytes = 0;
        digesting = false;
        return true;
    }

    // On the pool's thread, with its lock held: nothing here may call a plug-in, log or
    // touch the partial.
    Taken Receive(const char* data, size_t bytes, bool fromStart, bool mustTake) override {
        const bool restart = fromStart && received > 0;
        const unsigned long long before = restart ? 0 : received;
        // A server that keeps sending past ZIPSIZE is cut off instead of filling the disk.
        if (cap > 0 && bytes > cap - before) {
            overLimit = true;
            return Taken::kStop;
        }
        switch (writer->Offer(*this, data, bytes, restart, mustTake)) {
            case BlockWriter::Offered::kTaken:
                break;
            case BlockWriter::Offered::kFull:
                return Taken::kLater;
            case BlockWriter::Offered::kFailed:
                return Taken::kStop;
        }
        if (restart) {
            restarted = true;
            pending.clear();
            holdReports = false;
            resumedFrom = 0;
        }
        received = before + bytes;
        pending.push_back(static_cast<unsigned long>(bytes));
        return Taken::kYes;
    }

    // On the pool's thread, with its lock held: the writer ends the file (End).
    void Ended(bool completed) override { writer->Finish(*this, completed); }

    // On the writer's thread.
    int Write(const char* data, size_t bytes, bool restart) override {
        if (restart && (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0)) return errno;
        if (restart) onDisk = 0;
        if (!WriteAll(fd, data, bytes)) return errno != 0 ? errno : EIO;
        onDisk += bytes;
        if (digesting) digest.Update(data, bytes);
        return 0;
    }

    // On the writer's thread, once the transfer's bytes are written. A file of the
    // expected size that arrived whole is decompressed at once, on the unpacking thread.
    // The job is the slot's only once it is queued; a job that cannot be made leaves the
    // file to the loop.
    void End(bool completed) override {
        if (!completed || !digesting || !unpack || fd < 0 || onDisk != cap) return;
        const int input = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (input < 0) return;
        std::shared_ptr<UnpackAhead::Job> queued;
        try {
            queued = std::make_shared<UnpackAhead::Job>(input, onDisk, unpackPath, unpackCap);
        } catch (const std::bad_alloc&) {
            ::close(input);
            return;
        }
        try {
            unpack->Add(queued);
            job = std::move(queued);
        } catch (...) {
            // Nothing may leave the writer's thread; the job closes `input` as it goes.
        }
    }
};

TransferWindow::TransferWindow(FileDownloader& downloader, size_t width, unsigned long long maxRate,
                               const std::wstring& resumeDir, int resumeFd, bool keep,
                               bool askAhead)
    : m_downloader(&downloader),
      m_width(std::max<size_t>(1, width)),
      // Four times the transfers, so that a file still being decompressed, or a large one
      // still on its way, does not hold back the next; at most 64 partial files at a time.
      m_depth(m_width > 1 ? std::max(m_width, std::min<size_t>(4 * m_width, 64)) : 1),
      m_keep(keep),
      m_askAhead(askAhead),
      m_resumeDir(ToMultibyte(WithoutTrailingSlash(resumeDir))),
      m_resumeFd(resumeFd),
      m_pool(downloader.connection(), m_width, maxRate),
      m_writer([this] { m_pool.Resume(); }) {}

TransferWindow::~TransferWindow() {
    cancelAll();
    ::rmdir(m_resumeDir.c_str());  // only when empty
}

void TransferWindow::CheckOnArrival(StreamDigest::Kind digest, bool unpack) {
    m_digest = digest;
    m_unpackAhead = unpack;
    // Kept once made, even when no longer wanted: slots in flight may point at it.
    if (unpack && !m_unpack) m_unpack.reset(new UnpackAhead());
    // Without a thread of its own (a task limit) each file is unpacked by the loop.
    if (m_unpack && !m_unpack->running()) m_unpackAhead = false;
}

std::wstring TransferWindow::ResumeDirOf(const std::wstring& keptIndex) {
    return keptIndex + L".partial";
}

std::wstring TransferWindow::SharedResumeDirOf(const std::wstring& installDir) {
    return WithoutTrailingSlash(installDir) + L"/.update-partial";
}

void TransferWindow::AdoptPartials(const std::wstring& oldDir, const std::wstring& resumeDir) {
    const std::string from = ToMultibyte(WithoutTrailingSlash(oldDir));
    const std::string to = ToMultibyte(WithoutTrailingSlash(resumeDir));
    UniqueFd dir;
    struct stat st;
    if (OpenDirectory(from, dir) != 0 || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0)
        return;
    const int listed = ::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0);
    DIR* list = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!list) {
        if (listed >= 0) ::close(listed);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(list)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(list);
    for (const std::string& name : names) {
        const std::string target = to + "/" + name;
        struct stat there;
        const bool taken = ::lstat(target.c_str(), &there) == 0;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 && !taken &&
            RenameFile(from + "/" + name, target) == 0)
            continue;
        RemoveFile(from + "/" + name);
    }
    if (::rmdir(from.c_str()) == 0)
        LogDebug(L"The partial files of %S were moved to %S\n", from.c_str(), to.c_str());
}

std::string TransferWindow::PartialNameOf(const FileRecord& file) {
    return PartialName(file.zipmd5.wide(), file.zipsize);
}

bool TransferWindow::KeepWhole(const std::wstring& path, int resumeFd,
                               const std::string& partialName) {
    UniqueFd dir;
    std::string leaf;
    return !partialName.empty() && OpenParent(ToMultibyte(path), dir, leaf) == 0 &&
           ::renameat2(dir.get(), leaf.c_str(), resumeFd, partialName.c_str(), RENAME_NOREPLACE) ==
               0;
}

void TransferWindow::Plan(std::vector<Entry> files, Namer namer) {
    m_plan = std::move(files);
    m_namer = std::move(namer);
    m_resumable.assign(m_plan.size(), false);
    std::set<std::string> wanted;
    for (size_t i = 0; i < m_plan.size(); ++i) {
        const std::string name =
            PartialName(m_plan[i].file->zipmd5.wide(), m_plan[i].file->zipsize);
        // Two files of equal content share no partial: the second starts afresh.
        m_resumable[i] = m_keep && !name.empty() && wanted.insert(name).second;
    }
    const int listed =
        m_keep ? ::openat(m_resumeFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0) ::close(listed);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || wanted.count(name)) continue;
        LogDebug(L"Removing the partial %S/%S: no file of this update wants it\n",
                 m_resumeDir.c_str(), name.c_str());
        ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

FileDownloader::TransferNames TransferWindow::namesOf(size_t index) const {
    std::wstring source, destination;
    m_namer(index, source, destination);
    return m_downloader->namesOf(source, destination);
}

void TransferWindow::start(size_t index, bool ask) {
    const Entry& entry = m_plan[index];
    auto slot = std::make_unique<Slot>();
    Slot& s = *slot;
    // A slot already there (none should be) ends its transfer as it goes.
    m_slots[index] = std::move(slot);
    s.pool = &m_pool;
    s.writer = &m_writer;
    s.downloader = m_downloader;
    try {
        s.names = namesOf(index);
    } catch (...) {
        // Reported when the loop reaches the file, not ahead of the files before it.
        s.error = std::current_exception();
        return;
    }
    // The plug-in has the first chance at every transfer; what it answers wrong ends the
    // run at once.
    if (ask && m_downloader->offerToPlugin(s.names)) {
        s.pluginTook = true;
        return;
    }
    s.cap = entry.file->zipsize;
    s.resumable = m_resumable[index];
    s.dir = m_resumeFd.get();
    s.partialName =
        s.resumable ? PartialName(entry.file->zipmd5.wide(), entry.file->zipsize)
                    : "run-" + std::to_string(::getpid()) + "-" + std::to_string(index) + ".part";
    s.partial = m_resumeDir + "/" + s.partialName;
    // A partial is continued only when it is a plain file of its own; whatever else
    // stands at its name (a link, a FIFO, a file with a second name) gives way to a new one.
    UniqueFd file;
    int err = s.resumable ? OpenExistingAt(s.dir, s.partialName, O_RDWR, file) : ENOENT;
    if (err == ENOENT || err == ELOOP || err == EINVAL)
        err = CreateFileAt(s.dir, s.partialName, 0600, file, O_RDWR);
    s.fd = file.release();
    struct stat st;
    if (err != 0 || ::fstat(s.fd, &st) != 0) {
        s.openErrno = err != 0 ? err : errno;
        s.Close(false);
        return;
    }
    s.onDisk = s.received = static_cast<unsigned long long>(st.st_size);
    if (s.cap > 0 && s.onDisk > s.cap && !s.Truncate()) return;
    if (::lseek(s.fd, 0, SEEK_END) < 0) s.writeErrno = errno;
    s.resumedFrom = s.onDisk;
    if (s.resumedFrom > 0) {
        LogDebug(L"%s: continuing after the %llu bytes of %S\n", s.names.source.c_str(),
                 s.resumedFrom, s.partial.c_str());
        s.pending.push_back(static_cast<unsigned long>(s.resumedFrom));
        s.holdReports = true;
    }
    if (s.cap > 0 && s.onDisk == s.cap) {
        s.complete = true;
        return;
    }
    if (s.resumedFrom == 0 && s.cap > 0 && m_digest != StreamDigest::Kind::kNone) {
        s.digesting = true;
        s.digest.Reset(m_digest);
        const std::string& gz = s.names.destPath;
        if (m_unpack && m_unpackAhead && entry.unpackAhead && gz.size() > 3 &&
            gz.compare(gz.size() - 3, 3, ".gz") == 0) {
            s.unpack = m_unpack.get();
            s.unpackPath = gz.substr(0, gz.size() - 3);
            s.unpackCap = entry.file->filesize;
        }
    }
    const std::string url = TransferUrl(s.names.source);
    s.id = m_pool.Start(url, s.onDisk, &s);
}

void TransferWindow::fillAhead(size_t current) {
    const size_t end = std::min(m_plan.size(), current + m_depth);
    const TransferPool::Held held(m_pool);
    for (size_t i = current + 1; i < end; ++i)
        if (!m_slots.count(i)) start(i, m_askAhead);
}

void TransferWindow::cancelAll() {
    // Each slot ends its transfer as it goes.
    m_slots.clear();
}

void TransferWindow::failIfDiskFull(const std::wstring& path, int err) {
    if (!IsDiskFull(err)) return;
    // The partials take the room the run needs: none of them is kept for a later run.
    m_keep = false;
    for (auto& entry : m_slots) entry.second->resumable = false;
    cancelAll();
    ThrowIfDiskFull(path, err);
}

void TransferWindow::reportPending(Slot& slot) {
    std::vector<unsigned long> blocks;
    m_pool.Locked([&] {
        if (!slot.holdReports) blocks.swap(slot.pending);
    });
    for (unsigned long bytes : blocks) {
        const unsigned long long before = slot.attemptBytes;
        slot.attemptBytes += bytes;
        if (slot.attemptBytes <= slot.reportedBytes) continue;
        const unsigned long long fresh = slot.attemptBytes - std::max(before, slot.reportedBytes);
        slot.reportedBytes = slot.attemptBytes;
        m_downloader->reportBlock(slot.names, static_cast<unsigned long>(fresh));
    }
}

void TransferWindow::wait(Slot& slot) {
    // The blocks are reported on this thread, in order, as they arrive.
    if (!m_pool.WaitFor(slot.complete ? 0 : slot.id, [&] { reportPending(slot); })) {
        cancelAll();
        ThrowIfInterrupted();
    }
    // Then the writer's thread writes what it still holds of the transfer.
    const int err = m_writer.Wait(slot, [&] {
        if (InterruptRequested()) cancelAll();
        ThrowIfInterrupted();
    });
    if (slot.writeErrno == 0) slot.writeErrno = err;
}

void TransferWindow::restartWhole(Slot& slot) {
    if (!slot.Truncate()) return;  // finish reports why
    const std::string url = TransferUrl(slot.names.source);
    m_pool.Cancel(slot.id);
    slot.complete = false;
    slot.id = m_pool.Start(url, 0, &slot);
}

void TransferWindow::finish(Slot& slot) {
    const FileDownloader::TransferNames& names = slot.names;
    if (slot.openErrno != 0) {
        failIfDiskFull(FromMultibyte(slot.partial), slot.openErrno);
        const std::wstring reason = SystemErrorText(slot.openErrno);
        m_downloader->Fail(names.source, MsgLib<26>(FromMultibyte(slot.partial), reason),
                           FromMultibyte(slot.partial) + L": " + reason);
    }
    wait(slot);
    TransferOutcome outcome = m_pool.Outcome(slot.id);
    if (outcome.rangeRefused && !slot.error && slot.writeErrno == 0) {
        LogDebug(L"%s: the server did not continue after byte %llu; fetching it whole\n",
                 names.source.c_str(), slot.resumedFrom);
        restartWhole(slot);
        wait(slot);
        outcome = m_pool.Outcome(slot.id);
    }
    // A failure that may pass is tried again on the same server, from the start, as often
    // as the option `retries` allows.
    for (int attempt = 1;
         !slot.error && !slot.overLimit && slot.writeErrno == 0 &&
         TryAgain(names.source, outcome, attempt, m_downloader->settings().retries());
         ++attempt) {
        restartWhole(slot);
        wait(slot);
        outcome = m_pool.Outcome(slot.id);
    }
    if (slot.restarted)
        LogDebug(L"%s: the server sent the whole file again\n", names.source.c_str());
    if (slot.error) std::rethrow_exception(slot.error);
    if (slot.overLimit) {
        slot.Close(true);
        m_downloader->Fail(
            names.source, Msg<679>(std::to_wstring(slot.cap)),
            L"the server sent more than the expected " + std::to_wstring(slot.cap) + L" bytes");
    }
    if (slot.writeErrno != 0) {
        failIfDiskFull(FromMultibyte(slot.partial), slot.writeErrno);
        const std::wstring reason = SystemErrorText(slot.writeErrno);
        // The partial is where the bytes go: its file system is the one that is full.
        m_downloader->Fail(names.source, MsgLib<5>(FromMultibyte(slot.partial), reason),
                           FromMultibyte(slot.partial) + L": " + reason);
    }
    if (outcome.rc != 0) {
        // What a cut connection left is continued later; an answer of the server (404,
        // 503, ...) says the partial is of no use.
        if (outcome.rc == CONNECTION_HTTP_ERROR) slot.Close(true);
        m_downloader->FailTransfer(names.source, outcome);
    }
}

TransferWindow::Arrival TransferWindow::Fetch(size_t index) {
    const Entry& entry = m_plan.at(index);
    Arrival arrival;
    auto ahead = m_slots.find(index);
    if (ahead != m_slots.end() && ahead->second->pluginTook) {
        m_slots.erase(ahead);
        fillAhead(index + 1);
        return arrival;
    }
    if (ahead == m_slots.end()) {
        if (m_downloader->offerToPlugin(namesOf(index))) return arrival;
        // Started side by side, in one round.
        const TransferPool::Held held(m_pool);
        start(index, false);
        fillAhead(index);
    }
    Slot& slot = *m_slots.at(index);
    finish(slot);
    if (slot.resumedFrom > 0 && !CompressedFileMatches(FromMultibyte(slot.partial), *entry.file)) {
        // Bytes kept from an earlier transfer do not fit the rest: once more, whole.
        LogDebug(L"%s: the continued file does not match; fetching it whole\n",
                 slot.names.source.c_str());
        restartWhole(slot);
        finish(slot);
    }
    // What is kept now counts.
    slot.holdReports = false;
    reportPending(slot);
    arrival.fetched = static_cast<long long>(slot.onDisk - std::min(slot.onDisk, slot.resumedFrom));
    if (slot.digesting) {
        arrival.md5 = slot.digest.Md5Text();
        arrival.sha256 = slot.digest.Sha256Text();
    }
    if (slot.job) {
        arrival.unpacked = m_unpack->Wait(slot.job, ThrowIfInterrupted);
        slot.job.reset();
    }

    // Every downloaded file is executable by everybody; a file system that cannot store
    // the mode does not fail the download.
    (void)::fchmod(slot.fd, 0755);
    UniqueFd destDir;
    std::string destName;
    int err = OpenParent(slot.names.destPath, destDir, destName);
    if (err == 0 &&
        ::renameat(slot.dir, slot.partialName.c_str(), destDir.get(), destName.c_str()) == 0) {
        slot.partial.clear();
        slot.partialName.clear();
    } else {
        if (err == 0) err = errno;
        unsigned long long copied = 0;
        if (err == EXDEV) err = CopyOut(slot.fd, slot.names.destPath, copied);
        // The digest taken on arrival is of the bytes written to the partial: it stands
        // for a copy that holds all of them, as for the partial renamed. Else the copy is
        // checked by reading it.
        if (err != 0 || copied != slot.onDisk) {
            arrival.md5.clear();
            arrival.sha256.clear();
        }
    }
    const FileDownloader::TransferNames names = slot.names;
    // The digest taken on arrival stands for the file only when all of it was written.
    const int closed = slot.Close(true);
    m_slots.erase(index);
    if (err == 0 && closed != 0) {
        failIfDiskFull(names.destination, closed);
        m_downloader->Fail(names.source, MsgLib<5>(names.destination, SystemErrorText(closed)),
                           names.destination + L": " + SystemErrorText(closed));
    }
    if (err != 0) failIfDiskFull(names.destination, err);
    if (err != 0)
        m_downloader->Fail(names.source, MsgLib<26>(names.destination, SystemErrorText(err)),
                           names.destination + L": " + SystemErrorText(err));
    fillAhead(index + 1);
    return arrival;
}

}  // namespace UpdateNew
