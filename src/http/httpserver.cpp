#include "http/httpserver.h"

#include <algorithm>
#include <cctype>

namespace httpserver {

const std::string http_response::empty;

std::vector<std::string> http_request::get_path_pieces() const {
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

}  // namespace httpserver
