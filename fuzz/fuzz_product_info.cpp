// The product info XML reader with its document checksum check. Half of the inputs get a
// correct checksum line inserted before the end, so the reader's own handling of the
// elements is reached and not only the checksum refusal.
#include <string>

#include "FuzzInput.h"
#include "base/Exception.h"
#include "codec/FileDigest.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"
#include "product/UpdateXMLParser.h"

using namespace UpdateNew;

namespace {

// The document with "<MD5 value=...>" of the rest put before its last "</UPDATE>".
std::string WithChecksum(const std::string& doc) {
    const size_t end = doc.rfind("</UPDATE>");
    if (end == std::string::npos) return doc;
    const std::string md5 = ToMultibyte(GetDataMD5(doc.data(), doc.size()));
    return doc.substr(0, end) + "<MD5 value=\"" + md5 + "\"/>\n" + doc.substr(end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool sign = data[0] & 1;
    const bool merge = data[0] & 2;
    const bool mirror = data[0] & 4;
    std::string doc(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (sign) doc = WithChecksum(doc);
    const std::wstring path =
        fuzz::WriteInput("product.info", reinterpret_cast<const uint8_t*>(doc.data()), doc.size());

    static UpdateCallbacks* callbacks = [] {
        auto* made = new UpdateCallbacks;
        made->LoadLib(L"");
        made->LoadGuiLib(L"");
        return made;
    }();
    UpdateInfo info;
    try {
        UpdateXMLParser(&info, false, callbacks, mirror).parseFile(path);
        if (merge) UpdateXMLParser(&info, true, callbacks, mirror).parseFile(path);
    } catch (const Exception&) {
    }
    return 0;
}
