#include "codec/GzipMemberInflater.h"

#include <isa-l/igzip_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/FileUtils.h"

namespace UpdateNew {

namespace {

constexpr size_t kInPiece = 256 * 1024, kOutPiece = 256 * 1024;

// The ten bytes of a member header without optional fields: magic, deflate, no flags (the
// time, extra flags and system bytes that follow are read by neither library).
bool IsPlainHeader(const unsigned char* p, size_t n) {
    return n >= 10 && p[0] == 0x1f && p[1] == 0x8b && p[2] == 8 && p[3] == 0;
}

}  // namespace

GzipMemberInflater::GzipMemberInflater()
    : m_state(new inflate_state),
      m_in(new unsigned char[kInPiece]),
      m_out(new unsigned char[kOutPiece]) {}

GzipMemberInflater::~GzipMemberInflater() = default;

bool GzipMemberInflater::Inflate(int inFd, unsigned long long inSize, int outFd,
                                 unsigned long long maxOutput, GunzipOutput& written,
                                 const std::atomic<bool>* stop, bool digest) {
    inflate_state& z = *m_state;
    isal_inflate_init(&z);
    // The header is read, and the trailer's CRC-32 and length checked, as zlib does.
    z.crc_flag = ISAL_GZIP;
    m_digest.Reset(StreamDigest::Kind::kMd5);
    unsigned long long offset = 0, total = 0;
    bool ok = true;
    while (ok && z.block_state != ISAL_BLOCK_FINISH) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) ok = false;
        if (!ok || offset >= inSize) break;  // the member ends after the input: truncated
        const size_t want =
            static_cast<size_t>(std::min<unsigned long long>(kInPiece, inSize - offset));
        const ssize_t got = ::pread(inFd, m_in.get(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        // Not gzip (gzread copies it as it is), or header fields: the zlib path's.
        if (offset == 0 && !IsPlainHeader(m_in.get(), static_cast<size_t>(got))) break;
        offset += static_cast<unsigned long long>(got);
        z.next_in = m_in.get();
        z.avail_in = static_cast<uint32_t>(got);
        // Each call takes input until it runs out, the output is full or the member ends; a
        // full output may leave more to come from the same input.
        do {
            z.next_out = m_out.get();
            z.avail_out = static_cast<uint32_t>(kOutPiece);
            const uint32_t before = z.avail_in;
            if (isal_inflate(&z) != ISAL_DECOMP_OK) ok = false;
            const size_t have = kOutPiece - z.avail_out;
            if (have == 0 && z.avail_in > 0 && z.avail_in == before) ok = false;  // no progress
            if (!ok || have == 0) continue;
            if (have > maxOutput - total) ok = false;
            if (ok && digest) m_digest.Update(m_out.get(), have);
            if (ok && !WriteAll(outFd, m_out.get(), have)) ok = false;
            total += have;
        } while (ok && z.block_state != ISAL_BLOCK_FINISH && (z.avail_in > 0 || z.avail_out == 0));
        // A second member or trailing bytes: gzread would go on reading them.
        if (z.block_state == ISAL_BLOCK_FINISH && (z.avail_in > 0 || offset < inSize)) ok = false;
    }
    if (!ok || z.block_state != ISAL_BLOCK_FINISH) return false;
    written.size = total;
    written.md5 = digest ? m_digest.Md5Text() : std::wstring();
    return true;
}

}  // namespace UpdateNew
