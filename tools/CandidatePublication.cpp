#include "CandidatePublication.h"

#include <sys/stat.h>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/StringUtils.h"
#include "codec/CheckedTextFile.h"

using namespace UpdateNew;

namespace {

const wchar_t kCandidateDir[] = L"candidate";
const wchar_t kInfoSuffix[] = L".info.gz";

bool Exists(const std::wstring& path) {
    struct stat st;
    return ::lstat(ToMultibyte(path).c_str(), &st) == 0;
}

bool ReadIndexLines(const std::wstring& outputDir, const std::wstring& indexRel,
                    std::vector<std::string>& lines) {
    return ReadCheckedTextFile(JoinPath(outputDir, indexRel), lines, kCheckedTextMaxFileBytes) >= 0;
}

}  // namespace

bool LiesAmongCandidates(const std::wstring& path, bool isFile) {
    if (isFile && EndsWith(path, L".candidate.info.gz")) return true;
    // A directory "candidate", and below it a name like a product info's: a candidate's
    // directory, or what stands in its place (a withdrawal removes it too).
    const std::wstring slashed = ToSlashes(path);
    bool below = false;
    for (size_t start = 0; start <= slashed.size();) {
        size_t end = slashed.find(L'/', start);
        if (end == std::wstring::npos) end = slashed.size();
        const std::wstring part = slashed.substr(start, end - start);
        if (below && EndsWith(part, kInfoSuffix)) return true;
        below = below || part == kCandidateDir;
        start = end + 1;
    }
    return false;
}

std::wstring CandidateInfoPath(const std::wstring& stableInfo) {
    const size_t stem = stableInfo.size() - (sizeof kInfoSuffix / sizeof(wchar_t) - 1);
    return stableInfo.substr(0, stem) + L".candidate" + kInfoSuffix;
}

// The candidate's module files lie below a directory named after the stable product info's
// whole path: no two products share it, and none lies inside another's, as the path of one
// product info is never a directory of another's (a name alone, or a name without its
// suffix, would let demo/demo.info.gz and other/demo.info.gz, or a.info.gz and
// a/b.info.gz, remove each other's candidates).
std::wstring CandidateFilesDir(const std::wstring& stableInfo) {
    return JoinPath(kCandidateDir, ToSlashes(stableInfo));
}

void MakeCandidate(ProductDesc& product) {
    const std::wstring dir = CandidateFilesDir(product.productInfo);
    product.productInfo = CandidateInfoPath(product.productInfo);
    product.hasProductFile = false;  // the stable release's product file stays
    for (ModuleDesc& module : product.modules)
        module.source = module.source.empty() ? dir : JoinPath(dir, module.source);
}

std::vector<std::string> StableIndexLines(const std::wstring& outputDir,
                                          const std::wstring& indexRel) {
    std::vector<std::string> lines;
    std::vector<std::string> stable;
    const bool read = ReadIndexLines(outputDir, indexRel, lines);
    for (const char* key : {"product=", "version=", "productinfo=", "productinfohash="})
        for (const std::string& line : lines)
            if (line.compare(0, std::char_traits<char>::length(key), key) == 0) {
                stable.push_back(line);
                break;
            }
    if (!read || stable.size() != 4)
        throw Exception(Msg<1221>(outputDir, JoinPath(outputDir, indexRel)), ERR_GENERIC);
    return stable;
}

bool IndexOffersCandidate(const std::wstring& outputDir, const std::wstring& indexRel) {
    std::vector<std::string> lines;
    if (!ReadIndexLines(outputDir, indexRel, lines)) return false;
    for (const std::string& line : lines)
        if (line.compare(0, 14, "candidateinfo=") == 0) return true;
    return false;
}

std::vector<std::string> CandidateIndexLines(const ProductDesc& candidate, int share,
                                             const std::wstring& infoDigest) {
    return {"candidateversion=" + WideToUtf8(candidate.version),
            "candidateshare=" + std::to_string(share),
            "candidateinfo=" + WideToUtf8(GetLastComponent(candidate.productInfo)),
            "candidateinfohash=" + WideToUtf8(infoDigest)};
}

std::vector<std::wstring> RemoveCandidateFiles(const std::wstring& outputDir,
                                               const std::wstring& updateRoot,
                                               const std::wstring& stableInfo) {
    std::vector<std::wstring> removed;
    for (const std::wstring& rel :
         {CandidateInfoPath(stableInfo), JoinPath(updateRoot, CandidateFilesDir(stableInfo))}) {
        const std::wstring path = JoinPath(outputDir, rel);
        if (!Exists(path)) continue;
        RemoveDirectoryTree(path);
        if (Exists(path)) DeleteFile(path, true);
        removed.push_back(rel);
    }
    // The directory of all candidates goes with the last of them.
    RemoveEmptyDirectories(JoinPath(outputDir, updateRoot, kCandidateDir));
    return removed;
}
