// The one way code names a message: Msg<N>(params...) formats message N of the main
// table, MsgLib<N>(...) of the low-level table. N and the number of parameters are
// checked at compile time against the catalogue (msgres/update_msg.txt), so the code
// and the shipped message file cannot disagree.
#pragma once

#include <string>

#include "base/LQMResWrap.h"
#include "msgres/MessageCatalogue.h"  // generated from the catalogue: MsgCatalogue::params(N)

namespace UpdateNew {

template <unsigned N, typename... P>
std::wstring MsgFrom(const CLQMsgTable& table, const P&... params) {
    static_assert(MsgCatalogue::params(N) >= 0, "message number is not in the catalogue");
    static_assert(MsgCatalogue::params(N) == static_cast<int>(sizeof...(P)),
                  "parameter count differs from the catalogue");
    CLQMsg msg(table.handle(), N, CLQMsgParam(params)...);
    return msg.text();
}

template <unsigned N, typename... P>
std::wstring Msg(const P&... params) {
    return MsgFrom<N>(g_cMsgTable, params...);
}

template <unsigned N, typename... P>
std::wstring MsgLib(const P&... params) {
    return MsgFrom<N>(g_cLibMsgTable, params...);
}

}  // namespace UpdateNew
