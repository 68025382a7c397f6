// The updater's own option table: one row per option of the command line (in
// UpdateParameters.cpp: name, id, kind, default, help, dependency, what applying sets), the rule on
// which server options belong together, and how each value reaches the configuration.
// The configuration owns one table and calls parseCommandLine, then applyPluginOptions,
// then (after its own preparation steps) applyOptions.
#pragma once

#include <map>
#include <string>

#include "config/Parameters.h"
#include "config/UpdateOptionTarget.h"

namespace UpdateNew {

// Option ids shared by the rest of the updater. Each id has its row in the table in
// UpdateParameters.cpp; a new option is an id here and a row there.
enum EUpdateOptionId : int32_t {
    OPT_RETRIES = 0,
    OPT_TIMEOUT = 1,
    OPT_PROXY_SERVER = 2,
    OPT_PROXY_PORT = 3,
    OPT_PROXY_USERNAME = 4,
    OPT_PROXY_USERPASS = 5,
    OPT_SHARE_USERNAME = 6,
    OPT_SHARE_USERPASS = 7,
    OPT_INSTALL_PATH = 8,
    OPT_CONFIG_FILE = 9,
    OPT_URL = 10,
    OPT_URL_NUMBERED = 11,
    OPT_ADD_VAR_PAIR = 12,
    OPT_HELP = 13,
    OPT_URL_FILE = 14,
    OPT_PRODUCT_INFO_FILE = 15,
    OPT_BACKUP_DIR = 16,
    OPT_LOGFILE = 17,
    OPT_MIRROR = 18,
    OPT_DEFAULT_SERVER = 19,
    OPT_MASTER_IDX = 20,
    OPT_PRODUCT_FILE = 21,
    OPT_PRODUCT_ROOT = 22,
    OPT_GUILIB = 23,
    OPT_UPDATELIB = 24,
    OPT_TMPDIR = 25,
    OPT_USERAGENT = 26,
    OPT_NOSELFUPDATE = 27,
    OPT_COPYACTION = 28,
    OPT_EXECACTION = 29,
    OPT_IDX_LOCAL_NAME = 30,
    OPT_CHECKDIRTY = 31,
    OPT_IGNORE_SERVER_LIST = 32,
    OPT_TMP_FILES_LIST = 33,
    OPT_IGNORE_MASTER_IDX = 34,
    OPT_PLAIN_PASS = 35,
    OPT_VERSION = 36,
    OPT_LOG_TEMPLATE = 37,
    OPT_LOG_APPEND = 38,
    OPT_TRUSTED_KEYS = 39,
    OPT_TRUST_THRESHOLD = 40,
    OPT_PARALLEL = 41,
    OPT_MAX_RATE = 42,
    OPT_DELTA = 43,
    OPT_CHECK_TIMEOUT = 120,
    OPT_RETRY_FAILED = 121,
    OPT_MACHINE_ID = 122,
    OPT_CANDIDATE = 123,
    OPT_STATUS = 44,
    OPT_LIST_CHANGES = 45,
    OPT_REPORT = 46,
    OPT_METRICS = 47,
    OPT_STAT_CACHE = 130,
    OPT_FULL_CHECK_EVERY = 131,
};

class CUpdateParameters : public Parameters {
public:
    // The product version printed by the `version` option.
    static const wchar_t* const kProductVersion;  // "7.0.10"

    // Declares the table. `updaterDir` is the directory of the running executable, ending
    // in "/" (the default configuration file is updaterDir + "update.conf"); `currentDir`
    // is the working directory at start-up (the default installation path).
    CUpdateParameters(const std::wstring& updaterDir, const std::wstring& currentDir);
    ~CUpdateParameters() override;

    // The engine's checks, then: unless a self-update action is given, exactly one of the
    // two ways to the product (default server with product file, or URLs with product info
    // file and product root); otherwise CUpdateCriticalException 618 (message 366).
    void validate() const override;

    // An unknown key of the command line or of the configuration file that is close to an
    // option deciding where files go or what runs (install-path, config-file, tmpdir,
    // backup-dir, idxlocalname, guilib, updatelib) throws CUpdateCriticalException 631
    // (message 850) naming the key, where it was given and the option; other unknown keys
    // pass.
    void checkUnknownKeys() const override;

    // The two-pass parse of the command line; the configuration file is read through
    // apply(OPT_CONFIG_FILE, ...) on `target` between the passes. Unknown --key=value pairs
    // (and, in the second pass, known ones too) are recorded in `configData`, the data the
    // plug-ins later receive with the configuration file's pairs. Returns true or throws.
    bool parseCommandLine(int argc, const wchar_t* const* argv, UpdateOptionTarget& target,
                          std::map<std::wstring, std::wstring>& configData);

    // Carries one value into the configuration, by option id. `help` prints the table and
    // ends the process with status 0; `version` prints the version line and throws
    // CUpdateCriticalException with message 1 and code 0. Ids without an effect (12, 26)
    // and unknown ids do nothing.
    void apply(int32_t id, const std::wstring& value, UpdateOptionTarget& target) const;
    // In table order: every set `guilib` and `updatelib`, with its first value.
    void applyPluginOptions(UpdateOptionTarget& target) const;
    // In table order: every other set option except `config-file`; a multi option once
    // per value, in list order.
    void applyOptions(UpdateOptionTarget& target) const;
};

}  // namespace UpdateNew
