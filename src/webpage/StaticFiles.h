// The web page's own files, served from a folder of the install tree
// (www/ui) below "/ui/"; "/ui" and "/" redirect to "/ui/".
//
// Every answer carries its content type, an ETag and Last-Modified (a
// matching If-None-Match answers 304) and "Cache-Control: no-cache", so a
// phone revalidates cheaply and never runs a stale page after an upgrade.
// Text files go gzip-compressed to clients that accept it.  Files are read
// and compressed once and again only when their size or time changes.
//
// Threading: render_GET on HTTP workers; the cache has its own lock.
#pragma once

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/httpserver.h"

class StaticFiles : public httpserver::http_resource {
public:
    explicit StaticFiles(std::string root) : root(std::move(root)) {}

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

    static std::string contentTypeFor(const std::string& name);
    static bool isCompressible(const std::string& contentType);
    // gzip format; "" when compression fails.
    static std::string gzip(const std::string& data);
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    static std::string httpDate(time_t t);

private:
    struct Entry {
        off_t size = 0;
        long mtimeNs = 0;
        time_t mtime = 0;
        std::string body, gz, etag, type;
    };
    // The file below root for the request, "" when it may not be served.
    std::string resolve(const httpserver::http_request& req) const;
    std::shared_ptr<const Entry> load(const std::string& path);

    const std::string root;
    std::mutex lock;
    std::map<std::string, std::shared_ptr<const Entry>> cache;
};

// Answers "/" with a redirect to the page.
class RootRedirect : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
