// Chooses the server an update run talks to and knows where on it the product lives.
//
// Download servers hold the product's files; they are configured directly (url, url%d,
// url-file: the configuration's server list) or announced by the product file. Default
// servers (defaultsrv) are used only when no download server is configured: the handler
// then fetches the product file from one of them, which names the download servers, the
// update root and the product info file. Every choice is random, and a server that failed
// is dropped for the rest of the run, so each server is tried at most once.
#pragma once

#include <list>
#include <map>
#include <string>

namespace UpdateNew {

class UpdateConfig;
class UpdateUri;
class FileDownloader;

// The kept local copy of the master index: `idxlocalname` (below the installation when
// relative), else the master index's path below the installation.
std::wstring KeptMasterIdxPath(const UpdateConfig& config);

class CDownloadServersHandler {
public:
    // `config` and `downloader` belong to the run and must outlive the handler. Without
    // configured servers this chooses a default server at once (628, message 139, when
    // `defaultsrv` names none).
    CDownloadServersHandler(UpdateConfig* config, FileDownloader* downloader);
    virtual ~CDownloadServersHandler();
    CDownloadServersHandler(const CDownloadServersHandler&) = delete;
    CDownloadServersHandler& operator=(const CDownloadServersHandler&) = delete;

    // The chosen download server (a record of the configuration's server list, valid until
    // ServerFailed) and its name. The first call in default-server mode fetches and reads
    // the product file; in direct mode the update root and product info path come from
    // `productroot` and `productinfofile`. Failures: see ServerFailed and DownloadProductFile.
    const UpdateUri* GetDownloadServer(std::wstring& serverName);

    // Drops the server that just failed and chooses another: the download server when one
    // was chosen (625, message 140, when it is no longer in the list), otherwise the
    // default server. CUpdateCriticalException 628 (message 139) when none is left.
    void ServerFailed();

    // Fetches the product file from the current default server into the temporary
    // directory, checks it (a second fetch when the check fails; then Exception 636,
    // message 132, after its content was logged), reads it, copies it into the mirror tree
    // in mirror mode and removes the local copy.
    void DownloadProductFile();
    // Reads a product file: servers, update root, product info path and hashes.
    // CUpdateCriticalException 627 with messages 133 to 138.
    void ParseProductFile(const std::wstring& path);
    // Takes one "key=value" entry of a product file (value not yet expanded).
    void SetProductFileValue(const std::wstring& key, const std::wstring& value);

    // --- addresses of the chosen server ---
    std::wstring GetServerAddress() const;       // the chosen record's address
    std::wstring GetUpdateRootAddress() const;   // where the module files are: server + update root
    std::wstring GetProductInfoAddress() const;  // server + product info path
    std::wstring GetMasterIdxAddress() const;    // (default server or server name) + masteridx
    std::wstring GetLocalMasterIdxPath() const;  // the kept local copy of the master index

    // --- readers ---
    const std::wstring& GetUpdateRoot() const { return m_updateRoot; }
    const std::wstring& GetProductInfo() const { return m_productInfo; }
    const std::map<std::wstring, std::wstring>& GetProductInfoHashes() const {
        return m_productInfoHashes;
    }
    // The file name and SHA-256 of the product file this run fetched (both empty when it
    // fetched none): a signed master index must name exactly this digest.
    const std::wstring& GetProductFileName() const { return m_productFileName; }
    const std::string& GetProductFileSha256() const { return m_productFileSha256; }
    const std::wstring& GetCurrentDefaultServer() const { return m_currentDefaultServer; }
    bool IsDefaultServerMode() const { return m_defaultServerMode; }
    // Whether the chosen download server is reached by URL (not a shared folder).
    bool IsUrlServer() const;
    // The default servers not tried yet.
    const std::list<std::wstring>& GetRemainingDefaultServers() const { return m_defaultServers; }

private:
    void ChooseDefaultServer();
    void ChooseDownloadServer();
    // Fetches the product file to `local` and checks it; false when the check fails.
    bool FetchAndCheck(const std::wstring& remote, const std::wstring& local);
    void LogFileContent(const std::wstring& path);

    bool m_defaultServerMode;
    const UpdateUri* m_server = nullptr;  // record in the configuration's server list
    std::wstring m_serverName;            // its key there
    std::wstring m_updateRoot;
    std::wstring m_productInfo;
    UpdateConfig* m_config;
    FileDownloader* m_downloader;
    std::list<std::wstring> m_defaultServers;  // not tried yet
    std::wstring m_currentDefaultServer;
    std::map<std::wstring, std::wstring> m_productInfoHashes;  // file name -> hash
    std::wstring m_productFileName;
    std::string m_productFileSha256;
};

}  // namespace UpdateNew
