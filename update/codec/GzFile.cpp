#include "codec/GzFile.h"

#include <nettle/md5.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "codec/FileDigest.h"
#include "codec/StreamDigest.h"

namespace UpdateNew {

namespace {

constexpr unsigned kPiece = 64 * 1024;

bool EndsWithGz(const std::wstring& name) {
    return name.size() >= 3 && name.compare(name.size() - 3, 3, L".gz") == 0;
}

}  // namespace

void GunzipNames(const std::wstring& name, const std::wstring& outDir, std::wstring& compressed,
                 std::wstring& output) {
    if (EndsWithGz(name)) {
        compressed = name;
        output = name.substr(0, name.size() - 3);
    } else {
        compressed = name + L".gz";
        output = name;
    }
    if (!outDir.empty()) output = JoinPath(outDir, GetLastComponent(output));
}

int GunzipFile(const std::wstring& name, const std::wstring& outDir, int* outputError,
               unsigned long long maxOutput, GunzipOutput* written) {
    md5_ctx digest;
    md5_init(&digest);
    int writeError = 0;
    bool tooLarge = false;
    if (outputError != nullptr) *outputError = 0;
    std::wstring compressed, output;
    GunzipNames(name, outDir, compressed, output);
    const std::string inName = ToMultibyte(compressed);
    const std::string outName = ToMultibyte(output);

    gzFile in = inName.empty() ? nullptr : gzopen(inName.c_str(), "rbe");
    if (in == nullptr) {
        std::fprintf(stderr, "\ncan't gzopen %s\n", inName.c_str());
        return -1;
    }
    gzbuffer(in, kPiece);
    // Made anew (0666 less the umask, as fopen makes files), never written through a link.
    FILE* out = nullptr;
    const int createError = outName.empty() ? EILSEQ : CreateFileStream(outName, 0666, out);
    if (out == nullptr) {
        if (outputError != nullptr) *outputError = createError;
        std::fprintf(stderr, "\ncan't gzopen %s\n", outName.c_str());
        gzclose(in);
        return -1;
    }

    std::unique_ptr<char[]> buf(new char[kPiece]);
    bool ok = true;
    unsigned long long total = 0;
    for (;;) {
        int n = gzread(in, buf.get(), kPiece);
        if (n == 0) break;
        if (n < 0) {
            int err;
            std::fprintf(stderr, "%s\n", gzerror(in, &err));
            ok = false;
            break;
        }
        if (static_cast<unsigned long long>(n) > maxOutput - total) {
            std::fprintf(stderr, "%s: the data decompresses to more than %llu bytes\n",
                         inName.c_str(), maxOutput);
            tooLarge = true;
            ok = false;
            break;
        }
        total += static_cast<unsigned long long>(n);
        if (written != nullptr)
            md5_update(&digest, static_cast<size_t>(n),
                       reinterpret_cast<const uint8_t*>(buf.get()));
        errno = 0;
        if (std::fwrite(buf.get(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            writeError = errno != 0 ? errno : EIO;
            std::fprintf(stderr, "failed fwrite %s: %s\n", outName.c_str(),
                         std::strerror(writeError));
            ok = false;
            break;
        }
    }
    // Buffered data reaches the disk here: a full disk may show only now.
    if (std::fclose(out) != 0) {
        if (ok) {
            writeError = errno;
            std::fprintf(stderr, "failed fclose %s: %s\n", outName.c_str(),
                         std::strerror(writeError));
        }
        ok = false;
    }
    if (gzclose(in) != Z_OK) {
        if (ok) std::fprintf(stderr, "failed gzclose\n");
        ok = false;
    }
    if (!ok) (void)RemoveFile(outName);
    if (outputError != nullptr && writeError != 0) *outputError = writeError;
    if (ok && written != nullptr) {
        unsigned char bytes[MD5_DIGEST_SIZE];
        md5_digest(&digest, sizeof bytes, bytes);
        written->size = total;
        written->md5 = DigestToText(bytes);
    }
    if (ok) return 0;
    return tooLarge ? -2 : -1;
}

bool InflateOneMember(int inFd, unsigned long long inSize, int outFd, unsigned long long maxOutput,
                      GunzipOutput& written, const std::atomic<bool>* stop) {
    constexpr size_t kInPiece = 4 * kPiece, kOutPiece = 4 * kPiece;
    // Allocated once per thread: a fresh mapping per file would cost its page faults.
    thread_local std::unique_ptr<unsigned char[]> inBuf(new unsigned char[kInPiece]);
    thread_local std::unique_ptr<unsigned char[]> outBuf(new unsigned char[kOutPiece]);
    z_stream z{};
    // 16 + MAX_WBITS: a gzip wrapper only, as gzread reads a file that starts with one.
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    StreamDigest digest(StreamDigest::Kind::kMd5);
    unsigned long long offset = 0, total = 0;
    int rc = Z_OK;
    bool ok = true;
    while (ok && rc != Z_STREAM_END) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) ok = false;
        if (!ok || offset >= inSize) break;  // the member ends after the input: truncated
        const size_t want =
            static_cast<size_t>(std::min<unsigned long long>(kInPiece, inSize - offset));
        const ssize_t got = ::pread(inFd, inBuf.get(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        // Without the gzip magic gzread copies the data as it is: not for this path.
        if (offset == 0 && (got < 2 || inBuf[0] != 0x1f || inBuf[1] != 0x8b)) break;
        offset += static_cast<unsigned long long>(got);
        z.next_in = inBuf.get();
        z.avail_in = static_cast<uInt>(got);
        while (ok && rc != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0)) {
            z.next_out = outBuf.get();
            z.avail_out = static_cast<uInt>(kOutPiece);
            rc = inflate(&z, Z_NO_FLUSH);
            // No progress with all input taken: the output was full; the next piece goes on.
            if (rc == Z_BUF_ERROR && z.avail_in == 0) rc = Z_OK;
            if (rc != Z_OK && rc != Z_STREAM_END) ok = false;
            const size_t have = kOutPiece - z.avail_out;
            if (!ok || have == 0) continue;
            if (have > maxOutput - total) ok = false;
            if (ok) digest.Update(outBuf.get(), have);
            if (ok && !WriteAll(outFd, outBuf.get(), have)) ok = false;
            total += have;
        }
        // A second member or trailing bytes: gzread would go on reading them.
        if (rc == Z_STREAM_END && (z.avail_in > 0 || offset < inSize)) ok = false;
    }
    inflateEnd(&z);
    if (!ok || rc != Z_STREAM_END) return false;
    written.size = total;
    written.md5 = digest.Md5Text();
    return true;
}

int GzipFile(const std::wstring& source, const std::wstring& target, const char* mode) {
    const std::string inName = ToMultibyte(source);
    const std::string outName = ToMultibyte(target);
    FILE* in = inName.empty() ? nullptr : std::fopen(inName.c_str(), "rbe");
    if (in == nullptr) {
        std::perror(inName.c_str());
        return -1;
    }
    // "e": close-on-exec, as every descriptor of the updater.
    const std::string outMode = std::string(mode ? mode : "wb") + "e";
    gzFile out = outName.empty() ? nullptr : gzopen(outName.c_str(), outMode.c_str());
    if (out == nullptr) {
        std::fprintf(stderr, "can't gzopen %s\n", outName.c_str());
        std::fclose(in);
        return -1;
    }
    gzbuffer(out, kPiece);

    std::unique_ptr<char[]> buf(new char[kPiece]);
    bool ok = true;
    for (;;) {
        size_t n = std::fread(buf.get(), 1, kPiece, in);
        if (std::ferror(in)) {
            // A read error ends this compression only, not the process.
            std::perror("fread");
            ok = false;
            break;
        }
        if (n == 0) break;
        if (gzwrite(out, buf.get(), static_cast<unsigned>(n)) != static_cast<int>(n)) {
            int err;
            std::fprintf(stderr, "%s\n", gzerror(out, &err));
            ok = false;
            break;
        }
    }
    std::fclose(in);
    if (gzclose(out) != Z_OK) {
        if (ok) std::fprintf(stderr, "failed gzclose\n");
        ok = false;
    }
    if (!ok) ::unlink(outName.c_str());
    return ok ? 0 : -1;
}

}  // namespace UpdateNew
