// Real servers for tests, on 127.0.0.1 only: nginx serving a directory, tinyproxy as an
// HTTP proxy and microsocks as a SOCKS5 proxy. Each server runs as a child process of the
// test with its configuration, pid and log files in its own temporary directory, listens
// on a free ephemeral port, is waited for with a bounded wait and is stopped by its PID
// when the object is destroyed (SIGTERM, then SIGKILL after a bounded wait).
//
// Failures to start throw std::runtime_error with the server's log appended, so a test
// that cannot get its server fails with the reason instead of hanging.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace TestServers {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "updater-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
// True once a TCP connection to 127.0.0.1:port succeeds, polling until `timeoutMs` ends.
bool WaitForPort(int port, int timeoutMs);
// Writes `content` to `path`, creating parent directories; throws on failure.
void WriteFile(const std::string& path, const std::string& content);
// Reads a whole file; throws on failure.
std::string ReadFile(const std::string& path);

// A child process started with execv; its stdout and stderr go to `logFile`.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& logFile);
    // SIGTERM, up to `graceMs` for the exit, then SIGKILL; reaps the child.
    void Stop(int graceMs = 5000);
    // True while the child has not exited (reaps it when it has).
    bool Running();
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// What every server here has: a temporary directory of its own for its configuration and
// logs, the child process, and the port it listens on. Destruction stops the process by its
// PID (SIGTERM, then SIGKILL after a bounded wait). Not copyable.
class LocalServer {
public:
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    int port() const { return m_port; }
    pid_t pid() const { return m_process.pid(); }
    void Stop() { m_process.Stop(); }

protected:
    // `name` names the temporary directory.
    explicit LocalServer(const std::string& name) : m_dir(name) {}
    ~LocalServer() { m_process.Stop(); }

    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
};

// nginx serving `root` at "/" on http://127.0.0.1:port(). Beside plain files it offers:
//   /private/<path>      the same files behind basic authentication (authUser/authPassword);
//                        401 without or with wrong credentials
//   /unavailable/<path>  always 503
//   /moved/<path>        302 to /<path>
//   /loop/<path>         302 to itself, for ever
//   /slow/<path>         the files at 8 KiB a second
//   /norange/<path>      the files, whole whatever range is asked for
// With `tls`, the same locations are also served on https://127.0.0.1:tlsPort() with a
// certificate for 127.0.0.1 and localhost signed by the test CA in caFile().
// The access log has nginx's combined format followed by " connection=<n>", the serial
// number of the TCP connection that carried the request.
struct NginxConfig {
    std::string root;
    bool tls = false;
    std::string authUser = "user";
    std::string authPassword = "secret";
};

class Nginx : public LocalServer {
public:
    explicit Nginx(const NginxConfig& config);

    int tlsPort() const { return m_tlsPort; }
    std::string url() const;     // "http://127.0.0.1:<port>"
    std::string tlsUrl() const;  // "https://127.0.0.1:<tlsPort>"
    // The certificate file of the CA that signed the server's certificate.
    static std::string caFile();
    std::string accessLog() const { return m_dir.file("access.log"); }

private:
    int m_tlsPort = 0;
};

// tinyproxy on 127.0.0.1:port(); with a user name, every request needs proxy basic
// authentication: 407 without credentials, 401 with wrong ones.
class TinyProxy : public LocalServer {
public:
    explicit TinyProxy(const std::string& user = std::string(),
                       const std::string& password = std::string());

    std::string logFile() const { return m_dir.file("tinyproxy.log"); }
};

// microsocks (SOCKS5) on 127.0.0.1:port(); with a user name it demands that user/password.
class MicroSocks : public LocalServer {
public:
    explicit MicroSocks(const std::string& user = std::string(),
                        const std::string& password = std::string());

    std::string logFile() const { return m_dir.file("microsocks.log"); }
};

}  // namespace TestServers
