#include "codec/FilePatch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

// The compression level of patches: the strongest, as a patch is made once and fetched
// by every client.
constexpr int kPatchLevel = 19;
// From the frame format: the smallest window, and the longest frame header.
constexpr int kMinWindowLog = 10;
constexpr size_t kMaxFrameHeader = 18;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

std::wstring CannotRead(const std::wstring& path, int err) {
    return path + L": " + SystemErrorText(err);
}

// A whole file mapped read-only; an empty file maps to nothing.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (m_data != nullptr) ::munmap(m_data, m_size);
    }
    bool open(const std::wstring& path, std::wstring& error) {
        UniqueFd fd;
        struct stat st;
        if (const int rc = OpenRegular(ToMultibyte(path), fd, &st)) {
            error = CannotRead(path, rc);
            return false;
        }
        // Another user who may write the file could shorten it under the mapping, and the
        // next read of a page past the end would kill the run (SIGBUS).
        if (!OnlyTrustedMayWrite(st)) {
            error = path + L": " + Msg<878>();
            return false;
        }
        m_size = static_cast<size_t>(st.st_size);
        if (m_size == 0) return true;
        void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (p == MAP_FAILED) {
            error = CannotRead(path, errno);
            m_size = 0;
            return false;
        }
        m_data = p;
        return true;
    }
    const void* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    void* m_data = nullptr;
    size_t m_size = 0;
};

std::wstring ZstdError(size_t code) {
    return FromMultibyte(ZSTD_getErrorName(code));
}

// The frame header must state the result's size: a patch for another file, or one that
// would not say how much it writes, is refused before decoding.
bool CheckHeader(const void* head, size_t headSize, unsigned long long expectedSize,
                 std::wstring& error) {
    const unsigned long long stated = ZSTD_getFrameContentSize(head, headSize);
    if (stated == ZSTD_CONTENTSIZE_ERROR) {
        error = L"not a zstd frame";
        return false;
    }
    if (stated != expectedSize) {
        error = stated == ZSTD_CONTENTSIZE_UNKNOWN
                    ? L"the patch does not state the size of its result"
                    : L"the patch gives a result of " + std::to_wstring(stated) +
                          L" bytes instead of " + std::to_wstring(expectedSize);
        return false;
    }
    return true;
}

// Decodes one frame against `base`, fed in pieces; every decoded block goes to `sink`.
class PatchDecoder {
public:
    using Sink = std::function<bool(const char*, size_t)>;

    PatchDecoder(const void* base, size_t baseSize, unsigned long long expectedSize, Sink sink)
        : m_dctx(ZSTD_createDCtx()),
          m_expected(expectedSize),
          m_sink(std::move(sink)),
          m_out(ZSTD_DStreamOutSize()) {
        if (!m_dctx) return;
        m_ready = !ZSTD_isError(ZSTD_DCtx_setParameter(m_dctx.get(), ZSTD_d_windowLogMax,
                                                       kPatchMaxWindowLog)) &&
                  !ZSTD_isError(ZSTD_DCtx_refPrefix(m_dctx.get(), base, baseSize));
    }

    bool feed(const void* data, size_t size, std::wstring& error) {
        if (!m_ready) {
            error = L"the decoder cannot be set up";
            return false;
        }
        ZSTD_inBuffer in{data, size, 0};
        // Each round consumes input or fills the output buffer, so it ends; a full output
        // buffer may leave decoded bytes inside the decoder, hence the extra rounds.
        bool full = true;
        while (in.pos < in.size || full) {
            if (m_done) {
                if (in.pos < in.size) {
                    error = L"data follows the end of the patch";
                    return false;
                }
                break;
            }
            ZSTD_outBuffer out{m_out.data(), m_out.size(), 0};
            const size_t rc = ZSTD_decompressStream(m_dctx.get(), &out, &in);
            if (ZSTD_isError(rc)) {
                error = ZstdError(rc);
                return false;
            }
            m_done = rc == 0;
            m_produced += out.pos;
            if (m_produced > m_expected) {
                error = L"the patch gives more than " + std::to_wstring(m_expected) + L" bytes";
                return false;
            }
            if (out.pos > 0 && !m_sink(m_out.data(), out.pos)) {
                error = L"the result cannot be written";
                return false;
            }
            full = out.pos == out.size;
        }
        return true;
    }

    bool finish(std::wstring& error) const {
        if (!m_done) {
            error = L"the patch ends before its last block";
            return false;
        }
        if (m_produced != m_expected) {
            error = L"the patch gives " + std::to_wstring(m_produced) + L" bytes instead of " +
                    std::to_wstring(m_expected);
            return false;
        }
        return true;
    }

private:
    std::unique_ptr<ZSTD_DCtx, DCtxFree> m_dctx;
    unsigned long long m_expected;
    Sink m_sink;
    std::vector<char> m_out;
    unsigned long long m_produced = 0;
    bool m_ready = false;
    bool m_done = false;
};

bool ReadWhole(const std::wstring& path, std::string& bytes, std::wstring& error) {
    UniqueFd fd;
    struct stat st;
    if (const int rc = OpenRegular(ToMultibyte(path), fd, &st)) {
        error = CannotRead(path, rc);
        return false;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), &bytes[done], bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = CannotRead(path, n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int WindowLogFor(unsigned long long span) {
    int log = kMinWindowLog;
    while (log < kPatchMaxWindowLog && (1ULL << log) < span) ++log;
    return log;
}

}  // namespace

bool CreateFilePatch(const std::wstring& basePath, const std::wstring& targetPath,
                     const std::wstring& patchPath, std::wstring& error) {
    std::string base, target;
    if (!ReadWhole(basePath, base, error) || !ReadWhole(targetPath, target, error)) return false;
    const unsigned long long span = base.size() + target.size();
    if (span > kPatchMaxSpan) {
        error = L"the two versions together exceed " + std::to_wstring(kPatchMaxSpan) + L" bytes";
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        error = L"out of memory";
        return false;
    }
    // The window reaches back over the whole base; long-distance matching finds content
    // that moved far. The checksum lets the decoder notice a damaged frame on its own.
    ZSTD_CCtx* c = cctx.get();
    size_t rc = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kPatchLevel);
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLogFor(span));
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_refPrefix(c, base.data(), base.size());
    std::string patch;
    if (!ZSTD_isError(rc)) {
        patch.resize(ZSTD_compressBound(target.size()));
        rc = ZSTD_compress2(c, &patch[0], patch.size(), target.data(), target.size());
    }
    if (ZSTD_isError(rc)) {
        error = ZstdError(rc);
        return false;
    }
    patch.resize(rc);
    const std::string out = ToMultibyte(patchPath);
    UniqueFd fd;
    int err = CreateFile(out, 0644, fd);
    if (err == 0 && (!WriteAll(fd.get(), patch.data(), patch.size()) || fd.close() != 0))
        err = errno;
    if (err != 0) {
        error = CannotRead(patchPath, err);
        (void)RemoveFile(out);
        return false;
    }
    return true;
}

bool ApplyPatchData(const void* base, size_t baseSize, const void* patch, size_t patchSize,
                    unsigned long long expectedSize, std::string& out, std::wstring& error) {
    out.clear();
    if (!CheckHeader(patch, patchSize, expectedSize, error)) return false;
    PatchDecoder decoder(base, baseSize, expectedSize, [&out](const char* data, size_t n) {
        out.append(data, n);
        return true;
    });
    return decoder.feed(patch, patchSize, error) && decoder.finish(error);
}

bool ApplyFilePatch(const std::wstring& basePath, const std::wstring& patchPath,
                    const std::wstring& outPath, unsigned long long expectedSize,
                    std::wstring& error) {
    MappedFile base;
    if (!base.open(basePath, error)) return false;
    UniqueFd in(::open(ToMultibyte(patchPath).c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        error = CannotRead(patchPath, errno);
        return false;
    }
    char head[kMaxFrameHeader];
    const ssize_t headSize = ::pread(in.get(), head, sizeof head, 0);
    if (headSize < 0) {
        error = CannotRead(patchPath, errno);
        return false;
    }
    if (!CheckHeader(head, static_cast<size_t>(headSize), expectedSize, error)) return false;

    const std::string out = ToMultibyte(outPath);
    UniqueFd fd;
    if (int err = CreateFile(out, 0644, fd)) {
        error = CannotRead(outPath, err);
        return false;
    }
    const int outFd = fd.get();
    PatchDecoder decoder(base.data(), base.size(), expectedSize,
                         [outFd](const char* data, size_t n) { return WriteAll(outFd, data, n); });
    std::vector<char> buf(ZSTD_DStreamInSize());
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = CannotRead(patchPath, errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!decoder.feed(buf.data(), static_cast<size_t>(n), error)) {
            ok = false;
            break;
        }
    }
    ok = ok && decoder.finish(error);
    if (::close(fd.release()) != 0 && ok) {
        error = CannotRead(outPath, errno);
        ok = false;
    }
    if (!ok) (void)RemoveFile(out);
    return ok;
}

}  // namespace UpdateNew
