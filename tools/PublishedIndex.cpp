#include "PublishedIndex.h"

#include <unistd.h>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "codec/CheckedTextFile.h"
#include "codec/Sha256.h"

using namespace UpdateNew;

PublishedIndex ReadPublishedIndex(const std::wstring& tree, const std::wstring& indexRel,
                                  bool strict) {
    PublishedIndex index;
    const std::wstring path = JoinPath(tree, indexRel);
    if (access(ToMultibyte(path).c_str(), F_OK) != 0) return index;
    index.present = true;
    index.sha256 = Sha256OfFile(path);
    std::vector<std::string> lines;
    std::string bad;
    if (ReadCheckedTextFile(path, lines) < 0) {
        bad = WideToUtf8(Msg<132>(path));
    } else {
        const SignedIndexParse parsed = ParseSignedIndex(lines, index.fields, bad);
        index.isSigned = parsed == SignedIndexParse::kOk;
        if (parsed != SignedIndexParse::kMalformed) return index;
    }
    if (strict) throw Exception(Msg<938>(path, Utf8ToWide(bad)), ERR_GENERIC);
    index.fields = SignedIndex();
    return index;
}

uint64_t ChooseSerial(const PublishedIndex& current, const std::wstring& output,
                      const std::vector<std::wstring>& previous, const std::wstring& indexRel,
                      uint64_t requested, time_t now) {
    uint64_t highest = current.isSigned ? current.fields.serial : 0;
    std::wstring holder = output;
    for (const std::wstring& tree : previous) {
        const PublishedIndex earlier = ReadPublishedIndex(tree, indexRel);
        if (earlier.isSigned && earlier.fields.serial > highest) {
            highest = earlier.fields.serial;
            holder = tree;
        }
    }
    if (requested != 0) {
        if (requested <= highest)
            throw Exception(Msg<986>(std::to_wstring(requested), std::to_wstring(highest), holder),
                            ERR_GENERIC);
        return requested;
    }
    // Seconds since 1970 grow between releases even when one is published into a fresh
    // directory without naming the one before.
    const uint64_t clock = now > 0 ? static_cast<uint64_t>(now) : 0;
    return highest + 1 > clock ? highest + 1 : clock;
}
