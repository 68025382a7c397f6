#include "codec/GzFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/FileDigest.h"
#include "codec/GzipMemberInflater.h"
#include "codec/Md5.h"

namespace UpdateNew {

namespace {

constexpr unsigned kPiece = 64 * 1024;

bool EndsWithGz(const std::wstring& name) {
    return name.size() >= 3 && name.compare(name.size() - 3, 3, L".gz") == 0;
}

// GunzipFile by the faster decoder: true when it took the input and the output is complete
// (with `written` filled when given); otherwise nothing is left under `outName` and zlib's
// way, which reports what went wrong, is still to be taken.
bool InflateFast(const std::string& inName, const std::string& outName,
                 unsigned long long maxOutput, GunzipOutput* written) {
    // Read only; O_NONBLOCK so that a FIFO at the name cannot hold the run.
    UniqueFd in(::open(inName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    UniqueFd out;
    if (CreateFile(outName, 0666, out) != 0) return false;
    GunzipOutput local;
    bool ok = InflateOneMember(in.get(), static_cast<unsigned long long>(st.st_size), out.get(),
                               maxOutput, written != nullptr ? *written : local, nullptr,
                               written != nullptr);
    if (out.close() != 0) ok = false;
    if (!ok) (void)RemoveFile(outName);
    return ok;
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
    Md5 digest;
    int writeError = 0;
    bool tooLarge = false;
    if (outputError != nullptr) *outputError = 0;
    std::wstring compressed, output;
    GunzipNames(name, outDir, compressed, output);
    const std::string inName = ToMultibyte(compressed);
    const std::string outName = ToMultibyte(output);

    if (!inName.empty() && !outName.empty() && InflateFast(inName, outName, maxOutput, written))
        return 0;
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
        if (written != nullptr) digest.Update(buf.get(), static_cast<size_t>(n));
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
        unsigned char bytes[Md5::kSize];
        digest.Final(bytes);
        written->size = total;
        written->md5 = DigestToText(bytes);
    }
    if (ok) return 0;
    return tooLarge ? -2 : -1;
}

bool InflateOneMember(int inFd, unsigned long long inSize, int outFd, unsigned long long maxOutput,
                      GunzipOutput& written, const std::atomic<bool>* stop, bool digest) {
    // Made once per thread: a fresh decoder and buffers per file would cost their page faults.
    thread_local GzipMemberInflater inflater;
    return inflater.Inflate(inFd, inSize, outFd, maxOutput, written, stop, digest);
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
