#include "ProductInfoXml.h"

#include <cstdio>

#include "ProductDescription.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"

using namespace UpdateNew;

std::string XmlAttribute(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'&':
                out += L"&amp;";
                break;
            case L'<':
                out += L"&lt;";
                break;
            case L'>':
                out += L"&gt;";
                break;
            case L'"':
                out += L"&quot;";
                break;
            case L'\'':
                out += L"&apos;";
                break;
            // Attribute-value normalisation would turn these into blanks.
            case L'\t':
                out += L"&#9;";
                break;
            case L'\n':
                out += L"&#10;";
                break;
            case L'\r':
                out += L"&#13;";
                break;
            default: {
                uint32_t u = static_cast<uint32_t>(c);
                if (u < 0x20 || (u >= 0xD800 && u <= 0xDFFF) || u == 0xFFFE || u == 0xFFFF ||
                    u > 0x10FFFF)
                    throw Exception(Msg<983>(text, static_cast<unsigned long>(u)), ERR_GENERIC);
                out += c;
            }
        }
    }
    return WideToUtf8(out);
}

namespace {

void Element(std::string& out, int indent, const char* name, const std::wstring& value) {
    out.append(static_cast<size_t>(indent), ' ');
    out += '<';
    out += name;
    out += " value=\"";
    out += XmlAttribute(value);
    out += "\"/>\n";
}

// A command or destination with its optional ";OS=" limit.
void OsElements(std::string& out, const char* name, const std::vector<OsValue>& values) {
    for (const OsValue& v : values)
        Element(out, 2, name, v.os.empty() ? v.value : v.value + L";OS=" + v.os);
}

}  // namespace

std::string ProductInfoBody(const ProductDesc& product, const std::vector<InfoModuleEntry>& modules,
                            bool removeDropped) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UPDATE>\n";
    Element(out, 0, "VERSION", product.version);
    Element(out, 0, "NAME", product.name);
    // Readers that do not know this element skip it.
    if (removeDropped) Element(out, 0, "DROPPED", L"remove");
    for (const InfoModuleEntry& module : modules) {
        const ModuleDesc& desc = *module.desc;
        out += "<MODULE NAME=\"" + XmlAttribute(desc.name) + "\">\n";
        Element(out, 2, "SOURCE", desc.source);
        OsElements(out, "DESTINATION", desc.destination);
        OsElements(out, "PRE", desc.pre);
        OsElements(out, "POST", desc.post);
        OsElements(out, "UNPOST", desc.unpost);
        // Readers that know no health check skip the element.
        OsElements(out, "CHECK", desc.check);
        if (!desc.depend.empty()) Element(out, 2, "DEPEND", desc.depend);
        for (const OsValue& include : desc.include) Element(out, 2, "INCLUDE", include.value);
        for (const InfoFileEntry& file : module.files) {
            // Readers that do not know these attributes ignore them.
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", file.mode & 0777);
            out += std::string("  <FILE MODE=\"") + mode +
                   (file.config ? "\" CONFIG=\"1\">\n" : "\">\n");
            Element(out, 4, "NAME", file.name);
            Element(out, 4, "FILESIZE", std::to_wstring(file.fileSize));
            Element(out, 4, "FILEMD5", file.fileMd5);
            Element(out, 4, "ZIPSIZE", std::to_wstring(file.zipSize));
            Element(out, 4, "ZIPMD5", file.zipMd5);
            // The installed file is compared with this digest; here it covers the whole file.
            Element(out, 4, "PEFILEMD5", file.fileMd5);
            Element(out, 4, "OS", file.os);
            if (!file.version.empty()) Element(out, 4, "VERSION", file.version);
            // The signed index covers this document, and so every compressed file.
            if (!file.zipSha256.empty())
                Element(out, 4, "ZIPSHA256",
                        std::wstring(file.zipSha256.begin(), file.zipSha256.end()));
            // Readers that know nothing of patches skip these elements.
            for (const InfoPatchEntry& patch : file.patches)
                out += "    <PATCH BASEMD5=\"" + XmlAttribute(patch.baseMd5) + "\" SIZE=\"" +
                       std::to_string(patch.size) + "\" SHA256=\"" + patch.sha256 + "\"/>\n";
            out += "  </FILE>\n";
        }
        out += "</MODULE>\n";
    }
    return out;
}

std::string ProductInfoDateLine(const std::wstring& date) {
    return "<DATE value=\"" + XmlAttribute(date) + "\"/>\n";
}

std::string ProductInfoMd5Line(const std::wstring& md5) {
    return "<MD5 value=\"" + XmlAttribute(md5) + "\"/></UPDATE>\n";
}
