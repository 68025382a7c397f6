// TransferWindow fetches the module files of a run with up to `width` connections in use
// (files beyond them are started ahead and wait in libcurl's queue for a connection; over
// HTTP/2 they are streams of the connections),
// while the download loop still takes the files one after the other, in its own order:
// Fetch(i) asks the function-replacing plug-in about file i (unless it was asked when the
// file was started ahead), reports its received blocks to the GUI plug-in (those that
// arrived ahead first, then the rest as they come; always on the caller's thread, while
// the transfers run on the pool's own), and either places the file at its destination or
// throws the failure the plain downloader would have thrown for it. With `askAhead` the
// plug-in is asked about each file as it is started ahead of the loop, so no transfer
// starts before the plug-in declined its file; a caller whose plug-in must see the
// one-after-the-other order gives a width of 1, and one without a plug-in needs no asking
// ahead (the built-in table declines every file). The blocks reported for a file add up to
// its size: bytes kept from an earlier transfer, and what is received after them, are
// reported once the continued file proved good; a partial thrown away was never reported.
//
// Threads: the pool's thread hands the received blocks to the slots (with the pool's lock
// held), the writer's thread (BlockWriter) writes them to the partials and digests them,
// the unpacking threads write the decompressed files; everything else, every plug-in call
// among it, is on the caller's thread. Destroying the window (also while an exception leaves Fetch)
// ends every transfer and unpacking job first.
//
// Every transfer writes to a partial file in the resume directory. A partial of a file
// with a usable digest is named after that digest and the file's size, so a later
// transfer of the same file (the run's next server, or the next run) continues from the
// bytes already there with a range request (or from that offset over file:// and FTP). A
// server that ignores ranges sends the whole file again, one that answers with another
// range is asked for the whole file, and a continued file whose digest turns out wrong is
// fetched once more from the start: a partial never ends in a spliced file. Partials leave the
// directory when their file is placed, and Plan removes those no planned file wants.
//
// Asked to (CheckOnArrival), the window also digests each file's bytes as they arrive and
// decompresses a file to its destination without ".gz" as soon as its transfer has ended
// (UnpackAhead, which makes the directory where the loop has not made it yet),
// so that the loop need not read the file back: Fetch hands over what was computed, and
// the caller still verifies the file before it uses anything of it. A continued partial
// is digested and decompressed by the caller, as before.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "codec/StreamDigest.h"
#include "download/BlockWriter.h"
#include "download/FileDownloader.h"
#include "download/UnpackAhead.h"
#include "download/UnpackedFile.h"
#include "net/TransferPool.h"
#include "product/FileRecord.h"

namespace UpdateNew {

class TransferWindow {
public:
    // One file to fetch; `file` (not owned, it must outlive the window) gives the size cap
    // and the digest. Its source and destination come from the plan's Namer when the
    // window needs them, so that a plan of many files keeps no paths.
    struct Entry {
        const FileRecord* file = nullptr;
        // Whether it may be decompressed ahead, beside `destination` (without ".gz"): no
        // other file of the run is written to that name.
        bool unpackAhead = false;
    };

    // What Fetch learnt of a file while its bytes arrived; what was not computed is empty.
    struct Arrival {
        std::wstring md5;       // digest text of the fetched bytes (as ZIPMD5)
        std::string sha256;     // or their SHA-256 digest text
        UnpackedFile unpacked;  // their decompressed content, not verified yet
        // The bytes this transfer wrote (not those kept from an earlier run); -1 when a
        // plug-in fetched the file.
        long long fetched = -1;
    };

    // `downloader` (not owned, it must outlive the window) gives the connection settings,
    // the plug-in calls and the failure messages. `resumeFd` is the open directory
    // `resumeDir` (taken over: the window closes it); every partial is made, continued,
    // moved and removed through it, so that a name swapped in the path meanwhile cannot
    // redirect them. Without `keep` no partial outlives its transfer (a directory that is
    // not safe to continue from). With `askAhead` the function-replacing plug-in is asked
    // about each file started ahead of the loop before its transfer starts (the
    // destination's directory must exist by then).
    TransferWindow(FileDownloader& downloader, size_t width, unsigned long long maxRate,
                   const std::wstring& resumeDir, int resumeFd, bool keep, bool askAhead = false);
    TransferWindow(const TransferWindow&) = delete;
    TransferWindow& operator=(const TransferWindow&) = delete;
    // Stops the transfers in flight. Partials that can be continued stay; the others go,
    // and so does the resume directory when it is left empty.
    ~TransferWindow();

    // From now on every file started is digested with `digest` as its bytes arrive, and
    // with `unpack` decompressed, capped at the record's FILESIZE, once they are all there.
    void CheckOnArrival(StreamDigest::Kind digest, bool unpack);

    // Gives planned file `index`'s source and destination.
    using Namer =
        std::function<void(size_t index, std::wstring& source, std::wstring& destination)>;

    // The files in the order Fetch will be called for them, and how to name them. Removes
    // the resume directory's partials that none of them wants.
    void Plan(std::vector<Entry> files, Namer namer);

    // Fetches planned file `index` to its destination (mode 0755), as
    // FileDownloader::downloadFile would, and lets the files behind it run ahead. Gives
    // what was computed on arrival (nothing when the plug-in fetched the file).
    // An interrupt stops every transfer: CUpdateCriticalException, message 252.
    Arrival Fetch(size_t index);

    // The resume directory of one product in one installation: beside its kept master
    // index, named like the run lock, so that another product's runs never touch it.
    static std::wstring ResumeDirOf(const std::wstring& keptIndex);
    // Where partials of every product in `installDir` were kept before they had a
    // directory of their own.
    static std::wstring SharedResumeDirOf(const std::wstring& installDir);
    // Moves the partial files of `oldDir` (a real directory of this user that nobody else
    // may write to; anything else is left alone) into `resumeDir`, unless one of that name is
    // there, and removes `oldDir` with what is left in it. Plan and Fetch check them as any.
    static void AdoptPartials(const std::wstring& oldDir, const std::wstring& resumeDir);
    // The name a partial of `file` has in the resume directory; empty when the file has no
    // usable digest (its partials are never kept).
    static std::string PartialNameOf(const FileRecord& file);
    // Moves the whole download `path` into the open resume directory `resumeFd` as the
    // complete partial `partialName`, which the next run checks and uses like any partial,
    // unless one of that name is there; nothing happens across file systems. Gives whether
    // it was moved.
    static bool KeepWhole(const std::wstring& path, int resumeFd, const std::string& partialName);

private:
    class Slot;

    // The transfer names of planned file `index` (FileDownloader::namesOf).
    FileDownloader::TransferNames namesOf(size_t index) const;
    // Starts planned file `index`, after offering it to the plug-in when `ask`.
    void start(size_t index, bool ask);
    // Starts the files behind `current` that the depth allows and are not started yet.
    void fillAhead(size_t current);
    void cancelAll();
    // When `err` says the file system is full: removes every partial of the window's
    // transfers and throws CUpdateCriticalException naming `path` (ThrowIfDiskFull).
    void failIfDiskFull(const std::wstring& path, int err);
    // Reports the slot's received blocks unless they are held back.
    void reportPending(Slot& slot);
    // Waits for the slot's transfer, reporting its blocks; an interrupt ends every transfer.
    void wait(Slot& slot);
    // Throws away what the slot's partial holds and fetches the file from its first byte.
    void restartWhole(Slot& slot);
    // Waits for the slot's transfer (once more from the first byte when the server did not
    // continue it where asked); throws its failure.
    void finish(Slot& slot);

    FileDownloader* m_downloader;
    size_t m_width;  // transfers in flight (connections to the server)
    size_t m_depth;  // files started ahead of the loop; libcurl runs m_width of them at once
    bool m_keep;
    bool m_askAhead;
    std::string m_resumeDir;
    UniqueFd m_resumeFd;
    TransferPool m_pool;
    // Writes the received blocks to the partials and digests them; after the pool, which it
    // resumes, and before the slots, which it writes for.
    BlockWriter m_writer;
    std::vector<Entry> m_plan;
    Namer m_namer;
    std::vector<bool> m_resumable;  // per planned file: its partial is kept between runs
    StreamDigest::Kind m_digest = StreamDigest::Kind::kNone;
    bool m_unpackAhead = false;
    // Destroyed after the slots (declared before them), which use both.
    std::unique_ptr<UnpackAhead> m_unpack;
    std::map<size_t, std::unique_ptr<Slot>> m_slots;
};

}  // namespace UpdateNew
