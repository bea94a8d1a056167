// The loopback HTTP server of the end-to-end tests. The acceptor thread takes
// connections; each gets a thread that reads one request head (after a TLS
// handshake for https_start), answers with the status its path names or the
// file it asks for, and closes the connection.
#include "http_server.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <iterator>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct reason_row {
    int status;
    const char *reason;
};

const reason_row reasons[] = {
    {200, "OK"},
    {206, "Partial Content"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {408, "Request Timeout"},
    {410, "Gone"},
    {429, "Too Many Requests"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {503, "Service Unavailable"},
    {509, "Bandwidth Limit Exceeded"},
};

const char *reason_of(int status) {
    for (const reason_row &r : reasons)
        if (r.status == status)
            return r.reason;
    return "Unknown";
}

// One accepted connection, plain or over TLS.
struct conn {
    int fd;
    SSL *tls;  // null for plain HTTP
};

ssize_t conn_read(conn *c, char *buf, size_t n) {
    return c->tls ? SSL_read(c->tls, buf, int(n)) : read(c->fd, buf, n);
}

// Reads a request head, or whatever first arrives when it is not HTTP; a
// client that says nothing for two seconds is given up on.
std::string read_head(conn *c) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        struct pollfd p = {c->fd, POLLIN, 0};
        if ((!c->tls || !SSL_pending(c->tls)) && poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = conn_read(c, buf, sizeof buf);
        if (n <= 0)
            break;
        head.append(buf, size_t(n));
        if (head[0] < 'A' || head[0] > 'Z')
            break;  // not a request line
    }
    return head;
}

bool stopping(http_server *s) {
    std::lock_guard<std::mutex> hold(s->lock);
    return s->stopping;
}

// Writes all of text unless the client goes or the server stops; never
// blocks for long, so that stopping the server never waits on a client.
bool write_all(http_server *s, conn *c, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        if (stopping(s))
            return false;
        struct pollfd p = {c->fd, POLLOUT, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        size_t chunk = std::min<size_t>(text.size() - done, 65536);
        ssize_t n = c->tls ? SSL_write(c->tls, text.data() + done, int(chunk))
                           : send(c->fd, text.data() + done, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !c->tls && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

long long steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Serves a file, from the byte the Range header names on, as a server with
// seekable media does; the late answer to a range models a slow source.
void serve_file(http_server *s, conn *c, const std::string &head, const std::string &name) {
    std::ifstream f(s->files + "/" + name, std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (!f.good() && body.empty()) {
        write_all(s, c, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    size_t from = 0, range = head.find("Range: bytes=");
    if (range != std::string::npos)
        from = strtoul(head.c_str() + range + 13, nullptr, 10);
    if (from >= body.size() && !body.empty()) {
        write_all(s, c, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    if (from > 0 && s->range_delay_ms.load() > 0) {
        for (long long until = steady_ms() + s->range_delay_ms.load(); steady_ms() < until && !stopping(s);)
            usleep(10000);
        std::lock_guard<std::mutex> hold(s->lock);
        s->delayed_ms.push_back(steady_ms());
    }
    std::string size = std::to_string(body.size());
    std::string reply = range == std::string::npos
                            ? "HTTP/1.1 200 OK\r\n"
                            : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                                  std::to_string(body.size() - 1) + "/" + size + "\r\n";
    reply += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\nContent-Length: " +
             std::to_string(body.size() - from) + "\r\nConnection: close\r\n\r\n";
    if (!write_all(s, c, reply))
        return;
    // In pieces, to keep the rate; a client that goes ends the answer.
    const size_t piece = 16384;
    long long begun = steady_ms();
    for (size_t at = from; at < body.size(); at += piece) {
        if (!write_all(s, c, body.substr(at, piece)))
            return;
        if (s->file_rate > 0) {
            long long due = begun + (long long)(at + piece - from) * 1000 / s->file_rate;
            while (steady_ms() < due && !stopping(s))
                usleep(5000);
        }
    }
}

// Answers one request with the status its path names, or a file; a 401
// challenges for credentials, as a real protected location does.
void answer(http_server *s, int fd) {
    conn c = {fd, nullptr};
    std::string head;
    if (s->tls) {
        c.tls = SSL_new(static_cast<SSL_CTX *>(s->tls));
        SSL_set_fd(c.tls, fd);
        if (SSL_accept(c.tls) == 1)
            head = read_head(&c);
        if (head.empty()) {
            // The client turned the certificate down, as it should: during
            // the handshake, or right after it, before asking for anything.
            std::lock_guard<std::mutex> hold(s->lock);
            s->requests.push_back("<tls refused>");
            SSL_free(c.tls);
            close(fd);
            return;
        }
    } else {
        head = read_head(&c);
    }
    std::string line = head.substr(0, head.find("\r\n"));
    bool is_http = !head.empty() && head[0] >= 'A' && head[0] <= 'Z';
    int status = 400;
    if (is_http) {
        // "GET /404/clip.mp4 HTTP/1.1": the first path segment is the status.
        size_t slash = line.find(" /");
        if (slash != std::string::npos)
            status = atoi(line.c_str() + slash + 2);
        if (status < 100 || status > 599)
            status = 400;
    }
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->requests.push_back(is_http ? line : "<not http>");
    }
    size_t file = line.find(" /file/");
    if (is_http && file != std::string::npos && !s->files.empty()) {
        serve_file(s, &c, head, line.substr(file + 7, line.find(' ', file + 7) - file - 7));
    } else {
        std::string body = std::to_string(status) + " " + reason_of(status) + "\n";
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) + "\r\n" +
                            "Content-Type: text/plain\r\n" + "Content-Length: " + std::to_string(body.size()) +
                            "\r\n" + "Connection: close\r\n" +
                            (status == 401 ? "WWW-Authenticate: Basic realm=\"vexolo\"\r\n" : "");
        write_all(s, &c, reply + "\r\n" + body);
    }
    if (c.tls) {
        SSL_shutdown(c.tls);
        SSL_free(c.tls);
    }
    close(fd);
}

// A TLS context with a fresh key and a certificate for 127.0.0.1 signed by
// that key itself; null (with a test failure) when one cannot be made.
SSL_CTX *self_signed() {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    bool made = key && cert && ctx;
    if (made) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        made = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
               SSL_CTX_use_PrivateKey(ctx, key) == 1;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!made) {
        ADD_FAILURE() << "no self-signed certificate: " << ERR_error_string(ERR_get_error(), nullptr);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

void accept_loop(http_server *s) {
    for (;;) {
        int c = accept4(s->fd, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> hold(s->lock);
        if (s->stopping) {
            if (c >= 0)
                close(c);
            return;
        }
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        s->answering.emplace_back(answer, s, c);
    }
}

}  // namespace

int loopback_listen(int backlog, int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "loopback listener: " << strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool http_start(http_server *s) {
    s->fd = loopback_listen(16, &s->port);
    if (s->fd < 0)
        return false;
    s->acceptor = std::thread(accept_loop, s);
    return true;
}

bool https_start(http_server *s) {
    // A TLS write to a client that went away must fail, not end the tests.
    signal(SIGPIPE, SIG_IGN);
    s->tls = self_signed();
    return s->tls && http_start(s);
}

std::string http_url(const http_server *s, const std::string &path) {
    return (s->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(s->port) + path;
}

std::vector<std::string> http_requests(http_server *s) {
    std::lock_guard<std::mutex> hold(s->lock);
    return s->requests;
}

void http_stop(http_server *s) {
    if (s->fd < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->stopping = true;
    }
    shutdown(s->fd, SHUT_RDWR);  // wakes the acceptor
    if (s->acceptor.joinable())
        s->acceptor.join();
    close(s->fd);
    s->fd = -1;
    // The acceptor has ended, so nobody adds to the list any more.
    for (std::thread &t : s->answering)
        t.join();
    s->answering.clear();
    SSL_CTX_free(static_cast<SSL_CTX *>(s->tls));
    s->tls = nullptr;
}

http_server::~http_server() { http_stop(this); }

int refusing_port(int *fd) {
    *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(*fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "loopback port: " << strerror(errno);
        return 0;
    }
    return ntohs(a.sin_port);
}
