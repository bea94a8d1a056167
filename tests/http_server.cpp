// The loopback HTTP server of the end-to-end tests. The acceptor thread takes
// connections; each gets a thread that reads one request head, answers with
// the status its path names and closes the connection.
#include "http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
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

// Reads a request head, or whatever first arrives when it is not HTTP; a
// client that says nothing for two seconds is given up on.
std::string read_head(int c) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        struct pollfd p = {c, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0)
            break;
        head.append(buf, size_t(n));
        if (head[0] < 'A' || head[0] > 'Z')
            break;  // not a request line
    }
    return head;
}

void write_all(int c, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(c, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

// Answers one request with the status its path names; a 401 challenges for
// credentials, as a real protected location does.
void answer(http_server *s, int c) {
    std::string head = read_head(c);
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
    std::string body = std::to_string(status) + " " + reason_of(status) + "\n";
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) + "\r\n" +
                        "Content-Type: text/plain\r\n" + "Content-Length: " + std::to_string(body.size()) +
                        "\r\n" + "Connection: close\r\n" +
                        (status == 401 ? "WWW-Authenticate: Basic realm=\"vexolo\"\r\n" : "");
    write_all(c, reply + "\r\n" + body);
    close(c);
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

std::string http_url(const http_server *s, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(s->port) + path;
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
