#include "download/DownloadServersHandler.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/StringUtils.h"
#include "codec/CheckedTextFile.h"
#include "codec/Sha256.h"
#include "config/UpdateConfig.h"
#include "config/UpdateUri.h"
#include "download/FileDownloader.h"
#include "plugin/UpdateCallbacks.h"

namespace UpdateNew {

namespace {

// Reads one line of any length (without its line feed); false at the end of the file.
bool ReadLine(FILE* file, std::string& line) {
    line.clear();
    char chunk[255];
    bool any = false;
    while (std::fgets(chunk, sizeof chunk, file)) {
        any = true;
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return any;
}

// The comma-separated items of a list, trimmed; empty items are left out.
std::list<std::wstring> SplitList(const std::wstring& text) {
    std::list<std::wstring> items;
    for (const std::wstring& item : Split(text, L",")) {
        const std::wstring trimmed = Trim(item);
        if (!trimmed.empty()) items.push_back(trimmed);
    }
    return items;
}

}  // namespace

CDownloadServersHandler::CDownloadServersHandler(UpdateConfig* config, FileDownloader* downloader)
    : m_defaultServerMode(config->servers().empty()), m_config(config), m_downloader(downloader) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    if (m_defaultServerMode) {
        m_defaultServers = SplitList(m_config->defaultServer());
        ChooseDefaultServer();
    }
}

CDownloadServersHandler::~CDownloadServersHandler() = default;

void CDownloadServersHandler::ChooseDefaultServer() {
    if (m_defaultServers.empty()) THROW_CRITICAL(Msg<139>(), ERR_NO_MORE_SERVERS);
    auto it = m_defaultServers.begin();
    std::advance(it, std::rand() % static_cast<int>(m_defaultServers.size()));
    m_currentDefaultServer = *it;
    m_defaultServers.erase(it);
    LogDebug(L"Default server %s chosen\n", m_currentDefaultServer.c_str());
}

void CDownloadServersHandler::ChooseDownloadServer() {
    UpdateConfig::ServerMap& servers = m_config->servers();
    if (servers.empty()) THROW_CRITICAL(Msg<139>(), ERR_NO_MORE_SERVERS);
    auto it = servers.begin();
    std::advance(it, std::rand() % static_cast<int>(servers.size()));
    m_server = &it->second;
    m_serverName = it->first;
    LogDebug(L"Download server %s chosen\n", m_serverName.c_str());
}

const UpdateUri* CDownloadServersHandler::GetDownloadServer(std::wstring& serverName) {
    if (!m_server) {
        if (m_defaultServerMode) {
            DownloadProductFile();
        } else {
            m_updateRoot = m_config->productRoot();
            m_productInfo = m_config->productInfoFile();
        }
        ChooseDownloadServer();
    }
    serverName = m_serverName;
    return m_server;
}

void CDownloadServersHandler::ServerFailed() {
    UpdateConfig::ServerMap& servers = m_config->servers();
    auto it = servers.find(m_serverName);
    if (it != servers.end()) {
        LogDebug(L"Dropping download server %s\n", m_serverName.c_str());
        m_server = nullptr;
        m_serverName.clear();
        servers.erase(it);
        ChooseDownloadServer();
        return;
    }
    if (!m_serverName.empty()) THROW_CRITICAL(Msg<140>(m_serverName), ERR_DOWNLOAD_SERVER);
    LogDebug(L"Dropping default server %s\n", m_currentDefaultServer.c_str());
    m_currentDefaultServer.clear();
    ChooseDefaultServer();
}

bool CDownloadServersHandler::FetchAndCheck(const std::wstring& remote, const std::wstring& local) {
    // A product file bigger than a checked text file may be is not taken: a server sending
    // one endless line cannot fill the disk.
    m_downloader->downloadFile(remote, local, kCheckedTextMaxFileBytes);
    return ReadCheckedTextFile(local) >= 0;
}

void CDownloadServersHandler::LogFileContent(const std::wstring& path) {
    FILE* file = std::fopen(ToMultibyte(path).c_str(), "re");
    if (!file) {
        LogDebug(L"Cannot open %s: %S\n", path.c_str(), std::strerror(errno));
        return;
    }
    // Only the beginning: a file of millions of short lines would otherwise flood the log
    // (and hold the run for minutes) with what a server sent.
    const int kMaxLoggedLines = 200;
    std::string line;
    int logged = 0;
    while (ReadLine(file, line)) {
        if (logged++ == kMaxLoggedLines) {
            LogDebug(L"(the rest of %s is not shown)\n", path.c_str());
            break;
        }
        std::wstring wide = FromMultibyte(line);
        if (wide.size() > 999) wide.resize(999);
        LogDebug(L"%s\n", wide.c_str());
    }
    std::fclose(file);
}

void CDownloadServersHandler::DownloadProductFile() {
    const UpdateUri server = UpdateUri::parse(m_currentDefaultServer);
    m_downloader->connectServer(server.address(), server.kind());
    std::wstring cProductFileServerPath = JoinPath(m_currentDefaultServer, m_config->productFile());
    const std::wstring local =
        JoinPath(m_config->tempDir(), GetLastComponent(ToSlashes(m_config->productFile())));

    m_config->cCallbacks().callLib(L"changeProductFileUrl(cProductFileServerPath)",
                                   &CUpdateLibCallbacks::changeProductFileUrl,
                                   cProductFileServerPath);
    if (!FetchAndCheck(cProductFileServerPath, local) &&
        !FetchAndCheck(cProductFileServerPath, local)) {
        LogDebug(L"%s\n", Msg<687>(local).c_str());
        LogFileContent(local);
        THROW_ERROR(Msg<132>(local), ERR_FILE_READ);
    }
    m_productFileName = GetLastComponent(local);
    m_productFileSha256 = Sha256OfFile(local);
    ParseProductFile(local);
    if (m_config->mirror()) {
        const std::wstring mirrorCopy = JoinPath(m_config->installPath(), m_config->productFile());
        m_config->cCallbacks().checkCreateDirectory(GetDirPart(mirrorCopy));
        m_config->cCallbacks().copyFile(local, mirrorCopy, false);
    }
    (void)RemoveFile(ToMultibyte(local));
}

void CDownloadServersHandler::ParseProductFile(const std::wstring& path) {
    FILE* file = std::fopen(ToMultibyte(path).c_str(), "re");
    if (!file) {
        THROW_CRITICAL(Msg<133>(path) + L": " + FromMultibyte(std::strerror(errno)),
                       ERR_SERVER_LIST);
    }
    struct Closer {
        FILE* file;
        ~Closer() { std::fclose(file); }
    } closer{file};

    std::string raw;
    while (ReadLine(file, raw)) {
        std::wstring line = Trim(FromMultibyte(raw));
        const size_t comment = line.find(L';');
        if (comment != std::wstring::npos) line = Trim(line.substr(0, comment));
        if (line.empty() || line[0] == L'<') continue;
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) {
            THROW_CRITICAL(Msg<134>(path) + L": \"" + line + L"\"", ERR_SERVER_LIST);
        }
        const std::wstring key = Trim(line.substr(0, eq));
        const std::wstring value = Trim(line.substr(eq + 1));
        if (key.empty()) THROW_CRITICAL(Msg<135>(path) + L": \"" + line + L"\"", ERR_SERVER_LIST);
        if (value.empty()) {
            THROW_CRITICAL(Msg<136>(path) + L": \"" + line + L"\"", ERR_SERVER_LIST);
        }
        SetProductFileValue(key, value);
    }
    if (m_productInfo.empty()) THROW_CRITICAL(Msg<137>(L"productinfo"), ERR_SERVER_LIST);
    if (m_updateRoot.empty()) THROW_CRITICAL(Msg<137>(L"updateroot"), ERR_SERVER_LIST);
    if (m_config->servers().empty()) THROW_CRITICAL(Msg<137>(L"servers"), ERR_SERVER_LIST);

    std::wstring& mcCurRelUpdateProductInfo = m_productInfo;
    std::wstring& mcCurRelUpdateRoot = m_updateRoot;
    m_config->cCallbacks().callLib(
        L"changeProductLocationUrl(mcCurRelUpdateProductInfo, mcCurRelUpdateRoot)",
        &CUpdateLibCallbacks::changeProductLocationUrl, mcCurRelUpdateProductInfo,
        mcCurRelUpdateRoot);
}

void CDownloadServersHandler::SetProductFileValue(const std::wstring& key,
                                                  const std::wstring& value) {
    std::wstring expanded = value;
    m_config->expandVariables(expanded, true, false);
    if (key == L"servers") {
        if (m_config->ignoreServerList()) {
            expanded = m_config->defaultServer();
            m_config->expandVariables(expanded, true, false);
        }
        // Entries go into the server list as they are: the list's own checks are for the
        // user's configuration, and a plain path names a shared folder here.
        for (const std::wstring& server : SplitList(expanded)) {
            m_config->servers().emplace(server, UpdateUri::parse(server));
        }
    } else if (key == L"updateroot") {
        // A mirror joins it to its own directory too, so there it may not climb out of that.
        const size_t start = expanded.find_first_not_of(L"/\\");
        if (m_config->mirror() && start != std::wstring::npos &&
            !IsContainedPath(expanded.substr(start)))
            THROW_CRITICAL(Msg<162>(expanded), ERR_SERVER_LIST);
        m_updateRoot = expanded;
    } else if (key == L"productinfo") {
        m_productInfo = expanded;
    } else if (key == L"productinfohash") {
        const std::vector<std::wstring> items = Split(expanded, L",");
        if (items.size() != 2) THROW_CRITICAL(Msg<138>(expanded), ERR_SERVER_LIST);
        m_productInfoHashes.emplace(Trim(items[0]), Trim(items[1]));
    }
    // "crdate" and any other key: accepted and ignored.
}

std::wstring CDownloadServersHandler::GetServerAddress() const {
    return m_server ? m_server->address() : std::wstring();
}

std::wstring CDownloadServersHandler::GetUpdateRootAddress() const {
    return JoinPath(GetServerAddress(), m_updateRoot);
}

std::wstring CDownloadServersHandler::GetProductInfoAddress() const {
    return JoinPath(GetServerAddress(), m_productInfo);
}

std::wstring CDownloadServersHandler::GetMasterIdxAddress() const {
    return JoinPath(m_defaultServerMode ? m_currentDefaultServer : m_serverName,
                    m_config->masterIdx());
}

std::wstring KeptMasterIdxPath(const UpdateConfig& config) {
    const std::wstring& local = config.idxLocalName();
    if (local.empty()) return JoinPath(config.installPath(), config.masterIdx());
    if (local.find(L':') != std::wstring::npos) return local;
    return JoinPath(config.installPath(), local);
}

std::wstring CDownloadServersHandler::GetLocalMasterIdxPath() const {
    return KeptMasterIdxPath(*m_config);
}

bool CDownloadServersHandler::IsUrlServer() const {
    return m_server && m_server->kind() != 0;
}

}  // namespace UpdateNew
