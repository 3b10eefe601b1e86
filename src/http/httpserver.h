// A small HTTP server layer over libmicrohttpd: resources answer requests
// with string responses.  Resources are registered under a path; a "family"
// registration also answers every path below it (longest prefix wins).
//
// Threading: render_* run on the server's worker threads, several at once;
// resources guard their own state.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace httpserver {

class http_request {
public:
    http_request() = default;
    http_request(const std::string& method, const std::string& path, const std::string& content = "",
                 const std::map<std::string, std::string>& args = {},
                 const std::map<std::string, std::string>& headers = {})
        : method(method), path(path), content(content), args(args), headers(headers) {}

    const std::string& get_method() const { return method; }
    // The URL path without the query string, e.g. "/lyrd/status".
    const std::string& get_path() const { return path; }
    // The path split at "/", empty components dropped.
    std::vector<std::string> get_path_pieces() const;
    // A query (or form) argument; "" when absent.
    std::string get_arg(const std::string& name) const;
    bool has_arg(const std::string& name) const { return args.count(name) != 0; }
    const std::map<std::string, std::string>& get_args() const { return args; }
    const std::string& get_content() const { return content; }
    std::string get_header(const std::string& name) const;
    const std::string& get_querystring() const { return querystring; }
    const std::string& get_requestor() const { return requestor; }

    std::string method;
    std::string path;
    std::string content;
    std::map<std::string, std::string> args;
    std::map<std::string, std::string> headers;  // keys lower-cased
    std::string querystring;
    std::string requestor;
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
    explicit string_response(const std::string& body, int code = 200, const std::string& contentType = "text/plain")
        : http_response(code, contentType), body(body) {}
    const std::string& get_content() const override { return body; }

private:
    std::string body;
};

class http_resource {
public:
    virtual ~http_resource() {}
    // Default answers: 405 "Method Not Allowed" for every method.
    virtual std::shared_ptr<http_response> render(const http_request& req);
    virtual std::shared_ptr<http_response> render_GET(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_POST(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PUT(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_DELETE(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_OPTIONS(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_HEAD(const http_request& req) { return render(req); }
};

// Dispatches a request to the resource's render_* by method.
std::shared_ptr<http_response> dispatch(http_resource& resource, const http_request& req);

}  // namespace httpserver
