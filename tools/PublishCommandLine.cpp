#include "PublishCommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ProductDescription.h"
#include "PublishCipher.h"
#include "base/Console.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "config/UpdateParameters.h"

namespace UpdateNew {

namespace {

// Applies one option's value (empty for a switch). Returns the empty text, or the problem.
using Apply = std::wstring (*)(const std::string& value, PublishCommandLine& line);

// One row per option, in the order of the usage text. `value` is the placeholder of the
// option's value ("<text>"), null for a switch; `alone`: only valid as the sole argument.
struct PublishOptionRow {
    const char* name;
    const char* shortName;
    const char* value;
    bool alone;
    Apply apply;
    const char* help;
};

std::wstring Encrypt(const std::string&, PublishCommandLine& line) {
    line.options.encrypt = true;
    return {};
}

std::wstring Key(const std::string& value, PublishCommandLine& line) {
    line.options.encrypt = true;
    line.options.key = FromMultibyte(value);
    if (line.options.key.empty() || value.size() > 32) return Msg<980>();
    return {};
}

std::wstring Date(const std::string& value, PublishCommandLine& line) {
    line.options.date = FromMultibyte(value);
    return IsDateText(line.options.date) ? std::wstring() : Msg<999>();
}

std::wstring Previous(const std::string& value, PublishCommandLine& line) {
    if (value.empty()) return Msg<985>();
    line.options.previous.push_back(FromMultibyte(value));
    return {};
}

std::wstring Rollout(const std::string& value, PublishCommandLine& line) {
    if (value.empty() || value.size() > 3 ||
        value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) > 100)
        return Msg<1220>(FromMultibyte(value));
    line.options.rollout = std::stoi(value);
    return {};
}

std::wstring KeepDropped(const std::string&, PublishCommandLine& line) {
    line.options.keepDropped = true;
    return {};
}

std::wstring Check(const std::string&, PublishCommandLine& line) {
    line.check = true;
    return {};
}

std::wstring Quiet(const std::string&, PublishCommandLine& line) {
    line.quiet = true;
    return {};
}

void PrintLine(FILE* stream, const std::wstring& text) {
    std::fprintf(stream, "%s\n", ToMultibyte(text).c_str());
}

std::wstring Scramble(const std::string& value, PublishCommandLine& line) {
    try {
        PrintLine(stdout, ScramblePasswordText(FromMultibyte(value)));
        line.finished = 0;
    } catch (const Exception& e) {
        PrintLine(stderr, Msg<994>(e.twhat()));
        line.finished = 1;
    }
    return {};
}

std::wstring SignKey(const std::string& value, PublishCommandLine& line) {
    if (value.empty()) return Msg<933>(L"\"\"");
    line.options.signKeys.push_back(FromMultibyte(value));
    return {};
}

std::wstring Expires(const std::string& value, PublishCommandLine& line) {
    char* end = nullptr;
    const long days = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || days < 1 || days > 3650)
        return Msg<838>(FromMultibyte(value));
    line.options.expiresDays = static_cast<int>(days);
    return {};
}

std::wstring Serial(const std::string& value, PublishCommandLine& line) {
    // The updater reads serials of at most 18 digits.
    if (value.empty() || value.size() > 18 || value[0] == '0' ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return Msg<987>(FromMultibyte(value));
    line.options.serial = std::strtoull(value.c_str(), nullptr, 10);
    return {};
}

std::wstring NewKey(const std::string& value, PublishCommandLine& line) {
    if (value.empty()) return Msg<839>();
    try {
        const std::wstring base = FromMultibyte(value);
        PrintLine(stdout, Msg<939>(base, WriteNewKeyPair(base)));
        line.finished = 0;
    } catch (const Exception& e) {
        PrintLine(stderr, Msg<994>(e.twhat()));
        line.finished = 1;
    }
    return {};
}

std::wstring Version(const std::string&, PublishCommandLine& line) {
    std::printf("update-publish %s\n", ToMultibyte(CUpdateParameters::kProductVersion).c_str());
    line.finished = AnswerWritten(L"The version") ? 0 : 1;
    return {};
}

std::wstring Help(const std::string&, PublishCommandLine& line) {
    std::fputs(PublishUsage().c_str(), stdout);
    line.finished = AnswerWritten(L"The usage") ? 0 : 1;
    return {};
}

const PublishOptionRow kPublishOptions[] = {
    {"--encrypt", nullptr, nullptr, false, Encrypt,
     "encipher the product info file with the key the updater is built with"},
    {"--key", nullptr, "<text>", false, Key,
     "encipher it with this key instead (implies --encrypt)"},
    {"--date", nullptr, "<date>", false, Date,
     "DATE of a changed product info file, as YYYY-MM-DDTHH:MM:SSZ\n"
     "(default: SOURCE_DATE_EPOCH, else the newest input file's time)"},
    {"--sign-key", nullptr, "<file>", false, SignKey,
     "sign the master index with this minisign secret key (repeatable:\n"
     "one signature per key); adds serial, expiry and SHA-256 digests"},
    {"--expires", nullptr, "<days>", false, Expires,
     "days until a signed master index expires, 1 to 3650 (default 30)"},
    {"--serial", nullptr, "<n>", false, Serial,
     "the serial of the signed master index; it must be above every\n"
     "serial in the output and --previous trees (default: one above\n"
     "them, at least the time in seconds since 1970)"},
    {"--new-key", nullptr, "<base>", false, NewKey,
     "write a new key pair: <base>.pub and the unencrypted <base>.key"},
    {"--previous", nullptr, "<dir>", false, Previous,
     "an earlier published tree of the product (repeatable): each\n"
     "changed file also gets a zstd patch from every earlier version\n"
     "found there that is clearly smaller than its .gz"},
    {"--rollout", nullptr, "<percent>", false, Rollout,
     "publish the release as a candidate beside the published stable\n"
     "release, taken by this share of machines (0 halts it); publishing\n"
     "without --rollout withdraws it, or promotes it when it is its product"},
    {"--keep-dropped", nullptr, nullptr, false, KeepDropped,
     "do not ask updaters to remove installed files that the product\n"
     "no longer lists (they are removed by default)"},
    {"--check", nullptr, nullptr, false, Check,
     "check the description and the product files; write nothing"},
    {"--quiet", "-q", nullptr, false, Quiet, "print nothing but warnings and errors"},
    {"--scramble-password", nullptr, "<password>", true, Scramble,
     "print the stored form of a password for the updater's\n"
     "configuration file (proxy-userpass, share-userpass)"},
    {"--version", nullptr, nullptr, false, Version, "show the version"},
    {"--help", "-h", nullptr, false, Help, "show this text"},
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string PublishUsage() {
    std::string text =
        "Usage: update-publish [options] <description> <product dir> <output server dir>\n"
        "       update-publish --scramble-password=<password>\n"
        "\n"
        "Reads the product description, takes the files it names from the product directory\n"
        "and writes the tree an update server serves: the gzip-compressed module files, the\n"
        "product info file, the optional product file and the master index. Files whose "
        "content\n"
        "did not change are left untouched; the master index is replaced last.\n"
        "\n"
        "Options:\n";
    const size_t column = 21;  // where the help text starts
    for (const PublishOptionRow& row : kPublishOptions) {
        std::string entry = std::string("  ") + row.name;
        if (row.value) entry += std::string("=") + row.value;
        std::string help = row.help;
        size_t pos = 0;
        bool first = true;
        while (pos <= help.size()) {
            size_t end = help.find('\n', pos);
            if (end == std::string::npos) end = help.size();
            std::string line = help.substr(pos, end - pos);
            if (first && entry.size() + 1 <= column) {
                text += entry + std::string(column - entry.size(), ' ') + line + "\n";
            } else {
                if (first) text += entry + "\n";
                text += std::string(column, ' ') + line + "\n";
            }
            first = false;
            pos = end + 1;
        }
    }
    text += "\nThe description format is documented in update-publish(1) and docs/publishing.md.\n";
    return text;
}

std::wstring ParsePublishCommandLine(int argc, char** argv, PublishCommandLine& line) {
    for (int i = 1; i < argc && line.finished < 0; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i) line.operands.push_back(argv[i]);
            break;
        }
        if (!StartsWith(arg, "-") || arg.size() == 1) {
            line.operands.push_back(arg);
            continue;
        }
        const PublishOptionRow* match = nullptr;
        std::string value;
        for (const PublishOptionRow& row : kPublishOptions) {
            if (row.value && StartsWith(arg, std::string(row.name) + "=")) {
                value = arg.substr(std::strlen(row.name) + 1);
            } else if (row.value || (arg != row.name && !(row.shortName && arg == row.shortName))) {
                continue;
            }
            match = &row;
            break;
        }
        if (!match) {
            for (const PublishOptionRow& row : kPublishOptions)
                if (row.value && arg == row.name) return Msg<1237>(FromMultibyte(arg));
            return Msg<997>(FromMultibyte(arg));
        }
        if (match->alone && argc != 2) return match->apply == NewKey ? Msg<839>() : Msg<998>();
        std::wstring problem = match->apply(value, line);
        if (!problem.empty()) return problem;
    }
    return {};
}

}  // namespace UpdateNew
