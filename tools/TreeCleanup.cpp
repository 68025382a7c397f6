#include "TreeCleanup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>

#include "base/Conv.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "product/SignedIndex.h"

using namespace UpdateNew;

namespace {

// The names in the tree's directory `dirRel` that `wanted` picks, as relative paths.
template <typename Wanted>
std::vector<std::wstring> NamesIn(const TreeWriter& tree, const std::wstring& dirRel,
                                  const Wanted& wanted) {
    std::vector<std::wstring> found;
    DIR* d = opendir(ToMultibyte(dirRel.empty() ? tree.Root() : tree.TargetPath(dirRel)).c_str());
    if (d == nullptr) return found;
    while (struct dirent* e = readdir(d))
        if (wanted(std::string(e->d_name)))
            found.push_back(JoinPath(dirRel, FromMultibyte(e->d_name)));
    closedir(d);
    return found;
}

void RemoveRegularFile(const std::wstring& rel, const TreeWriter& tree, PublishReport& report) {
    const std::string path = ToMultibyte(tree.TargetPath(rel));
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (unlink(path.c_str()) == 0)
        report.removed.push_back(rel);
    else if (errno != ENOENT)
        report.warnings.push_back(
            MsgLib<8>(tree.TargetPath(rel), FromMultibyte(std::strerror(errno))));
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// `text` holds kContentNameDigits lowercase hex digits from `pos` on.
bool HexAt(const std::string& text, size_t pos) {
    if (text.size() < pos + kContentNameDigits) return false;
    for (size_t i = pos; i < pos + kContentNameDigits; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])) && (text[i] < 'a' || text[i] > 'f'))
            return false;
    return true;
}

// The number n of a signature file name "<base>.minisig" (1) or "<base>.minisig.<n>",
// 0 for another name.
unsigned long SignatureNumber(const std::string& name, const std::string& base) {
    const std::string plain = base + ".minisig";
    if (name == plain) return 1;
    if (!StartsWith(name, plain + ".") || name.size() == plain.size() + 1) return 0;
    const std::string digits = name.substr(plain.size() + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0' ||
        digits.size() > 3)
        return 0;
    return std::strtoul(digits.c_str(), nullptr, 10);
}

}  // namespace

void RemoveUnlistedPatches(const std::vector<std::wstring>& gzRels,
                           const std::set<std::wstring>& listed, const TreeWriter& tree,
                           PublishReport& report) {
    std::map<std::wstring, std::set<std::string>> stems;  // directory -> names without ".gz"
    for (const std::wstring& rel : gzRels) {
        const std::wstring name = GetLastComponent(rel);
        stems[GetDirPart(rel)].insert(ToMultibyte(name.substr(0, name.size() - 3)));
    }
    // <name>.<base digest>[-<target digest>].patch
    static const std::regex kPatch(R"(^(.+)\.[0-9a-f]{32}(-[0-9a-f]{32})?\.patch$)");
    for (const auto& dir : stems) {
        const auto unlisted = NamesIn(tree, dir.first, [&](const std::string& name) {
            std::smatch match;
            return std::regex_match(name, match, kPatch) && dir.second.count(match[1].str()) &&
                   !listed.count(JoinPath(dir.first, FromMultibyte(name)));
        });
        for (const std::wstring& rel : unlisted) RemoveRegularFile(rel, tree, report);
    }
}

void RemoveStaleSignedFiles(const std::wstring& indexRel, const std::wstring& infoRel,
                            int signatures, const std::set<std::wstring>& keep,
                            const TreeWriter& tree, PublishReport& report) {
    const std::string index = ToMultibyte(GetLastComponent(indexRel));
    std::string info = ToMultibyte(GetLastComponent(infoRel));
    if (info.size() > 3 && info.compare(info.size() - 3, 3, ".gz") == 0)
        info.resize(info.size() - 3);
    // <index>.minisig.<n> beyond the count; <index>.<digits>.minisig[.<n>]
    const size_t digits = index.size() + 1;
    std::vector<std::wstring> stale =
        NamesIn(tree, GetDirPart(indexRel), [&](const std::string& name) {
            return SignatureNumber(name, index) > static_cast<unsigned long>(signatures) ||
                   (StartsWith(name, index + ".") && HexAt(name, digits) &&
                    SignatureNumber(name, name.substr(0, digits + kContentNameDigits)) != 0);
        });
    // <info without .gz>.<digits>.gz
    const size_t infoDigits = info.size() + 1;
    for (const std::wstring& rel : NamesIn(tree, GetDirPart(infoRel), [&](const std::string& name) {
             return StartsWith(name, info + ".") && HexAt(name, infoDigits) &&
                    name.compare(infoDigits + kContentNameDigits, std::string::npos, ".gz") == 0;
         }))
        stale.push_back(rel);
    for (const std::wstring& rel : stale)
        if (!keep.count(rel)) RemoveRegularFile(rel, tree, report);
}
