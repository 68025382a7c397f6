#include "support/TestServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef UPDATER_SOURCE_DIR
#error "UPDATER_SOURCE_DIR must name the source tree"
#endif

namespace TestServers {

namespace {

constexpr int kStartAttempts = 5;       // a port taken between FreePort and bind: retry
constexpr int kReadyTimeoutMs = 10000;  // per attempt

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string TailOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    if (text.size() > 2000) text = text.substr(text.size() - 2000);
    return text;
}

std::string FindProgram(const std::string& name) {
    for (const char* dir :
         {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/", "/usr/local/bin/", "/usr/local/sbin/"}) {
        std::string candidate = std::string(dir) + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::runtime_error(name + " is not installed (scripts/lib/packages.sh installs it)");
}

// Starts the server through `start(port)` until it listens; the port may have been
// taken by someone else between the check and the server's bind, hence the attempts.
template <typename StartFn>
int StartListening(ChildProcess& process, const std::string& name, const std::string& logFile,
                   StartFn start) {
    std::string lastLog;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        int port = start();
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!process.Running()) break;
            if (WaitForPort(port, 50)) return port;
        }
        lastLog = TailOf(logFile);
        process.Stop();
    }
    throw std::runtime_error(name + " did not start listening on 127.0.0.1; its log:\n" + lastLog);
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error(SysError("mkdtemp " + pattern));
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const {
    return m_path + "/" + name;
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(SysError("socket"));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::string error = SysError("bind 127.0.0.1:0");
        ::close(fd);
        throw std::runtime_error(error);
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool WaitForPort(int port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw std::runtime_error(SysError("write " + path));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(SysError("open " + path));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------------------------------

ChildProcess::~ChildProcess() {
    Stop();
}

void ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& logFile) {
    Stop();
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error(SysError("open " + logFile));
    pid_t pid = ::fork();
    if (pid < 0) {
        std::string error = SysError("fork for " + program);
        ::close(log);
        throw std::runtime_error(error);
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls until execv.
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        // The server must not outlive a test runner that dies without stopping it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::execv(all[0].c_str(), argv.data());
        ::_exit(127);
    }
    ::close(log);
    m_pid = pid;
}

bool ChildProcess::Running() {
    if (m_pid <= 0) return false;
    int status;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
        m_pid = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop(int graceMs) {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!Running()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    int status;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

// ---------------------------------------------------------------------------------------

std::string Nginx::caFile() {
    return std::string(UPDATER_SOURCE_DIR) + "/tests/support/tls/ca.pem";
}

Nginx::Nginx(const NginxConfig& config) : LocalServer("nginx") {
    if (config.root.empty()) throw std::runtime_error("Nginx: no root directory given");
    std::string root = std::filesystem::absolute(config.root).string();
    const std::string& d = m_dir.path();
    const std::string tls = std::string(UPDATER_SOURCE_DIR) + "/tests/support/tls/";
    WriteFile(m_dir.file("htpasswd"), config.authUser + ":{PLAIN}" + config.authPassword + "\n");
    std::string program = FindProgram("nginx");
    std::string log = m_dir.file("nginx.out");

    m_port = StartListening(m_process, "nginx", m_dir.file("error.log"), [&] {
        m_port = FreePort();
        m_tlsPort = config.tls ? FreePort() : 0;
        std::ostringstream conf;
        conf << "daemon off;\n"
             << "master_process off;\n"
             << "worker_processes 1;\n"
             << "pid " << d << "/nginx.pid;\n"
             << "error_log " << d << "/error.log info;\n"
             << "events { worker_connections 256; }\n"
             << "http {\n"
             << "  log_format updater '$remote_addr - $remote_user [$time_local] \"$request\" '"
             << " '$status $body_bytes_sent \"$http_referer\" \"$http_user_agent\" '"
             << " 'connection=$connection';\n"
             << "  access_log " << d << "/access.log updater;\n"
             << "  client_body_temp_path " << d << "/client_body;\n"
             << "  proxy_temp_path " << d << "/proxy;\n"
             << "  fastcgi_temp_path " << d << "/fastcgi;\n"
             << "  uwsgi_temp_path " << d << "/uwsgi;\n"
             << "  scgi_temp_path " << d << "/scgi;\n"
             << "  default_type application/octet-stream;\n"
             << "  keepalive_requests 100000;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << m_port << ";\n";
        if (config.tls) {
            conf << "    listen 127.0.0.1:" << m_tlsPort << " ssl;\n"
                 << "    ssl_certificate " << tls << "server.pem;\n"
                 << "    ssl_certificate_key " << tls << "server.key;\n";
        }
        conf << "    root " << root << ";\n"
             << "    location /private/ { alias " << root << "/; auth_basic \"updater test\";"
             << " auth_basic_user_file " << d << "/htpasswd; }\n"
             << "    location /unavailable/ { return 503; }\n"
             << "    location /moved/ { rewrite ^/moved/(.*)$ /$1 redirect; }\n"
             << "    location /loop/ { rewrite ^(.*)$ $1 redirect; }\n"
             << "    location /slow/ { alias " << root << "/; limit_rate 8k; }\n"
             << "    location /norange/ { alias " << root << "/; max_ranges 0; }\n"
             << "    location /plain/ { rewrite ^/plain/(.*)$ http://127.0.0.1:" << m_port
             << "/$1 redirect; }\n"
             << "  }\n"
             << "}\n";
        WriteFile(m_dir.file("nginx.conf"), conf.str());
        m_process.Start(
            program, {"-e", m_dir.file("error.log"), "-p", d + "/", "-c", m_dir.file("nginx.conf")},
            log);
        return m_port;
    });
    if (config.tls && !WaitForPort(m_tlsPort, kReadyTimeoutMs))
        throw std::runtime_error("nginx did not listen on its TLS port; its log:\n" +
                                 TailOf(m_dir.file("error.log")));
}

std::string Nginx::url() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}
std::string Nginx::tlsUrl() const {
    return "https://127.0.0.1:" + std::to_string(m_tlsPort);
}

// ---------------------------------------------------------------------------------------

TinyProxy::TinyProxy(const std::string& user, const std::string& password)
    : LocalServer("tinyproxy") {
    std::string program = FindProgram("tinyproxy");
    m_port = StartListening(m_process, "tinyproxy", m_dir.file("tinyproxy.out"), [&] {
        int port = FreePort();
        std::ostringstream conf;
        conf << "Port " << port << "\n"
             << "Listen 127.0.0.1\n"
             << "Timeout 30\n"
             << "MaxClients 64\n"
             << "LogFile \"" << logFile() << "\"\n"
             << "LogLevel Info\n"
             << "Allow 127.0.0.1\n"
             << "DisableViaHeader Yes\n";
        if (!user.empty()) conf << "BasicAuth " << user << " " << password << "\n";
        WriteFile(m_dir.file("tinyproxy.conf"), conf.str());
        m_process.Start(program, {"-d", "-c", m_dir.file("tinyproxy.conf")},
                        m_dir.file("tinyproxy.out"));
        return port;
    });
}

// ---------------------------------------------------------------------------------------

MicroSocks::MicroSocks(const std::string& user, const std::string& password)
    : LocalServer("microsocks") {
    std::string program = FindProgram("microsocks");
    m_port = StartListening(m_process, "microsocks", logFile(), [&] {
        int port = FreePort();
        std::vector<std::string> args{"-i", "127.0.0.1", "-p", std::to_string(port)};
        if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
        m_process.Start(program, args, logFile());
        return port;
    });
}

}  // namespace TestServers
