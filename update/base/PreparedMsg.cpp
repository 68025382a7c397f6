#include "base/PreparedMsg.h"

namespace UpdateNew {

namespace {

std::vector<std::pair<std::wstring, unsigned>> Pieces(const std::wstring& text, wchar_t base,
                                                      unsigned params) {
    std::vector<std::pair<std::wstring, unsigned>> pieces(1);
    for (const wchar_t c : text) {
        if (c > base && c <= static_cast<wchar_t>(base + params)) {
            pieces.back().second = static_cast<unsigned>(c - base);
            pieces.emplace_back();
        } else {
            pieces.back().first.push_back(c);
        }
    }
    return pieces;
}

}  // namespace

MsgPieces SplitAtMarkers(const std::wstring& withFirst, wchar_t first,
                         const std::wstring& withSecond, wchar_t second, unsigned params) {
    MsgPieces split;
    split.pieces = Pieces(withFirst, first, params);
    split.usable = split.pieces == Pieces(withSecond, second, params);
    return split;
}

}  // namespace UpdateNew
