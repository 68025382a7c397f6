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

#include "CandidatePublication.h"
#include "CommandCheck.h"
#include "ProductDescription.h"
#include "ProductResolver.h"
#include "PublishCipher.h"
#include "PublishCommandLine.h"
#include "Publisher.h"
#include "base/Console.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Interrupts.h"
#include "base/LQMResWrap.h"
#include "base/Messages.h"
#include "base/ProgramInfo.h"

using namespace UpdateNew;

namespace {

// Prints a line of the message table to `stream`.
void Print(FILE* stream, const std::wstring& text) {
    std::fprintf(stream, "%s\n", ToMultibyte(text).c_str());
}

int Usage(const std::wstring& problem) {
    Print(stderr, Msg<994>(problem));
    std::fprintf(stderr, "\n%s", PublishUsage().c_str());
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

}  // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    EnsureLocale();
    if (!LoadMessages()) return 1;
    PublishCommandLine line;
    std::wstring problem = ParsePublishCommandLine(argc, argv, line);
    if (!problem.empty()) return Usage(problem);
    if (line.finished >= 0) return line.finished;
    const std::vector<std::string>& operands = line.operands;
    PublishOptions& options = line.options;
    const bool check = line.check, quiet = line.quiet;
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
        for (const std::wstring& warning : CheckModuleCommands(modules)) Print(stderr, warning);
        for (const std::wstring& warning : SelfUpdateWarnings(modules))
            Print(stderr, Msg<994>(warning));
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
        if (options.rollout >= 0) MakeCandidate(product);
        PublishReport report = Publish(product, modules, outputDir, options);
        for (const std::wstring& warning : report.warnings) Print(stderr, Msg<994>(warning));
        if (!quiet) {
            for (const std::wstring& rel : report.written) Print(stdout, Msg<992>(rel));
            for (const std::wstring& rel : report.removed) Print(stdout, Msg<841>(rel));
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
