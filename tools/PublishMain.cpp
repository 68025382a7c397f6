// update-publish: writes the server tree of a product from its description and its files.
//
//   update-publish [options] <description> <product dir> <output server dir>
//   update-publish --scramble-password=<password>
//
// Exit status: 0 published (or checked), 1 the publication failed (nothing of the new
// product is visible to clients: the master index was not replaced), 2 wrong usage.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ProductDescription.h"
#include "ProductResolver.h"
#include "PublishCipher.h"
#include "Publisher.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Interrupts.h"
#include "base/LQMResWrap.h"
#include "base/Messages.h"
#include "base/ProgramInfo.h"

using namespace UpdateNew;

namespace {

const char kUsage[] =
    "Usage: update-publish [options] <description> <product dir> <output server dir>\n"
    "       update-publish --scramble-password=<password>\n"
    "\n"
    "Reads the product description, takes the files it names from the product directory\n"
    "and writes the tree an update server serves: the gzip-compressed module files, the\n"
    "product info file, the optional product file and the master index. Files whose content\n"
    "did not change are left untouched; the master index is replaced last.\n"
    "\n"
    "Options:\n"
    "  --encrypt          encipher the product info file with the key the updater is built with\n"
    "  --key=<text>       encipher it with this key instead (implies --encrypt)\n"
    "  --date=<date>      DATE of a changed product info file, as YYYY-MM-DDTHH:MM:SSZ\n"
    "                     (default: SOURCE_DATE_EPOCH, else the newest input file's time)\n"
    "  --previous=<dir>   an earlier published tree of the product (repeatable): each\n"
    "                     changed file also gets a zstd patch from every earlier version\n"
    "                     found there that is clearly smaller than its .gz\n"
    "  --check            check the description and the product files; write nothing\n"
    "  --quiet            print nothing but errors\n"
    "  --scramble-password=<password>\n"
    "                     print the stored form of a password for the updater's\n"
    "                     configuration file (proxy-userpass, share-userpass)\n"
    "  --help             show this text\n"
    "\n"
    "The description format is documented in docs/publishing.md.\n";

// Prints a line of the message table to `stream`.
void Print(FILE* stream, const std::wstring& text) {
    std::fprintf(stream, "%s\n", ToMultibyte(text).c_str());
}

int Usage(const std::wstring& problem) {
    Print(stderr, Msg<994>(problem));
    std::fprintf(stderr, "\n%s", kUsage);
    return 2;
}

// The updater's message tables: the publisher's texts and those of the shared file,
// digest and cipher functions. The message file lies beside the executable.
bool LoadMessages() {
    std::wstring file = GetUpdaterDir() + L"update_msg.lqr";
    try {
        g_cLibMsgTable.Init(file.c_str());
        g_cMsgTable.Init(file.c_str());
    } catch (const Exception& e) {
        std::fprintf(stderr, "update-publish: cannot load the message file %s (%d)\n",
                     ToMultibyte(file).c_str(), e.code());
        return false;
    }
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    EnsureLocale();
    if (!LoadMessages()) return 1;
    PublishOptions options;
    bool check = false, quiet = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--encrypt") {
            options.encrypt = true;
        } else if (StartsWith(arg, "--key=")) {
            options.encrypt = true;
            options.key = FromMultibyte(arg.substr(6));
            if (options.key.empty() || ToMultibyte(options.key).size() > 32)
                return Usage(Msg<980>());
        } else if (StartsWith(arg, "--date=")) {
            options.date = FromMultibyte(arg.substr(7));
            if (!IsDateText(options.date)) return Usage(Msg<999>());
        } else if (StartsWith(arg, "--previous=")) {
            options.previous.push_back(FromMultibyte(arg.substr(11)));
            if (options.previous.back().empty()) return Usage(Msg<985>());
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (StartsWith(arg, "--scramble-password=")) {
            if (argc != 2) return Usage(Msg<998>());
            try {
                Print(stdout, ScramblePasswordText(FromMultibyte(arg.substr(20))));
            } catch (const Exception& e) {
                Print(stderr, Msg<994>(e.twhat()));
                return 1;
            }
            return 0;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) operands.push_back(argv[i]);
        } else if (StartsWith(arg, "-") && arg.size() > 1) {
            return Usage(Msg<997>(FromMultibyte(arg)));
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() != 3) return Usage(Msg<996>());

    try {
        std::wstring description = FromMultibyte(operands[0]);
        std::wstring productDir = FromMultibyte(operands[1]);
        std::wstring outputDir = FromMultibyte(operands[2]);
        if (description.empty() || productDir.empty() || outputDir.empty())
            return Usage(Msg<995>());
        struct stat st;
        if (stat(operands[1].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            throw Exception(Msg<990>(productDir), ERR_GENERIC);
        ProductDesc product = ReadProductDescription(description);
        std::vector<ResolvedModule> modules = ResolveProduct(product, productDir);
        if (check) {
            size_t files = 0;
            for (const ResolvedModule& module : modules) files += module.files.size();
            if (!quiet)
                Print(stdout, Msg<993>(description, static_cast<unsigned long>(modules.size()),
                                       static_cast<unsigned long>(files)));
            return 0;
        }
        if (stat(operands[0].c_str(), &st) == 0) options.inputTime = st.st_mtime;
        InstallSignalHandlers();
        PublishReport report = Publish(product, modules, outputDir, options);
        if (!quiet) {
            for (const std::wstring& rel : report.written) Print(stdout, Msg<992>(rel));
            Print(stdout, Msg<991>(static_cast<unsigned long>(report.written.size()),
                                   static_cast<unsigned long>(report.unchanged.size()),
                                   report.infoDigest, report.date));
        }
        return 0;
    } catch (const Exception& e) {
        Print(stderr, Msg<994>(e.twhat()));
        return 1;
    } catch (const std::exception& e) {
        Print(stderr, Msg<994>(FromMultibyte(e.what())));
        return 1;
    }
}
