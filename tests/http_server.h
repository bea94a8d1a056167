// A loopback HTTP server for the end-to-end tests: listens on 127.0.0.1 on a
// port the kernel picks and answers each request with the status its path
// names, or serves files with byte ranges; over TLS too, with a certificate
// made for it that nobody trusts. Its own threads accept and answer; the
// test thread only reads.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct http_server {
    int fd = -1;  // listening socket
    int port = 0;
    std::thread acceptor;
    std::mutex lock;
    std::vector<std::thread> answering;  // lock: one thread per connection
    std::vector<std::string> requests;   // lock: first line of each request, in order
    bool stopping = false;               // lock
    // "/file/<name>" serves <files>/<name> (set before starting), at most
    // file_rate bytes a second when set; a range that does not begin at 0 is
    // answered range_delay_ms late.
    std::string files;
    int file_rate = 0;
    std::atomic<int> range_delay_ms{0};
    std::vector<long long> delayed_ms;  // lock: when each late answer went out (steady clock, ms)
    void *tls = nullptr;                // the TLS context, for https_start

    ~http_server();
};

// Starts listening; false (with a test failure) when no socket can be had.
// A request for "/404/clip.mp4" gets "HTTP/1.1 404 Not Found"; bytes that are
// not an HTTP request (a TLS hello) get "400 Bad Request" at once, as a plain
// server answers them.
bool http_start(http_server *s);
// Starts listening for TLS with a self-signed certificate for 127.0.0.1,
// made on the spot; a client that completes the handshake gets the answer
// http_start would give.
bool https_start(http_server *s);
// The http:// (https:// for https_start) location of path on this server.
std::string http_url(const http_server *s, const std::string &path);
// The request lines received so far ("<not http>" for other bytes).
std::vector<std::string> http_requests(http_server *s);
// Closes the listener and waits for every answering thread.
void http_stop(http_server *s);

// A socket listening on 127.0.0.1 on a free port, stored in *port; -1 (with
// a test failure) when none can be had.
int loopback_listen(int backlog, int *port);

// A loopback port bound without a listener, held by *fd: connections to it
// are refused for as long as *fd stays open, and no one else can take it.
int refusing_port(int *fd);
