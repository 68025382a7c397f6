// The answer to `status`: what the installation holds and how its last run ended, read
// from the files kept beside the kept master index alone (no server is asked, nothing is
// written): the product's name and version, the trusted serial, the last run's end,
// outcome, exit status and result, whether an update is unfinished, the modules with their
// file counts and the configuration files changed locally.
//
// Built and printed by the entry point; holds only values. Single-threaded.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "run/KeptState.h"

namespace UpdateNew {

class UpdateConfig;

class InstallationStatus {
public:
    // Reads the state of the installation `config` names (prepared in status mode).
    explicit InstallationStatus(const UpdateConfig& config);

    // The state as a JSON document, or as text lines (the numbered messages); both UTF-8
    // and ending with a line end.
    std::string json() const;
    std::string text() const;

    // Whether the installation directory is there at all (a mistyped path is not).
    bool exists() const { return m_exists; }
    const std::wstring& installation() const { return m_installation; }

private:
    std::wstring m_installation;
    std::wstring m_keptIndex;
    bool m_exists = false;
    std::wstring m_pending;  // the unfinished-update marker's path, when it is there
    // The release whose rollback after a failed health check was stopped, when it was.
    std::wstring m_failedRelease;
    std::wstring m_product;
    std::wstring m_version;
    bool m_signed = false;
    unsigned long long m_serial = 0;
    LastRun m_lastRun;
    bool m_listKept = false;
    std::vector<std::pair<std::wstring, unsigned long>> m_modules;  // in list order
    std::vector<std::wstring> m_changedConfig;
    long m_runner = 0;  // the process of a run updating the installation now, or 0
};

}  // namespace UpdateNew
