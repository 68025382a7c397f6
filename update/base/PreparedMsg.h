// A catalogue message split once into its literal texts and the places of its parameters,
// for a message written many times a run (the lines of every checked file): a use appends
// the pieces and the parameters to a buffer the caller reuses, instead of formatting the
// message through the catalogue again. The text is exactly what Msg<N> gives.
// A value type: built once the message table is loaded, read-only afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/Messages.h"

namespace UpdateNew {

// A message's literal texts, each followed by the number of the parameter placed after it
// (0 after the last one). Not `usable` when the two formattings disagree (the message's
// own text holds a character taken for a marker): the message is then formatted whole.
struct MsgPieces {
    std::vector<std::pair<std::wstring, unsigned>> pieces;
    bool usable = false;
};

// The pieces of a message formatted twice, once with the parameters as the characters
// `first` + 1, `first` + 2, ... and once with `second` + 1, ... as markers.
MsgPieces SplitAtMarkers(const std::wstring& withFirst, wchar_t first,
                         const std::wstring& withSecond, wchar_t second, unsigned params);

template <unsigned N>
class PreparedMsg {
public:
    PreparedMsg() : m_split(Split(std::make_index_sequence<MsgCatalogue::params(N)>())) {}

    // Appends message N with these texts as its parameters to `out`.
    template <typename... P>
    void AppendTo(std::wstring& out, const P&... params) const {
        static_assert(MsgCatalogue::params(N) == static_cast<int>(sizeof...(P)),
                      "parameter count differs from the catalogue");
        if (!m_split.usable) {
            out += Msg<N>(params...);
            return;
        }
        const std::wstring* const texts[sizeof...(P) + 1] = {&params..., nullptr};
        for (const auto& piece : m_split.pieces) {
            out += piece.first;
            if (piece.second != 0) out += *texts[piece.second - 1];
        }
    }

private:
    // Markers from the private use area, which no catalogue text holds.
    static constexpr wchar_t kFirst = 0xE000, kSecond = 0xE100;

    template <size_t... I>
    static MsgPieces Split(std::index_sequence<I...>) {
        return SplitAtMarkers(Msg<N>(std::wstring(1, static_cast<wchar_t>(kFirst + I + 1))...),
                              kFirst,
                              Msg<N>(std::wstring(1, static_cast<wchar_t>(kSecond + I + 1))...),
                              kSecond, sizeof...(I));
    }

    MsgPieces m_split;
};

}  // namespace UpdateNew
