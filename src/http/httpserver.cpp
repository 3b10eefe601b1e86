#include "http/httpserver.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "http/ChangeHook.h"
#include "http/ListenSocket.h"
#include "platform/Logging.h"

namespace httpserver {

const std::string http_response::empty;

static std::atomic<change_hook> changeHook{nullptr};

void set_change_hook(change_hook hook) {
    changeHook.store(hook);
}

file_response::~file_response() {
    if (fd >= 0) close(fd);
}

// Ties a stream_source to its connection.  Shared by the source (to wake
// it), by the response (until the server frees it) and weakly by the
// server (to end it on stop).
struct StreamLink {
    std::mutex m;
    MHD_Connection* connection = nullptr;  // null once the response is freed
    bool parked = false;
    bool ended = false;  // the server is stopping
};

void stream_source::attach(std::shared_ptr<StreamLink> l) {
    std::lock_guard<std::mutex> g(linkLock);
    link = std::move(l);
}

void stream_source::wake() {
    std::shared_ptr<StreamLink> l;
    {
        std::lock_guard<std::mutex> g(linkLock);
        l = link;
    }
    if (!l) return;
    std::lock_guard<std::mutex> g(l->m);
    if (l->parked && l->connection) {
        l->parked = false;
        MHD_resume_connection(l->connection);
    }
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string url_decode(const std::string& text, bool plusAsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(plusAsSpace && c == '+' ? ' ' : c);
    }
    return out;
}

static std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) pieces.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::vector<std::string> http_request::get_path_pieces() const {
    return splitPath(path);
}

std::vector<std::string> http_request::get_decoded_raw_pieces() const {
    std::vector<std::string> pieces = splitPath(raw_path);
    for (auto& p : pieces) p = url_decode(p);
    return pieces;
}

std::string http_request::get_arg(const std::string& name) const {
    auto it = args.find(name);
    return it == args.end() ? std::string() : it->second;
}

std::string http_request::get_header(const std::string& name) const {
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    auto it = headers.find(key);
    return it == headers.end() ? std::string() : it->second;
}

std::shared_ptr<http_response> http_resource::render(const http_request&) {
    return std::make_shared<string_response>("Method Not Allowed", 405, "text/plain");
}

std::shared_ptr<http_response> dispatch(http_resource& resource, const http_request& req) {
    const std::string& m = req.get_method();
    if (m == "GET") return resource.render_GET(req);
    if (m == "POST") return resource.render_POST(req);
    if (m == "PUT") return resource.render_PUT(req);
    if (m == "DELETE") return resource.render_DELETE(req);
    if (m == "OPTIONS") return resource.render_OPTIONS(req);
    if (m == "HEAD") return resource.render_HEAD(req);
    return resource.render(req);
}

// ---- server ----

// What one request collects between the callbacks of libmicrohttpd.
struct webserver::Pending {
    std::string body;
    std::unique_ptr<upload_sink> sink;
    bool sinkRefused = false;
    bool headersSeen = false;
    bool dispatched = false;  // counted in inFlight until completed
};

namespace {

MHD_Result onAccess(void* cls, MHD_Connection* connection, const char* url, const char* method,
                    const char* version, const char* upload, size_t* uploadSize, void** context) {
    auto* server = static_cast<webserver*>(cls);
    // Nothing may unwind through the C library: a failure here (out of
    // memory while collecting a body) drops this one connection.
    try {
        return server->handle(connection, url, method, upload, uploadSize, context) ? MHD_YES : MHD_NO;
    } catch (const std::exception& e) {
        LogErr(VB_HTTP, "HTTP server: dropping %s %s: %s\n", method, url, e.what());
    } catch (...) {
        LogErr(VB_HTTP, "HTTP server: dropping %s %s\n", method, url);
    }
    return MHD_NO;
}

void onCompleted(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    static_cast<webserver*>(cls)->completed(context);
}

// The path and the query arguments are decoded by us, from the text as sent,
// so routing sees one decoding and "%00" cannot cut a C string short.
size_t keepEscapes(void*, MHD_Connection*, char* s) {
    return strlen(s);
}

void onServerLog(void*, const char* format, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof(buf), format, ap);
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // A page that closes its event stream (or a client that leaves during
    // an answer) is ordinary, not a fault of the server.
    if (text.find("no longer available for sending") != std::string::npos) {
        LogDebug(VB_HTTP, "HTTP server: %s\n", text.c_str());
        return;
    }
    LogWarn(VB_HTTP, "HTTP server: %s\n", text.c_str());
}

struct Collected {
    std::map<std::string, std::string>* target;
    std::string* query;  // rebuilt "?a=b&c" text, for logging; null for headers
    bool lowerKeys;
};

MHD_Result collectValue(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* c = static_cast<Collected*>(cls);
    std::string k = key ? key : "";
    std::string v = value ? value : "";
    if (c->query) {
        *c->query += c->query->empty() ? "?" : "&";
        *c->query += k;
        if (value) *c->query += "=" + v;
        // '+' was already turned into ' ' by the server; the rest of the
        // decoding is ours (see keepEscapes).
        k = url_decode(k);
        v = url_decode(v);
    }
    if (c->lowerKeys)
        std::transform(k.begin(), k.end(), k.begin(), [](unsigned char ch) { return std::tolower(ch); });
    c->target->emplace(k, v);  // first occurrence wins
    return MHD_YES;
}

std::string clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return "";
    char buf[INET6_ADDRSTRLEN] = "";
    if (info->client_addr->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof(buf));
    } else if (info->client_addr->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof(buf));
    }
    return buf;
}

struct StreamHolder {
    std::shared_ptr<StreamLink> link;
    std::shared_ptr<stream_source> source;
};

ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
    auto* h = static_cast<StreamHolder*>(cls);
    std::lock_guard<std::mutex> g(h->link->m);
    if (h->link->ended) return MHD_CONTENT_READER_END_OF_STREAM;
    ssize_t n = h->source->read(buf, max);
    if (n > 0) return n;
    if (n < 0) return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: park the connection instead of being asked again
    // at once; the producer's wake() resumes it.
    MHD_suspend_connection(h->link->connection);
    h->link->parked = true;
    return 0;
}

void freeStream(void* cls) {
    auto* h = static_cast<StreamHolder*>(cls);
    {
        std::lock_guard<std::mutex> g(h->link->m);
        h->link->connection = nullptr;
        h->link->parked = false;
    }
    delete h;
}

bool declaredTooLarge(MHD_Connection* connection, size_t limit) {
    const char* len =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!len) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = strtoull(len, &end, 10);
    return errno == ERANGE || n > limit;
}

}  // namespace

webserver::webserver(const create_webserver& config) : cfg(config) {}

webserver::~webserver() {
    stop();
}

bool webserver::register_resource(const std::string& path, http_resource* resource, bool family) {
    if (!resource || path.empty() || path[0] != '/') return false;
    std::string key = path;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    std::unique_lock<std::shared_mutex> l(routesLock);
    routes[key] = Route{resource, family};
    return true;
}

void webserver::unregister_resource(const std::string& path) {
    std::unique_lock<std::shared_mutex> l(routesLock);
    routes.erase(path);
}

http_resource* webserver::find(const std::string& path) {
    std::shared_lock<std::shared_mutex> l(routesLock);
    auto exact = routes.find(path);
    if (exact != routes.end()) return exact->second.resource;
    // Walk up the path one component at a time: the first family found is
    // the longest registered prefix.
    std::string prefix = path;
    while (!prefix.empty()) {
        size_t slash = prefix.find_last_of('/');
        if (slash == std::string::npos) break;
        prefix.erase(slash == 0 ? 1 : slash);
        auto it = routes.find(prefix);
        if (it != routes.end() && it->second.family) return it->second.resource;
        if (prefix == "/") break;
    }
    return nullptr;
}

std::shared_ptr<http_response> webserver::answer(const http_request& req) {
    if (req.get_path().find('\0') != std::string::npos) {
        return std::make_shared<string_response>("Bad Request", 400, "text/plain");
    }
    if (guard) {
        if (std::shared_ptr<http_response> refused = guard(req)) return refused;
    }
    http_resource* resource = find(req.get_path());
    if (!resource) return std::make_shared<string_response>("Not Found", 404, "text/plain");
    try {
        std::shared_ptr<http_response> res = dispatch(*resource, req);
        if (res) return res;
        LogErr(VB_HTTP, "%s %s: the resource gave no answer\n", req.get_method().c_str(),
               req.get_path().c_str());
        return std::make_shared<string_response>("Internal Server Error", 500, "text/plain");
    } catch (const std::invalid_argument& e) {
        LogErr(VB_HTTP, "%s %s%s: bad value in request (%s)\n", req.get_method().c_str(),
               req.get_path().c_str(), req.get_querystring().c_str(), e.what());
        return std::make_shared<string_response>("Bad Request: invalid number in request", 400, "text/plain");
    } catch (const std::out_of_range& e) {
        LogErr(VB_HTTP, "%s %s%s: value out of range (%s)\n", req.get_method().c_str(),
               req.get_path().c_str(), req.get_querystring().c_str(), e.what());
        return std::make_shared<string_response>("Bad Request: number out of range", 400, "text/plain");
    } catch (const std::exception& e) {
        LogErr(VB_HTTP, "%s %s failed: %s\n", req.get_method().c_str(), req.get_path().c_str(), e.what());
        return std::make_shared<string_response>("Internal Server Error", 500, "text/plain");
    } catch (...) {
        LogErr(VB_HTTP, "%s %s failed with an unknown exception\n", req.get_method().c_str(),
               req.get_path().c_str());
        return std::make_shared<string_response>("Internal Server Error", 500, "text/plain");
    }
}

int webserver::queueStream(MHD_Connection* connection, const stream_response& response) {
    auto link = std::make_shared<StreamLink>();
    link->connection = connection;
    response.source->attach(link);
    auto* holder = new StreamHolder{link, response.source};
    MHD_Response* r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readStream, holder, freeStream);
    if (!r) {
        delete holder;
        return 0;
    }
    {
        std::lock_guard<std::mutex> g(streamsLock);
        streams.erase(std::remove_if(streams.begin(), streams.end(),
                                     [](const std::weak_ptr<StreamLink>& w) { return w.expired(); }),
                      streams.end());
        streams.push_back(link);
        if (stopRequested) link->ended = true;  // stop() has already ended the others
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.get_content_type().c_str());
    for (const auto& h : response.get_headers())
        MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    MHD_Result ok = MHD_queue_response(connection, response.get_response_code(), r);
    MHD_destroy_response(r);
    return ok == MHD_YES;
}

void webserver::endStreams() {
    std::vector<std::shared_ptr<StreamLink>> open;
    {
        std::lock_guard<std::mutex> g(streamsLock);
        for (auto& w : streams)
            if (auto l = w.lock()) open.push_back(l);
        streams.clear();
    }
    // A parked connection must be resumed before the daemon may stop; the
    // next read then ends the stream.
    for (auto& l : open) {
        std::lock_guard<std::mutex> g(l->m);
        l->ended = true;
        if (l->parked && l->connection) {
            l->parked = false;
            MHD_resume_connection(l->connection);
        }
    }
}

int webserver::queue(MHD_Connection* connection, const http_response& response) {
    if (auto* stream = dynamic_cast<const stream_response*>(&response))
        return queueStream(connection, *stream);
    MHD_Response* r = nullptr;
    if (auto* file = dynamic_cast<const file_response*>(&response)) {
        int fd = const_cast<file_response*>(file)->release_fd();
        if (fd < 0) return 0;
        r = MHD_create_response_from_fd64(file->get_size(), fd);
        if (!r) close(fd);
    } else {
        const std::string& body = response.get_content();
        r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                            MHD_RESPMEM_MUST_COPY);
    }
    if (!r) return 0;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.get_content_type().c_str());
    for (const auto& h : response.get_headers())
        MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    MHD_Result ok = MHD_queue_response(connection, response.get_response_code(), r);
    MHD_destroy_response(r);
    return ok == MHD_YES;
}

int webserver::handle(MHD_Connection* connection, const char* url, const char* method, const char* upload,
                      size_t* uploadSize, void** context) {
    static thread_local bool niced = false;
    if (!niced) {
        niced = true;
        if (cfg.nice_ != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), cfg.nice_);
    }
    auto* p = static_cast<Pending*>(*context);
    if (!p) {
        p = new Pending();
        *context = p;
    }
    if (!p->headersSeen) {
        p->headersSeen = true;
        int rc = 0;
        if ((strcmp(method, "POST") == 0 || strcmp(method, "PUT") == 0) &&
            openUpload(connection, url, method, *p, rc))
            return rc;
        if (declaredTooLarge(connection, cfg.bodyLimit_)) {
            LogWarn(VB_HTTP, "%s %s: request body over %zu bytes refused\n", method, url, cfg.bodyLimit_);
            return queue(connection, string_response("Payload Too Large", 413, "text/plain"));
        }
        return 1;
    }
    if (*uploadSize && p->sink) {
        if (!p->sinkRefused && !p->sink->write(upload, *uploadSize)) p->sinkRefused = true;
        *uploadSize = 0;
        return 1;
    }
    if (*uploadSize) {
        if (p->body.size() + *uploadSize > cfg.bodyLimit_) {
            // A body without a length that keeps growing: drop the
            // connection rather than hold it.
            LogWarn(VB_HTTP, "%s %s: request body over %zu bytes, connection dropped\n", method, url,
                    cfg.bodyLimit_);
            return 0;
        }
        p->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return 1;
    }

    std::shared_ptr<http_response> res;
    if (p->sink) {
        res = p->sink->finish();
        p->sink.reset();
        if (!res) res = std::make_shared<string_response>("Internal Server Error", 500, "text/plain");
    } else {
        http_request req;
        fillRequest(connection, url, method, req);
        req.content.swap(p->body);
        res = answer(req);
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        if (change_hook hook = changeHook.load()) hook();
    }
    p->dispatched = true;
    inFlight++;
    return queue(connection, *res);
}

void webserver::fillRequest(MHD_Connection* connection, const char* url, const char* method,
                            http_request& req) {
    req.method = method;
    req.raw_path = url;  // the server has split off the query already
    req.path = url_decode(req.raw_path);
    Collected args{&req.args, &req.querystring, false};
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectValue, &args);
    Collected headers{&req.headers, nullptr, true};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectValue, &headers);
    req.requestor = clientAddress(connection);
}

// Gives the resource the chance to take the body as it arrives.  True when
// it did (rc is then the callback's answer): a sink was opened or the
// request was refused before its body.
bool webserver::openUpload(MHD_Connection* connection, const char* url, const char* method, Pending& p,
                           int& rc) {
    http_request head;
    fillRequest(connection, url, method, head);
    if (head.get_path().find('\0') != std::string::npos) return false;
    if (guard) {
        if (std::shared_ptr<http_response> refused = guard(head)) {
            rc = queue(connection, *refused);  // before a byte of the body is stored
            return true;
        }
    }
    http_resource* resource = find(head.get_path());
    if (!resource) return false;
    std::shared_ptr<http_response> refusal;
    try {
        // A streamed body never reaches answer(): the guard looks here.
        if (guard) refusal = guard(head);
        if (!refusal) refusal = resource->open_upload(head, p.sink);
    } catch (const std::exception& e) {
        LogErr(VB_HTTP, "%s %s: upload not opened: %s\n", method, url, e.what());
        p.sink.reset();
        refusal = std::make_shared<string_response>("Internal Server Error", 500, "text/plain");
    }
    if (refusal) {
        p.sink.reset();
        rc = queue(connection, *refusal);
        return true;
    }
    if (!p.sink) return false;
    rc = 1;
    return true;
}

void webserver::completed(void** context) {
    auto* p = static_cast<Pending*>(*context);
    if (!p) return;
    if (p->dispatched) inFlight--;
    delete p;
    *context = nullptr;
}

bool webserver::start(bool blocking) {
    if (daemon) return true;
    stopRequested = false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cfg.port_);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    // Every address: the server binds itself.  One address or interface:
    // our own socket, handed over (and closed by the server).
    MHD_OptionItem where[] = {{MHD_OPTION_SOCK_ADDR, 0, &addr}, {MHD_OPTION_END, 0, nullptr}};
    if (!cfg.bindAddress_.empty()) {
        std::string described;
        int fd = ListenSocket::Open(cfg.bindAddress_, cfg.port_, described);
        if (fd < 0) return false;
        LogInfo(VB_HTTP, "HTTP server listens on %s only\n", described.c_str());
        where[0] = {MHD_OPTION_LISTEN_SOCKET, fd, nullptr};
    }
    unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG |
                     MHD_ALLOW_SUSPEND_RESUME;
    daemon = MHD_start_daemon(flags, cfg.port_, nullptr, nullptr, onAccess, this, MHD_OPTION_EXTERNAL_LOGGER,
                              onServerLog, nullptr, MHD_OPTION_THREAD_POOL_SIZE,
                              static_cast<unsigned>(std::max(1, cfg.threads_)), MHD_OPTION_CONNECTION_TIMEOUT,
                              static_cast<unsigned>(std::max(0, cfg.timeout_)), MHD_OPTION_CONNECTION_LIMIT,
                              static_cast<unsigned>(std::max(1, cfg.connections_)),
                              MHD_OPTION_NOTIFY_COMPLETED, onCompleted, this, MHD_OPTION_UNESCAPE_CALLBACK,
                              keepEscapes, nullptr, MHD_OPTION_ARRAY, where, MHD_OPTION_END);
    if (!daemon && where[0].option == MHD_OPTION_LISTEN_SOCKET) close(static_cast<int>(where[0].value));
    if (!daemon) {
        LogErr(VB_HTTP, "HTTP server: cannot listen on port %u\n", cfg.port_);
        return false;
    }
    LogDebug(VB_HTTP, "HTTP server listening on port %u\n", get_bound_port());
    if (blocking) {
        while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void webserver::stop() {
    stopRequested = true;
    if (!daemon) return;
    listenFd = MHD_quiesce_daemon(daemon);
    endStreams();
    // Let answers already handed to the server reach their clients (the
    // shutdown endpoint answers before the daemon stops), but never wait on
    // a client that does not read.
    for (int i = 0; i < 200 && inFlight.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    MHD_stop_daemon(daemon);
    daemon = nullptr;
    if (listenFd >= 0) close(listenFd);
    listenFd = -1;
}

uint16_t webserver::get_bound_port() const {
    if (!daemon) return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

}  // namespace httpserver
