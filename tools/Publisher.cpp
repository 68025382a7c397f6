#include "Publisher.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "CandidatePublication.h"
#include "ProductInfoXml.h"
#include "PublishCipher.h"
#include "PublishedIndex.h"
#include "TreeCleanup.h"
#include "TreeWriter.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/CheckedTextFile.h"
#include "codec/FileDigest.h"
#include "codec/FilePatch.h"
#include "codec/GzFile.h"
#include "codec/Minisign.h"
#include "codec/ProductInfoDecode.h"
#include "codec/Sha256.h"
#include "download/DownloadNames.h"
#include "product/SignedIndex.h"

using namespace UpdateNew;

namespace {

[[noreturn]] void Fail(const std::wstring& what) {
    throw Exception(what, ERR_GENERIC);
}

std::wstring SystemError(int err) {
    return FromMultibyte(std::strerror(err));
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    FILE* f = std::fopen(ToMultibyte(path).c_str(), "wb");
    if (f == nullptr) Fail(Msg<970>(path, SystemError(errno)));
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int err = errno;
    if (std::fclose(f) != 0 && written) {
        err = errno;
        written = false;
    }
    if (!written) Fail(Msg<970>(path, SystemError(err)));
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
    FILE* f = std::fopen(ToMultibyte(path).c_str(), "rb");
    if (f == nullptr) return false;
    bytes.clear();
    char buf[16384];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// A private directory for intermediate files (the plain and the enciphered product info);
// removed with what it holds when the publication ends.
class StagingDir {
public:
    StagingDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/update-publish.XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr)
            Fail(Msg<971>(FromMultibyte(pattern), SystemError(errno)));
        m_dir = FromMultibyte(pattern);
    }
    StagingDir(const StagingDir&) = delete;
    StagingDir& operator=(const StagingDir&) = delete;
    ~StagingDir() {
        for (const std::wstring& file : m_files) unlink(ToMultibyte(file).c_str());
        rmdir(ToMultibyte(m_dir).c_str());
    }
    // A path in the directory that is removed at the end.
    std::wstring File(const std::wstring& name) {
        m_files.push_back(JoinPath(m_dir, name));
        return m_files.back();
    }
    const std::wstring& Dir() const { return m_dir; }

private:
    std::wstring m_dir;
    std::vector<std::wstring> m_files;
};

// No two outputs may share a path, and none may stand where another needs a directory.
void CheckOutputPaths(const std::vector<std::pair<std::wstring, DescLocation>>& outputs) {
    std::map<std::wstring, const DescLocation*> seen;
    for (const auto& output : outputs) {
        auto inserted = seen.emplace(output.first, &output.second);
        if (!inserted.second)
            ThrowAt(output.second, Msg<972>(output.first, inserted.first->second->text()));
    }
    for (const auto& output : outputs) {
        std::wstring dir = GetDirPart(output.first);
        for (; !dir.empty(); dir = GetDirPart(dir)) {
            auto found = seen.find(dir);
            if (found != seen.end())
                ThrowAt(output.second, Msg<973>(output.first, dir, found->second->text()));
        }
    }
}

std::wstring ChooseDate(const PublishOptions& options, const std::vector<ResolvedModule>& modules) {
    if (!options.date.empty()) return options.date;
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && *epoch != '\0') {
        char* end = nullptr;
        errno = 0;
        long long value = std::strtoll(epoch, &end, 10);
        // Up to the last second of the year 9999, the last a DATE can write.
        if (errno != 0 || *end != '\0' || value < 0 || value > 253402300799LL)
            Fail(Msg<974>(FromMultibyte(epoch)));
        return FormatDate(static_cast<time_t>(value));
    }
    time_t newest = options.inputTime;
    for (const ResolvedModule& module : modules)
        for (const ResolvedFile& file : module.files)
            if (file.mtime > newest) newest = file.mtime;
    return FormatDate(newest);
}

// The DATE of the product info file already published, when its content (everything the
// info-file digest covers) equals `body`; otherwise empty. An unchanged product keeps its
// date, so re-publishing it rewrites nothing.
std::wstring ExistingDate(const std::wstring& target, const std::string& body,
                          const PublishOptions& options, StagingDir& staging) {
    if (access(ToMultibyte(target).c_str(), R_OK) != 0) return std::wstring();
    std::wstring compressed, plain;
    GunzipNames(target, staging.Dir(), compressed, plain);
    staging.File(GetLastComponent(plain));
    if (GunzipFile(target, staging.Dir()) != 0) return std::wstring();
    std::wstring readable = plain;
    if (IsEncipheredProductInfo(plain)) {
        readable = staging.File(L"existing.dec");
        try {
            DecipherInfoFile(plain, readable, options.key);
        } catch (const Exception&) {
            return std::wstring();
        }
    }
    std::string bytes;
    if (!ReadBytes(readable, bytes)) return std::wstring();
    const std::string marker = body + "<DATE value=\"";
    if (bytes.compare(0, marker.size(), marker) != 0) return std::wstring();
    size_t end = bytes.find("\"/>\n", marker.size());
    if (end == std::string::npos) return std::wstring();
    std::wstring date = Utf8ToWide(bytes.substr(marker.size(), end - marker.size()));
    return IsDateText(date) ? date : std::wstring();
}

// Between files an interrupt (SIGINT, SIGTERM) ends the publication; the writers then
// remove what they prepared.
void StopWhenInterrupted() {
    if (InterruptRequested()) Fail(Msg<984>());
}

std::vector<MinisignSecretKey> LoadSigningKeys(const std::vector<std::wstring>& files) {
    std::vector<MinisignSecretKey> keys;
    for (const std::wstring& file : files) {
        std::string text;
        if (!ReadBytes(file, text)) Fail(MsgLib<2>(file, SystemError(errno)));
        MinisignSecretKey key;
        switch (ParseMinisignSecretKey(text, key)) {
            case SecretKeyStatus::kOk:
                keys.push_back(key);
                break;
            case SecretKeyStatus::kEncrypted:
                Fail(Msg<934>(file));
            case SecretKeyStatus::kBadChecksum:
                Fail(Msg<935>(file));
            default:
                Fail(Msg<933>(file));
        }
    }
    return keys;
}

void Record(PublishReport& report, const std::wstring& rel, bool changed) {
    (changed ? report.written : report.unchanged).push_back(rel);
}

// A patch is kept only when it saves at least a tenth of the ".gz".
bool ClearlySmaller(uint64_t patchSize, uint64_t zipSize) {
    return patchSize * 10 < zipSize * 9;
}

// Patches from the versions of `rel` ("....gz") in the earlier trees to the file
// `source`, written beside the ".gz" and listed in `entry`.
void WritePatches(const std::wstring& rel, const std::wstring& source, InfoFileEntry& entry,
                  const PublishOptions& options, StagingDir& staging, TreeWriter& tree,
                  PublishReport& report) {
    for (const std::wstring& previous : options.previous) {
        const std::wstring earlier = JoinPath(previous, rel);
        if (access(ToMultibyte(earlier).c_str(), R_OK) != 0) continue;
        std::wstring compressed, base;
        GunzipNames(earlier, staging.Dir(), compressed, base);
        staging.File(GetLastComponent(base));
        if (GunzipFile(earlier, staging.Dir()) != 0) Fail(Msg<975>(earlier));
        const std::wstring baseMd5 = GetFileMD5(base);
        if (baseMd5.empty()) Fail(Msg<975>(base));
        bool known = baseMd5 == entry.fileMd5;
        for (const InfoPatchEntry& patch : entry.patches) known = known || patch.baseMd5 == baseMd5;
        if (known) continue;
        const std::wstring patchRel = PatchName(rel, baseMd5, entry.fileMd5);
        const std::wstring temp = tree.Prepare(patchRel);
        std::wstring error;
        struct stat st;
        if (!CreateFilePatch(base, source, temp, error) ||
            stat(ToMultibyte(temp).c_str(), &st) != 0 ||
            !ClearlySmaller(static_cast<uint64_t>(st.st_size), entry.zipSize)) {
            tree.Discard(patchRel);
            continue;
        }
        InfoPatchEntry patch;
        patch.baseMd5 = baseMd5;
        patch.size = static_cast<uint64_t>(st.st_size);
        patch.sha256 = Sha256OfFile(temp);
        if (patch.sha256.empty()) Fail(Msg<975>(temp));
        entry.patches.push_back(patch);
        Record(report, patchRel, tree.Finish(patchRel));
    }
}

// Puts a copy of the tree's file `fromRel` in place as `toRel` when the tree has the one
// and not yet the other.
void CopyInTree(const std::wstring& fromRel, const std::wstring& toRel, TreeWriter& tree,
                PublishReport& report) {
    std::string bytes;
    if (access(ToMultibyte(tree.TargetPath(toRel)).c_str(), F_OK) == 0 ||
        !ReadBytes(tree.TargetPath(fromRel), bytes))
        return;
    WriteBytes(tree.Prepare(toRel), bytes);
    Record(report, toRel, tree.Finish(toRel));
}

// The files of the publication the tree holds, under the names made from their content,
// when it has them only under their plain names (a tree written before there were such
// names): a client that fetched its index while this publication is put in place finds
// them there. `written` is the name this publication gives its own product info (empty
// when unsigned), which is not prepared twice.
void KeepReplacedPublication(const PublishedIndex& replaced, const std::wstring& indexRel,
                             const std::wstring& infoRel, const std::wstring& written,
                             TreeWriter& tree, PublishReport& report) {
    if (!replaced.isSigned) return;
    for (int n = 1; n <= replaced.fields.signatures; ++n)
        CopyInTree(IndexSignatureName(indexRel, n),
                   ContentSignatureName(indexRel, replaced.sha256, n), tree, report);
    const auto info = replaced.fields.productInfos.find(ToMultibyte(GetLastComponent(infoRel)));
    if (info != replaced.fields.productInfos.end() &&
        ContentProductInfoName(infoRel, info->second) != written &&
        Sha256OfFile(tree.TargetPath(infoRel)) == info->second)
        CopyInTree(infoRel, ContentProductInfoName(infoRel, info->second), tree, report);
}

// Adds the names made from content of the publication whose index has `fields` and
// `sha256` to `names`.
void AddContentNames(const SignedIndex& fields, const std::string& sha256,
                     const std::wstring& indexRel, const std::wstring& infoRel,
                     std::set<std::wstring>& names) {
    for (int n = 1; n <= fields.signatures; ++n)
        names.insert(ContentSignatureName(indexRel, sha256, n));
    const auto info = fields.productInfos.find(ToMultibyte(GetLastComponent(infoRel)));
    if (info != fields.productInfos.end())
        names.insert(ContentProductInfoName(infoRel, info->second));
}

}  // namespace

std::wstring FormatDate(time_t when) {
    struct tm tmv {};
    gmtime_r(&when, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return FromMultibyte(buf);
}

bool IsDateText(const std::wstring& text) {
    const wchar_t* shape = L"dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != std::wcslen(shape)) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == L'd' ? !(text[i] >= L'0' && text[i] <= L'9') : text[i] != shape[i])
            return false;
    }
    // A date of the calendar: it reads back the same from its time.
    const auto number = [&text](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - L'0');
        return value;
    };
    struct tm given = {};
    given.tm_year = number(0, 4) - 1900;
    given.tm_mon = number(5, 2) - 1;
    given.tm_mday = number(8, 2);
    given.tm_hour = number(11, 2);
    given.tm_min = number(14, 2);
    given.tm_sec = number(17, 2);
    struct tm back = given;
    const time_t seconds = timegm(&back);
    struct tm read = {};
    return gmtime_r(&seconds, &read) != nullptr && read.tm_year == given.tm_year &&
           read.tm_mon == given.tm_mon && read.tm_mday == given.tm_mday &&
           read.tm_hour == given.tm_hour && read.tm_min == given.tm_min &&
           read.tm_sec == given.tm_sec;
}

std::wstring WriteNewKeyPair(const std::wstring& base) {
    const MinisignSecretKey key = GenerateMinisignKey();
    const std::wstring pub = base + L".pub", sec = base + L".key";
    for (const std::wstring& path : {pub, sec})
        if (access(ToMultibyte(path).c_str(), F_OK) == 0) Fail(Msg<937>(path));
    // The secret key is created 0600 and never exists with wider rights.
    const std::string secret = FormatMinisignSecretKey(key);
    const int fd = open(ToMultibyte(sec).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) Fail(Msg<970>(sec, SystemError(errno)));
    const bool ok = WriteAll(fd, secret) && fsync(fd) == 0;
    const int err = errno;
    close(fd);
    if (!ok) {
        unlink(ToMultibyte(sec).c_str());
        Fail(Msg<970>(sec, SystemError(err)));
    }
    WriteBytes(pub, FormatMinisignPublicKey(key.PublicKey()));
    return FromMultibyte(key.PublicKey().IdText());
}

std::string CheckedText(const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) content += line + "\n";
    return content + "<" + WideToUtf8(GetDataMD5(content.data(), content.size())) + "\n";
}

namespace {

// The lock of one publication on its output directory. A directory it made for it goes
// again at the end while it is empty (a publication refused before it wrote anything).
class TreeLock {
public:
    explicit TreeLock(const std::wstring& outputDir) : m_path(ToMultibyte(outputDir)) {
        struct stat st;
        const bool existed = ::stat(m_path.c_str(), &st) == 0;
        int error = CreateDirectories(outputDir);
        if (error == 0 && !existed) m_made = true;
        if (error == 0) error = OpenDirectory(m_path, m_dir);
        if (error == 0 && ::flock(m_dir.get(), LOCK_EX | LOCK_NB) != 0)
            error = errno == EWOULDBLOCK ? -1 : errno;
        if (error == -1) Fail(Msg<988>(outputDir));
        if (error != 0) Fail(Msg<970>(outputDir, SystemError(error)));
    }
    ~TreeLock() {
        if (m_made) ::rmdir(m_path.c_str());  // only succeeds while still empty
    }

private:
    std::string m_path;
    UniqueFd m_dir;
    bool m_made = false;
};

}  // namespace

PublishReport Publish(const ProductDesc& product, const std::vector<ResolvedModule>& modules,
                      const std::wstring& outputDir, const PublishOptions& options) {
    const std::wstring infoRel = product.productInfo;
    // Every output with the description line it comes from; the module files first, in
    // module and file order, as the loop below writes them.
    std::vector<std::pair<std::wstring, DescLocation>> outputs;
    for (const ResolvedModule& module : modules)
        for (const ResolvedFile& file : module.files)
            outputs.emplace_back(
                JoinPath(product.updateRoot, module.desc->source, file.name) + L".gz", file.at);
    outputs.emplace_back(infoRel, product.at);
    outputs.emplace_back(product.masterIdx, product.at);
    if (product.hasProductFile) outputs.emplace_back(product.productFile, product.productFileAt);
    CheckOutputPaths(outputs);
    // One publication into a tree at a time: two at once would mix their files under one
    // index. The lock is the output directory's own (made when missing), so the tree holds
    // no file of it; the kernel drops it however the publication ends.
    const TreeLock treeLock(outputDir);

    // A mistyped earlier tree would publish no patch without a word.
    for (const std::wstring& previous : options.previous) {
        struct stat st;
        const int err = stat(ToMultibyte(previous).c_str(), &st) != 0 ? errno
                        : S_ISDIR(st.st_mode)                         ? 0
                                                                      : ENOTDIR;
        if (err != 0) Fail(Msg<1233>(previous, SystemError(err)));
    }
    // Keys are read before anything is written: a bad key fails the publication at once.
    const std::vector<MinisignSecretKey> signingKeys = LoadSigningKeys(options.signKeys);
    // So is a serial that would not be above every one published before.
    const PublishedIndex replaced =
        ReadPublishedIndex(outputDir, product.masterIdx, !signingKeys.empty());
    // A candidate needs the stable release it is published beside; a stable publication
    // drops the candidate an earlier one offered.
    std::vector<std::string> stableLines;
    if (options.rollout >= 0) stableLines = StableIndexLines(outputDir, product.masterIdx);
    const bool dropsCandidate =
        options.rollout < 0 && IndexOffersCandidate(outputDir, product.masterIdx);
    SignedIndex signedIndex;
    if (!signingKeys.empty())
        signedIndex.serial = ChooseSerial(replaced, outputDir, options.previous, product.masterIdx,
                                          options.serial, time(nullptr));

    PublishReport report;
    StagingDir staging;
    TreeWriter tree(outputDir);

    // Module files.
    std::vector<InfoModuleEntry> infoModules;
    std::vector<std::wstring> gzRels;
    std::set<std::wstring> listedPatches;
    size_t next = 0;
    for (const ResolvedModule& module : modules) {
        InfoModuleEntry infoModule;
        infoModule.desc = module.desc;
        for (const ResolvedFile& file : module.files) {
            StopWhenInterrupted();
            const std::wstring& rel = outputs[next++].first;
            InfoFileEntry entry;
            entry.name = file.name;
            entry.os = file.os;
            entry.version = file.version;
            entry.mode = file.mode;
            entry.config = file.config;
            std::string source = ToMultibyte(file.path);
            struct stat before, after;
            if (stat(source.c_str(), &before) != 0)
                ThrowAt(file.at, Msg<949>(file.path, SystemError(errno)));
            entry.fileMd5 = GetFileMD5(file.path);
            if (entry.fileMd5.empty()) {
                // Why: not readable, no longer a regular file, a link of another user.
                UniqueFd readable;
                const int err = OpenRegular(source, readable);
                ThrowAt(file.at,
                        err != 0 ? Msg<949>(file.path, SystemErrorText(err)) : Msg<975>(file.path));
            }
            std::wstring temp = tree.Prepare(rel);
            if (GzipFile(file.path, temp, "wb9") != 0) ThrowAt(file.at, Msg<976>(file.path, temp));
            struct stat zipped;
            if (stat(ToMultibyte(temp).c_str(), &zipped) != 0) Fail(Msg<975>(temp));
            entry.zipSize = static_cast<uint32_t>(zipped.st_size);
            WritePatches(rel, file.path, entry, options, staging, tree, report);
            // The digest, the compressed copy and the patches must describe the same content
            // (times to the nanosecond: a write within the same second changes them too).
            const auto same = [](const struct timespec& a, const struct timespec& b) {
                return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
            };
            if (stat(source.c_str(), &after) != 0 || after.st_size != before.st_size ||
                !same(after.st_mtim, before.st_mtim) || !same(after.st_ctim, before.st_ctim) ||
                after.st_ino != before.st_ino || before.st_size > kMaxPublishedFileSize)
                ThrowAt(file.at, Msg<977>(file.path));
            if (zipped.st_size > kMaxPublishedFileSize) ThrowAt(file.at, Msg<978>(file.path));
            entry.fileSize = static_cast<uint32_t>(before.st_size);
            entry.zipMd5 = GetFileMD5(temp);
            if (entry.zipMd5.empty()) Fail(Msg<975>(temp));
            if (!signingKeys.empty()) {
                entry.zipSha256 = Sha256OfFile(temp);
                if (entry.zipSha256.empty()) Fail(Msg<975>(temp));
            }
            Record(report, rel, tree.Finish(rel));
            gzRels.push_back(rel);
            for (const InfoPatchEntry& patch : entry.patches)
                listedPatches.insert(PatchName(rel, patch.baseMd5, entry.fileMd5));
            infoModule.files.push_back(entry);
        }
        infoModules.push_back(std::move(infoModule));
    }

    // The product info file: plain XML, optionally enciphered, then compressed.
    std::string body = ProductInfoBody(product, infoModules, !options.keepDropped);
    report.infoDigest = GetDataMD5(body.data(), body.size());
    report.date = ExistingDate(tree.TargetPath(infoRel), body, options, staging);
    if (report.date.empty()) report.date = ChooseDate(options, modules);
    std::string head = body + ProductInfoDateLine(report.date);
    std::string document = head + ProductInfoMd5Line(GetDataMD5(head.data(), head.size()));
    std::wstring plain = staging.File(L"product.info");
    WriteBytes(plain, document);
    if (GetInfoFileMD5(plain) != report.infoDigest) Fail(Msg<979>(plain));
    std::wstring toCompress = plain;
    if (options.encrypt) {
        toCompress = staging.File(L"product.info.enc");
        EncipherInfoFile(plain, toCompress, options.key);
    }
    std::wstring temp = tree.Prepare(infoRel);
    if (GzipFile(toCompress, temp, "wb9") != 0) Fail(Msg<976>(toCompress, temp));
    if (!signingKeys.empty()) {
        signedIndex.productInfos[ToMultibyte(GetLastComponent(infoRel))] = Sha256OfFile(temp);
        // Included product info files are published on their own, beside this one; the
        // signed index names their digests, so they must be there already.
        for (const ResolvedModule& module : modules)
            for (const OsValue& include : module.desc->include) {
                const std::wstring rel = JoinPath(GetDirPart(infoRel), include.value + L".gz");
                const std::string digest = Sha256OfFile(tree.TargetPath(rel));
                if (digest.empty()) ThrowAt(include.at, Msg<936>(rel));
                signedIndex.productInfos[ToMultibyte(GetLastComponent(rel))] = digest;
            }
    }
    std::wstring infoContentRel;
    if (!signingKeys.empty()) {
        // The same bytes under a name of their own, which no later publication changes.
        std::string bytes;
        if (!ReadBytes(temp, bytes)) Fail(Msg<975>(temp));
        infoContentRel = ContentProductInfoName(
            infoRel, signedIndex.productInfos[ToMultibyte(GetLastComponent(infoRel))]);
        WriteBytes(tree.Prepare(infoContentRel), bytes);
        Record(report, infoContentRel, tree.Finish(infoContentRel));
    }
    Record(report, infoRel, tree.Finish(infoRel));
    KeepReplacedPublication(replaced, product.masterIdx, infoRel, infoContentRel, tree, report);

    // The product file names the servers and the product's place on them.
    if (product.hasProductFile) {
        std::wstring servers;
        for (const std::wstring& server : product.servers)
            servers += (servers.empty() ? L"" : L",") + server;
        std::wstring infoName = GetLastComponent(infoRel);
        infoName.resize(infoName.size() - 3);  // without ".gz": the name the updater keeps it under
        std::string text = CheckedText({
            "servers=" + WideToUtf8(servers),
            "updateroot=" + WideToUtf8(product.updateRoot),
            "productinfo=" + WideToUtf8(product.productInfo),
            "productinfohash=" + WideToUtf8(infoName) + "," + WideToUtf8(report.infoDigest),
            "crdate=" + WideToUtf8(report.date),
        });
        std::wstring productTemp = tree.Prepare(product.productFile);
        WriteBytes(productTemp, text);
        if (!signingKeys.empty())
            signedIndex.productFiles[ToMultibyte(GetLastComponent(product.productFile))] =
                Sha256OfData(text.data(), text.size());
        Record(report, product.productFile, tree.Finish(product.productFile));
    }

    // The master index, last: unsigned, it changes exactly when the product's content
    // does; signed, every publication gives it a new serial and expiry.
    std::vector<std::string> indexLines = {
        "product=" + WideToUtf8(product.name),
        "version=" + WideToUtf8(product.version),
        "productinfo=" + WideToUtf8(product.productInfo),
        "productinfohash=" + WideToUtf8(report.infoDigest),
    };
    if (options.rollout >= 0) {
        // A candidate: the stable release stays what the index names first, and the
        // signatures cover its files as they did.
        indexLines = stableLines;
        for (const std::string& line :
             CandidateIndexLines(product, options.rollout, report.infoDigest))
            indexLines.push_back(line);
        for (const auto& info : replaced.fields.productInfos) signedIndex.productInfos.insert(info);
        signedIndex.productFiles = replaced.fields.productFiles;
    }
    if (!signingKeys.empty()) {
        signedIndex.expires =
            static_cast<int64_t>(time(nullptr)) + int64_t(options.expiresDays) * 86400;
        signedIndex.signatures = static_cast<int>(signingKeys.size());
        report.serial = signedIndex.serial;
        for (const std::string& line : signedIndex.Lines()) indexLines.push_back(line);
    }
    std::string index = CheckedText(indexLines);
    const std::string indexSha256 = Sha256OfData(index.data(), index.size());
    // The signatures go in place before the index they sign, each also under the name
    // made from the index's content.
    for (size_t i = 0; i < signingKeys.size(); ++i) {
        const int n = static_cast<int>(i + 1);
        const std::string comment = "timestamp:" + std::to_string(time(nullptr)) +
                                    "\tfile:" + ToMultibyte(GetLastComponent(product.masterIdx)) +
                                    "\tserial:" + std::to_string(signedIndex.serial);
        const std::string signature =
            SignMinisign(signingKeys[i], index.data(), index.size(), comment);
        for (const std::wstring& rel : {ContentSignatureName(product.masterIdx, indexSha256, n),
                                        IndexSignatureName(product.masterIdx, n)}) {
            WriteBytes(tree.Prepare(rel), signature);
            Record(report, rel, tree.Finish(rel));
        }
    }
    std::wstring indexTemp = tree.Prepare(product.masterIdx);
    WriteBytes(indexTemp, index);
    Record(report, product.masterIdx, tree.Finish(product.masterIdx));

    // Once the renames begin they all run: an interrupt stops a publication only before.
    StopWhenInterrupted();
    tree.Commit();
    // Whatever else this publication wrote stays, whatever its name.
    for (const auto& output : outputs) listedPatches.insert(output.first);
    RemoveUnlistedPatches(gzRels, listedPatches, tree, report);
    if (dropsCandidate)
        for (const std::wstring& rel :
             RemoveCandidateFiles(outputDir, product.updateRoot, product.productInfo))
            report.removed.push_back(rel);
    // The files named after content stay for the publication after this one: until then
    // a client may still work from the replaced index.
    std::set<std::wstring> contentNames(listedPatches);
    if (replaced.isSigned)
        AddContentNames(replaced.fields, replaced.sha256, product.masterIdx, infoRel, contentNames);
    if (!signingKeys.empty())
        AddContentNames(signedIndex, indexSha256, product.masterIdx, infoRel, contentNames);
    RemoveStaleSignedFiles(product.masterIdx, infoRel, signedIndex.signatures, contentNames, tree,
                           report);
    return report;
}
