// A small HTTP server layer over libmicrohttpd: resources answer requests
// with string responses.  Resources are registered under a path; a "family"
// registration also answers every path below it (longest prefix wins).
//
// Threading: render_* run on the server's worker threads, several at once;
// resources guard their own state.  Registration may happen before or after
// start(); the route table has its own lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace httpserver {

// Percent-decodes text.  Escapes that are not "%" plus two hex digits are
// kept as written.  plusAsSpace turns '+' into ' ' (query strings only).
std::string url_decode(const std::string& text, bool plusAsSpace = false);

class http_request {
public:
    http_request() = default;
    http_request(const std::string& method, const std::string& path, const std::string& content = "",
                 const std::map<std::string, std::string>& args = {},
                 const std::map<std::string, std::string>& headers = {})
        : method(method), path(path), content(content), args(args), headers(headers), raw_path(path) {}

    const std::string& get_method() const { return method; }
    // The URL path without the query string, percent-decoded, e.g. "/lyrd/status".
    const std::string& get_path() const { return path; }
    // The path split at "/", empty components dropped.
    std::vector<std::string> get_path_pieces() const;
    // The path as the client sent it (not decoded).
    const std::string& get_raw_path() const { return raw_path; }
    // The raw path split at "/" and each piece decoded on its own, so an
    // encoded "%2F" stays inside its piece.  Empty components dropped.
    std::vector<std::string> get_decoded_raw_pieces() const;
    // A query (or form) argument; "" when absent.
    std::string get_arg(const std::string& name) const;
    bool has_arg(const std::string& name) const { return args.count(name) != 0; }
    const std::map<std::string, std::string>& get_args() const { return args; }
    const std::string& get_content() const { return content; }
    std::string get_header(const std::string& name) const;
    // "?a=1&b=2" as sent, including the "?"; "" when the URL had no query.
    const std::string& get_querystring() const { return querystring; }
    const std::string& get_requestor() const { return requestor; }

    std::string method;
    std::string path;
    std::string content;
    std::map<std::string, std::string> args;
    std::map<std::string, std::string> headers;  // keys lower-cased
    std::string querystring;
    std::string requestor;
    std::string raw_path;
};

class http_response {
public:
    http_response(int code = 200, const std::string& contentType = "text/plain")
        : code(code), contentType(contentType) {}
    virtual ~http_response() {}
    int get_response_code() const { return code; }
    const std::string& get_content_type() const { return contentType; }
    virtual const std::string& get_content() const { return empty; }
    void with_header(const std::string& name, const std::string& value) { headers[name] = value; }
    const std::map<std::string, std::string>& get_headers() const { return headers; }

protected:
    int code;
    std::string contentType;
    std::map<std::string, std::string> headers;
    static const std::string empty;
};

class string_response : public http_response {
public:
    explicit string_response(const std::string& body, int code = 200,
                             const std::string& contentType = "text/plain")
        : http_response(code, contentType), body(body) {}
    const std::string& get_content() const override { return body; }

private:
    std::string body;
};

// A body read from a file descriptor by the server itself, so a large
// download never sits in memory.  The server owns (and closes) the fd.
class file_response : public http_response {
public:
    file_response(int fd, uint64_t size, const std::string& contentType)
        : http_response(200, contentType), fd(fd), size(size) {}
    ~file_response() override;
    int release_fd() {
        int f = fd;
        fd = -1;
        return f;
    }
    uint64_t get_size() const { return size; }

private:
    int fd;
    uint64_t size;
};

struct StreamLink;

// A body produced over time (an event stream).  The server calls read()
// on a worker thread whenever the client can take bytes; when it returns
// 0 the connection is parked (no thread waits on it) until wake().
//
// Threading: read() runs under the stream's link lock, so a producer must
// not call wake() while holding a lock that read() takes.
class stream_source {
public:
    virtual ~stream_source() = default;
    // Copies up to max bytes into buf; 0: nothing now; -1: the stream ended.
    virtual ssize_t read(char* buf, size_t max) = 0;
    // Brings a parked connection back to read().  Safe from any thread at
    // any time, also before the response is queued or after the client left.
    void wake();
    // Called by the server when it queues the response.
    void attach(std::shared_ptr<StreamLink> l);

private:
    std::mutex linkLock;
    std::shared_ptr<StreamLink> link;
};

class stream_response : public http_response {
public:
    explicit stream_response(std::shared_ptr<stream_source> source, const std::string& contentType)
        : http_response(200, contentType), source(std::move(source)) {}
    std::shared_ptr<stream_source> source;
};

// Receives a request body as it arrives, for uploads that must not be held
// in memory (the server's body limit does not apply to them).  Destroying
// a sink that was never finished must leave nothing behind.
class upload_sink {
public:
    virtual ~upload_sink() = default;
    // false: take no more bytes (the rest of the body is dropped; finish()
    // says why).
    virtual bool write(const char* data, size_t len) = 0;
    // The whole body has arrived: the answer to the request.
    virtual std::shared_ptr<http_response> finish() = 0;
};

class http_resource {
public:
    virtual ~http_resource() {}
    // Default answers: 405 "Method Not Allowed" for every method; HEAD
    // answers as GET does (the server drops the body).
    virtual std::shared_ptr<http_response> render(const http_request& req);
    virtual std::shared_ptr<http_response> render_GET(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_POST(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PUT(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_DELETE(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_OPTIONS(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_HEAD(const http_request& req) { return render_GET(req); }
    // Called for POST and PUT once the headers are in (req has no content).
    // Set sink to receive the body as it arrives, or return an answer to
    // refuse the request at once; returning null with no sink buffers the
    // body as usual.
    virtual std::shared_ptr<http_response> open_upload(const http_request& req,
                                                       std::unique_ptr<upload_sink>& sink) {
        (void)req;
        (void)sink;
        return nullptr;
    }
};

// Dispatches a request to the resource's render_* by method.
std::shared_ptr<http_response> dispatch(http_resource& resource, const http_request& req);

// Server configuration, built by chaining:
//   create_webserver(32322).max_threads(5).connection_timeout(180)
class create_webserver {
public:
    explicit create_webserver(uint16_t port = 80) : port_(port) {}
    create_webserver& port(uint16_t p) {
        port_ = p;
        return *this;
    }
    create_webserver& max_threads(int n) {
        threads_ = n;
        return *this;
    }
    create_webserver& connection_timeout(int seconds) {
        timeout_ = seconds;
        return *this;
    }
    create_webserver& max_connections(int n) {
        connections_ = n;
        return *this;
    }
    // Larger POST/PUT bodies are answered 413 and never held in memory.
    create_webserver& content_size_limit(size_t bytes) {
        bodyLimit_ = bytes;
        return *this;
    }
    // Nice value the worker threads give themselves (0 keeps the process's),
    // so request bursts yield the CPU to time-critical threads.
    create_webserver& worker_nice(int n) {
        nice_ = n;
        return *this;
    }
    // Where to listen: a dotted IPv4 address (which need not be up yet), an
    // interface name (whatever its addresses), or "" for every address.
    // Anything else is logged and the server listens on 127.0.0.1 only.
    create_webserver& bind_address(const std::string& addressOrInterface) {
        bindAddress_ = addressOrInterface;
        return *this;
    }

    uint16_t port_;
    int threads_ = 5;
    int timeout_ = 180;
    int connections_ = 2048;
    size_t bodyLimit_ = 16 * 1024 * 1024;
    int nice_ = 0;
    std::string bindAddress_;
};

class webserver {
public:
    explicit webserver(const create_webserver& config);
    ~webserver();  // stops the server
    webserver(const webserver&) = delete;
    webserver& operator=(const webserver&) = delete;

    // The resource is not owned and must outlive the server (or be
    // unregistered first).  A family registration answers the path and
    // every path below it.  Registering a path again replaces it.
    bool register_resource(const std::string& path, http_resource* resource, bool family = false);
    void unregister_resource(const std::string& path);

    // Starts the worker threads; returns false (logged) when the port cannot
    // be bound.  blocking = true waits until stop() is called elsewhere.
    bool start(bool blocking = false);
    // Stops accepting, lets answers already being written finish (bounded
    // wait), then ends the worker threads.  Safe to call twice.
    void stop();
    bool is_running() const { return daemon != nullptr; }
    // The port actually bound (useful when configured with port 0).
    uint16_t get_bound_port() const;

    // Routes and dispatches a request without the network: longest
    // matching prefix, exceptions from the resource mapped to an answer
    // (conversion errors 400, anything else 500), unknown paths 404.
    std::shared_ptr<http_response> answer(const http_request& req);

    const create_webserver& config() const { return cfg; }

    // Looked at before routing: a guard that returns an answer stops the
    // request there (access control).  Set it before start().
    using Guard = std::function<std::shared_ptr<http_response>(const http_request&)>;
    void set_guard(Guard g) { guard = std::move(g); }

    // Called by the libmicrohttpd callbacks.
    struct Pending;
    int handle(MHD_Connection* connection, const char* url, const char* method, const char* upload,
               size_t* uploadSize, void** context);
    void completed(void** context);

private:
    struct Route {
        http_resource* resource;
        bool family;
    };
    http_resource* find(const std::string& path);
    int queue(MHD_Connection* connection, const http_response& response);
    int queueStream(MHD_Connection* connection, const stream_response& response);
    void fillRequest(MHD_Connection* connection, const char* url, const char* method, http_request& req);
    bool openUpload(MHD_Connection* connection, const char* url, const char* method, Pending& p, int& rc);
    void endStreams();

    create_webserver cfg;
    Guard guard;
    MHD_Daemon* daemon = nullptr;
    int listenFd = -1;
    std::shared_mutex routesLock;
    std::map<std::string, Route> routes;
    std::atomic<int> inFlight{0};
    std::atomic<bool> stopRequested{false};
    std::mutex streamsLock;
    std::vector<std::weak_ptr<StreamLink>> streams;  // open event streams, ended by stop()
};

}  // namespace httpserver
