#include "webpage/StaticFiles.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

static std::shared_ptr<http_response> redirect(const std::string& to) {
    auto r = std::make_shared<string_response>("Moved to " + to, 302, "text/plain");
    r->with_header("Location", to);
    return r;
}

std::shared_ptr<http_response> RootRedirect::render_GET(const http_request& req) {
    if (req.get_path() != "/") return std::make_shared<string_response>("Not Found", 404);
    return redirect("/ui/");
}

std::string StaticFiles::contentTypeFor(const std::string& name) {
    static const std::map<std::string, std::string> types{{"html", "text/html; charset=utf-8"},
                                                          {"js", "text/javascript; charset=utf-8"},
                                                          {"mjs", "text/javascript; charset=utf-8"},
                                                          {"css", "text/css; charset=utf-8"},
                                                          {"json", "application/json"},
                                                          {"svg", "image/svg+xml"},
                                                          {"png", "image/png"},
                                                          {"ico", "image/x-icon"},
                                                          {"txt", "text/plain; charset=utf-8"},
                                                          {"webmanifest", "application/manifest+json"},
                                                          {"woff2", "font/woff2"}};
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) {
        auto it = types.find(name.substr(dot + 1));
        if (it != types.end()) return it->second;
    }
    return "application/octet-stream";
}

bool StaticFiles::isCompressible(const std::string& type) {
    return type.rfind("text/", 0) == 0 || type.find("json") != std::string::npos ||
           type.find("svg") != std::string::npos;
}

std::string StaticFiles::gzip(const std::string& data) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    size_t n = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return "";
    out.resize(n);
    return out;
}

std::string StaticFiles::httpDate(time_t t) {
    struct tm g;
    gmtime_r(&t, &g);
    char buf[64];
    strftime(buf, sizeof(buf), "%a, %d %b %Y %H:%M:%S GMT", &g);
    return buf;
}

std::string StaticFiles::resolve(const http_request& req) const {
    std::vector<std::string> pieces = req.get_decoded_raw_pieces();
    if (pieces.empty() || pieces[0] != "ui") return "";
    pieces.erase(pieces.begin());
    if (pieces.empty()) pieces.push_back("index.html");
    std::string path = root;
    for (const auto& p : pieces) {
        // No hidden files, no way out of the folder.
        if (p.empty() || p[0] == '.' || p.find('/') != std::string::npos || p.find('\0') != std::string::npos)
            return "";
        path += "/" + p;
    }
    return path;
}

std::shared_ptr<const StaticFiles::Entry> StaticFiles::load(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    {
        std::lock_guard<std::mutex> l(lock);
        auto it = cache.find(path);
        if (it != cache.end() && it->second->size == st.st_size &&
            it->second->mtimeNs == st.st_mtim.tv_nsec && it->second->mtime == st.st_mtime)
            return it->second;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::ostringstream ss;
    ss << in.rdbuf();
    auto e = std::make_shared<Entry>();
    e->body = ss.str();
    e->size = st.st_size;
    e->mtime = st.st_mtime;
    e->mtimeNs = st.st_mtim.tv_nsec;
    e->type = contentTypeFor(path);
    if (isCompressible(e->type) && e->body.size() > 256) {
        e->gz = gzip(e->body);
        if (e->gz.size() >= e->body.size()) e->gz.clear();
    }
    char tag[64];
    snprintf(tag, sizeof(tag), "\"%llx-%llx-%lx\"", static_cast<unsigned long long>(e->body.size()),
             static_cast<unsigned long long>(e->mtime), e->mtimeNs);
    e->etag = tag;
    std::lock_guard<std::mutex> l(lock);
    cache[path] = e;
    return e;
}

std::shared_ptr<http_response> StaticFiles::render_GET(const http_request& req) {
    if (req.get_path() == "/ui") return redirect("/ui/");
    std::string path = resolve(req);
    std::shared_ptr<const Entry> e = path.empty() ? nullptr : load(path);
    if (!e) return std::make_shared<string_response>("Not Found", 404, "text/plain");

    std::shared_ptr<http_response> res;
    std::string match = req.get_header("If-None-Match");
    bool gz = !e->gz.empty() && req.get_header("Accept-Encoding").find("gzip") != std::string::npos;
    if (!match.empty() && match.find(e->etag) != std::string::npos) {
        res = std::make_shared<string_response>("", 304, e->type);
    } else {
        res = std::make_shared<string_response>(gz ? e->gz : e->body, 200, e->type);
        if (gz) res->with_header("Content-Encoding", "gzip");
    }
    res->with_header("ETag", e->etag);
    res->with_header("Last-Modified", httpDate(e->mtime));
    res->with_header("Cache-Control", "no-cache");
    if (!e->gz.empty()) res->with_header("Vary", "Accept-Encoding");
    res->with_header("X-Content-Type-Options", "nosniff");
    return res;
}
