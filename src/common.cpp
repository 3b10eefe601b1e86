#include "common.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Logging.h"
#include "platform/Version.h"

// ---------------------------------------------------------------- strings

void TrimWhiteSpace(std::string& s) {
    size_t start = 0;
    while (start < s.size() && isspace(static_cast<unsigned char>(s[start]))) start++;
    size_t end = s.size();
    while (end > start && isspace(static_cast<unsigned char>(s[end - 1]))) end--;
    s = s.substr(start, end - start);
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

void toUpper(std::string& s) {
    for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
}
void toLower(std::string& s) {
    for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
}
std::string toUpperCopy(const std::string& s) {
    std::string r = s;
    toUpper(r);
    return r;
}
std::string toLowerCopy(const std::string& s) {
    std::string r = s;
    toLower(r);
    return r;
}

std::vector<std::string>& split(const std::string& s, char delim, std::vector<std::string>& out) {
    std::stringstream ss(s);
    std::string token;
    while (std::getline(ss, token, delim)) out.push_back(token);
    return out;
}

std::vector<std::string> split(const std::string& s, char delim) {
    std::vector<std::string> out;
    split(s, delim, out);
    return out;
}

std::vector<std::string> splitWithQuotes(const std::string& s, char delim) {
    std::vector<std::string> out;
    bool inQuotes = false;
    size_t tokenStart = 0;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '"' || c == '\'') {
            inQuotes = !inQuotes;
        } else if (c == delim && !inQuotes) {
            out.push_back(s.substr(tokenStart, i - tokenStart));
            tokenStart = i + 1;
        }
    }
    out.push_back(s.substr(tokenStart));
    for (auto& t : out) {
        if (t.size() > 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front()) {
            t = t.substr(1, t.size() - 2);
        }
    }
    return out;
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

void ReplaceString(std::string& s, const std::string& from, const std::string& to) { replaceAll(s, from, to); }

bool replaceStart(std::string& s, const std::string& prefix, const std::string& with) {
    if (!startsWith(s, prefix)) return false;
    s = with + s.substr(prefix.size());
    return true;
}

bool replaceEnd(std::string& s, const std::string& suffix, const std::string& with) {
    if (!endsWith(s, suffix)) return false;
    s = s.substr(0, s.size() - suffix.size()) + with;
    return true;
}

std::string tail(const std::string& s, unsigned n) {
    if (n >= s.size()) return s;
    return s.substr(s.size() - n);
}

std::string getSimpleXMLTag(const std::string& xml, const std::string& tag) {
    std::string open = "<" + tag + ">";
    std::string close = "</" + tag + ">";
    size_t start = xml.find(open);
    if (start == std::string::npos) return "";
    start += open.size();
    size_t end = xml.find(close, start);
    if (end == std::string::npos) return "";
    std::string r = xml.substr(start, end - start);
    TrimWhiteSpace(r);
    return r;
}

std::string getSimpleHTMLTTag(const std::string& html, const std::string& after, const std::string& startTag,
                              const std::string& endTag) {
    size_t pos = 0;
    if (!after.empty()) {
        pos = html.find(after);
        if (pos == std::string::npos) return "";
        pos += after.size();
    }
    size_t start = html.find(startTag, pos);
    if (start == std::string::npos) return "";
    start += startTag.size();
    size_t end = html.find(endTag, start);
    if (end == std::string::npos) return "";
    std::string r = html.substr(start, end - start);
    TrimWhiteSpace(r);
    replaceAll(r, "  ", " ");
    return r;
}

std::string ReplaceKeywords(std::string s, std::map<std::string, std::string>& keywords) {
    for (auto& kw : keywords) replaceAll(s, "%" + kw.first + "%", kw.second);

    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    replaceAll(s, "%TIME%", buf);
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    replaceAll(s, "%DATE%", buf);

    replaceAll(s, "%LYR_VERSION%", getLyrVersionTriplet());
    replaceAll(s, "%LYR_SOURCE_VERSION%", getLyrVersion());
    replaceAll(s, "%LYR_BRANCH%", getLyrBranch());
    return s;
}

uint8_t ReverseBitsInByte(uint8_t b) {
    static const uint8_t nibble[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                       0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};
    return static_cast<uint8_t>((nibble[b & 0x0F] << 4) | nibble[b >> 4]);
}

static const char BASE64_CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const unsigned char* data, unsigned len) {
    std::string out;
    out.reserve(((len + 2) / 3) * 4);
    unsigned i = 0;
    for (; i + 2 < len; i += 3) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += BASE64_CHARS[(v >> 18) & 63];
        out += BASE64_CHARS[(v >> 12) & 63];
        out += BASE64_CHARS[(v >> 6) & 63];
        out += BASE64_CHARS[v & 63];
    }
    if (i < len) {
        uint32_t v = data[i] << 16;
        if (i + 1 < len) v |= data[i + 1] << 8;
        out += BASE64_CHARS[(v >> 18) & 63];
        out += BASE64_CHARS[(v >> 12) & 63];
        out += (i + 1 < len) ? BASE64_CHARS[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<unsigned char> base64Decode(const std::string& s) {
    std::vector<unsigned char> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        const char* p = (c == '\0') ? nullptr : strchr(BASE64_CHARS, c);
        if (!p) break;  // stops at "=" or any character outside the alphabet
        acc = (acc << 6) | static_cast<uint32_t>(p - BASE64_CHARS);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// ---------------------------------------------------------------- files

bool FileExists(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}
bool FileExists(const std::string& path) { return FileExists(path.c_str()); }

bool DirectoryExists(const char* path) {
    if (!path) return false;
    DIR* d = opendir(path);
    if (!d) return false;
    closedir(d);
    return true;
}
bool DirectoryExists(const std::string& path) { return DirectoryExists(path.c_str()); }

bool Touch(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string GetFileContents(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteAll(int fd, const std::string& content) {
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool JsonArgText(const Json::Value& v, std::string& out) {
    if (v.isString()) {
        out = v.asString();
        return true;
    }
    if (v.isBool()) {
        out = v.asBool() ? "true" : "false";
        return true;
    }
    if (v.isIntegral()) {
        out = v.isInt64() ? std::to_string(v.asInt64()) : std::to_string(v.asUInt64());
        return true;
    }
    if (v.isDouble()) {
        out = v.asString();
        return true;
    }
    return false;
}

bool PutFileContents(const std::string& path, const std::string& content) {
    // Write beside the target and rename over it, so readers see either the old
    // or the new file, never a truncated one.  The temporary name is unique
    // per call: two threads saving the same file must not share one.
    std::string tmp = path + ".tmp.XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        LogErr(VB_GENERAL, "ERROR: Unable to open %s for writing.\n", path.c_str());
        return false;
    }
    // mkostemp creates it 0600; other accounts (the web front end) must be
    // able to read the file the moment it appears.
    if (fchmod(fd, 0664) != 0) {
        // SetFilePerms below tries again after the rename.
    }
    bool ok = WriteAll(fd, content) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        LogErr(VB_GENERAL, "ERROR: Unable to write %s: %s\n", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    SetFilePerms(path, false);
    return true;
}

bool SetFilePerms(const std::string& path, bool executable) { return SetFilePerms(path.c_str(), executable); }

bool SetFilePerms(const char* path, bool executable) {
    chmod(path, executable ? 0775 : 0664);
    struct passwd pwd;
    struct passwd* result = nullptr;
    char buf[1024];
    if (getpwnam_r("lyr", &pwd, buf, sizeof(buf), &result) == 0 && result) {
        if (chown(path, pwd.pw_uid, pwd.pw_gid) != 0) {
            // Not fatal: the file is still usable by the daemon itself.
        }
    }
    return true;
}

bool CheckForHostSpecificFile(const std::string& host, std::string& filename) {
    std::string ext;
    if (filename.size() >= 4 && filename[filename.size() - 4] == '.') {
        ext = filename.substr(filename.size() - 4);
    } else if (filename.size() >= 5 && filename[filename.size() - 5] == '.') {
        ext = filename.substr(filename.size() - 5);
    } else {
        return false;
    }
    std::string base = filename.substr(0, filename.size() - ext.size());
    for (const char* sep : {"-", "_"}) {
        std::string candidate = base + sep + host + ext;
        if (FileExists(candidate)) {
            LogDebug(VB_GENERAL, "Found %s to use instead of %s\n", candidate.c_str(), filename.c_str());
            filename = candidate;
            return true;
        }
    }
    return false;
}

bool CheckForHostSpecificFile(const char* host, char* filename) {
    // The caller's buffer may not have room for a longer name, so only a name
    // that fits in place of the old one (plus the host) is written back.
    std::string f = filename;
    if (!CheckForHostSpecificFile(std::string(host), f)) return false;
    strcpy(filename, f.c_str());  // callers size the buffer for name + host
    return true;
}

void HexDump(const char* title, const void* data, int len, LyrLoggerInstance& logger) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (title && *title) LogInfo(logger, "%s: (%d bytes)\n", title, len);
    for (int off = 0; off < len; off += 16) {
        char line[128];
        int pos = snprintf(line, sizeof(line), "%06x: ", off);
        int count = std::min(16, len - off);
        for (int i = 0; i < count; i++) pos += snprintf(line + pos, sizeof(line) - pos, "%02x ", bytes[off + i]);
        for (int i = count; i < 16; i++) pos += snprintf(line + pos, sizeof(line) - pos, "   ");
        pos += snprintf(line + pos, sizeof(line) - pos, "   ");
        for (int i = 0; i < count; i++) {
            unsigned char c = bytes[off + i];
            bool show = (isgraph(c) || c == ' ') && c != '%' && c != '\\';
            line[pos++] = show ? static_cast<char>(c) : '.';
        }
        line[pos++] = '\n';
        line[pos] = '\0';
        LogInfo(logger, "%s", line);
    }
}

// ---------------------------------------------------------------- JSON

bool LoadJsonFromString(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    Json::Value parsed;
    if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) {
        out = parsed;
        LogDebug(VB_GENERAL, "LoadJsonFromString() loaded: '%s'\n", text.c_str());
        return true;
    }
    LogErr(VB_GENERAL, "Error parsing JSON string in LoadJsonFromString(): '%s'\n", text.c_str());
    out = Json::Value();
    return false;
}

Json::Value LoadJsonFromString(const std::string& text) {
    Json::Value v;
    LoadJsonFromString(text, v);
    return v;
}

bool LoadJsonFromFile(const std::string& path, Json::Value& out) {
    if (!FileExists(path)) {
        LogErr(VB_GENERAL, "JSON File %s does not exist\n", path.c_str());
        return false;
    }
    return LoadJsonFromString(GetFileContents(path), out);
}

bool LoadJsonFromFile(const char* path, Json::Value& out) { return LoadJsonFromFile(std::string(path), out); }

Json::Value LoadJsonFromFile(const std::string& path) {
    Json::Value v;
    LoadJsonFromFile(path, v);
    return v;
}

std::string SaveJsonToString(const Json::Value& v, const std::string& indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    return Json::writeString(builder, v);
}

bool SaveJsonToString(const Json::Value& v, std::string& out, const std::string& indentation) {
    out = SaveJsonToString(v, indentation);
    return !out.empty();
}

bool SaveJsonToFile(const Json::Value& v, const std::string& path, const std::string& indentation) {
    std::string text;
    if (!SaveJsonToString(v, text, indentation)) {
        LogErr(VB_GENERAL, "Error converting Json::Value to std::string()\n");
        return false;
    }
    return PutFileContents(path, text);
}

bool SaveJsonToFile(const Json::Value& v, const char* path, const char* indentation) {
    return SaveJsonToFile(v, std::string(path), std::string(indentation ? indentation : ""));
}

void MergeJsonValues(Json::Value& into, Json::Value& from) {
    if (!from.isObject()) return;
    if (!into.isObject()) into = Json::Value(Json::objectValue);
    for (const auto& name : from.getMemberNames()) {
        if (into.isMember(name) && into[name].isObject() && from[name].isObject()) {
            MergeJsonValues(into[name], from[name]);
        } else {
            into[name] = from[name];
        }
    }
}

// ---------------------------------------------------------------- time and dates

int64_t GetTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

int64_t GetTimeMS() { return GetTime() / 1000; }

int DateStrToInt(const char* s) {
    if (!s || strlen(s) != 10 || s[4] != '-' || s[7] != '-') return 0;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) return 0;
    }
    int y = atoi(s), m = atoi(s + 5), d = atoi(s + 8);
    return y * 10000 + m * 100 + d;
}

int GetCurrentDateInt(int offsetDays) {
    time_t t = time(nullptr) + static_cast<time_t>(offsetDays) * 86400;
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

bool DateInRange(int date, int start, int end) {
    LogExcess(VB_GENERAL, "DateInRange, checking if %d (s) <= %d (c) <= %d (e)\n", start, date, end);
    if (start < 10000 || end < 10000) {
        start %= 10000;
        end %= 10000;
        date %= 10000;
        if (end < start) {
            if (end >= date) date += 10000;
            end += 10000;
            if (start >= 100) {
                LogExcess(VB_GENERAL, "Actual compare is: %d (s) <= %d (c) <= %d (e)\n", start, date, end);
                return start <= date && date <= end;
            }
        }
    }
    if (start >= 100 && end >= 100) {
        LogExcess(VB_GENERAL, "Actual compare is: %d (s) <= %d (c) <= %d (e)\n", start, date, end);
        if (start == 0 && end == 0) return true;
        return start <= date && date <= end;
    }
    start %= 100;
    end %= 100;
    date %= 100;
    if (end >= start) {
        LogExcess(VB_GENERAL, "Actual compare is: %d (s) <= %d (c) <= %d (e)\n", start, date, end);
        if (start == 0 && end == 0) return true;
        return start <= date && date <= end;
    }
    if (end >= date) date += 100;
    LogExcess(VB_GENERAL, "Actual compare is: %d (s) <= %d (c) <= %d (e)\n", start, date, end + 100);
    return start <= date && date <= end + 100;
}

bool DateInRange(time_t when, int start, int end) {
    struct tm tm;
    localtime_r(&when, &tm);
    int date = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
    return DateInRange(date, start, end);
}

bool CurrentDateInRange(int start, int end) { return DateInRange(time(nullptr), start, end); }

std::string GetTimeStr(std::string format) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[256];
    size_t n = strftime(buf, sizeof(buf), format.c_str(), &tm);
    return std::string(buf, n);
}

std::string GetDateStr(std::string format) { return GetTimeStr(format); }

// ---------------------------------------------------------------- network

int GetInterfaceAddress(const char* ifname, char* addr, char* mask, char* gateway) {
    if (addr) strcpy(addr, "127.0.0.1");
    if (mask) strcpy(mask, "255.255.255.255");
    if (gateway) gateway[0] = '\0';

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ifname && strlen(ifname) < IFNAMSIZ) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof(ifr));
        ifr.ifr_addr.sa_family = AF_INET;
        strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        if (addr && ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
            inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr)->sin_addr, addr, INET_ADDRSTRLEN);
        }
        if (mask && ioctl(fd, SIOCGIFNETMASK, &ifr) == 0) {
            inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_netmask)->sin_addr, mask,
                      INET_ADDRSTRLEN);
        }
    }
    if (fd >= 0) close(fd);

    if (gateway && ifname) {
        FILE* f = fopen("/proc/net/route", "r");
        if (f) {
            char line[256];
            while (fgets(line, sizeof(line), f)) {
                char iface[64];
                unsigned long dest = 0, gw = 0;
                if (sscanf(line, "%63s %lx %lx", iface, &dest, &gw) != 3) continue;
                if (strcmp(iface, ifname) == 0 && dest == 0) {
                    struct in_addr a;
                    a.s_addr = static_cast<in_addr_t>(gw);
                    inet_ntop(AF_INET, &a, gateway, INET_ADDRSTRLEN);
                    break;
                }
            }
            fclose(f);
        }
    }
    return 0;
}

const char* FindInterfaceForIP(char* ip) {
    static char interfaceName[IFNAMSIZ + 1] = "";
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == -1) {
        LogErr(VB_GENERAL, "Error getting interfaces list: %s\n", strerror(errno));
        return interfaceName;
    }
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char host[NI_MAXHOST];
        if (getnameinfo(i->ifa_addr, sizeof(struct sockaddr_in), host, NI_MAXHOST, nullptr, 0, NI_NUMERICHOST) != 0) {
            LogErr(VB_GENERAL, "getnameinfo failed\n");
            break;
        }
        if (strcmp(host, ip) == 0) {
            strncpy(interfaceName, i->ifa_name, IFNAMSIZ);
            interfaceName[IFNAMSIZ] = '\0';
            break;
        }
    }
    freeifaddrs(list);
    return interfaceName;
}

// ---------------------------------------------------------------- HTTP client

static size_t appendToString(char* data, size_t size, size_t nmemb, void* userp) {
    static_cast<std::string*>(userp)->append(data, size * nmemb);
    return size * nmemb;
}

bool urlGet(std::string url, std::string& resp) { return urlHelper("GET", url, "", resp, 30); }
bool urlPost(std::string url, std::string data, std::string& resp) { return urlHelper("POST", url, data, resp, 30); }
bool urlPut(std::string url, std::string data, std::string& resp) { return urlHelper("PUT", url, data, resp, 30); }
bool urlDelete(std::string url, std::string data, std::string& resp) {
    return urlHelper("DELETE", url, data, resp, 30);
}
bool urlDelete(std::string url, std::string& resp) { return urlHelper("DELETE", url, "", resp, 30); }

bool urlHelper(std::string method, const std::string& url, const std::string& data, std::string& resp,
               unsigned timeoutSeconds) {
    resp.clear();
    CURL* curl = curl_easy_init();
    if (!curl) {
        LogErr(VB_GENERAL, "Unable to create curl instance in urlHelper()\n");
        return false;
    }
    std::string agent = "LYR/" + getLyrVersionTriplet();
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // safe in threads
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendToString);
    if (rc != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting write callback function: %s\n", curl_easy_strerror(rc));
        curl_easy_cleanup(curl);
        return false;
    }
    rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &resp);
    if (rc != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting class pointer: %s\n", curl_easy_strerror(rc));
        curl_easy_cleanup(curl);
        return false;
    }
    rc = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (rc != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting URL: %s\n", curl_easy_strerror(rc));
        curl_easy_cleanup(curl);
        return false;
    }
    struct curl_slist* headers = nullptr;
    if (startsWith(data, "{") && endsWith(data, "}")) {
        headers = curl_slist_append(headers, "Accept: application/json");
        headers = curl_slist_append(headers, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }
    if (method == "POST" || method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
        rc = curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, data.c_str());
        if (rc != CURLE_OK) {
            LogErr(VB_GENERAL, "curl_easy_setopt() Error setting postfields data: %s\n", curl_easy_strerror(rc));
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
            return false;
        }
    } else if (method == "DELETE" && !data.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, data.c_str());
    }
    if (method == "PUT" || method == "DELETE") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 2L);

    LogDebug(VB_GENERAL, "Calling %s %s\n", method.c_str(), url.c_str());
    rc = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
        return false;
    }
    LogDebug(VB_GENERAL, "%s %s resp: %s\n", method.c_str(), url.c_str(), resp.c_str());
    return true;
}

// ---------------------------------------------------------------- process

void CloseOpenFiles() {
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0) max = 1024;
    for (long fd = 3; fd < max; fd++) close(static_cast<int>(fd));
}

namespace {
std::mutex shutdownMutex;
std::function<void(bool)> shutdownHandler;
}  // namespace

void RegisterShutdownHandler(std::function<void(bool)> handler) {
    std::lock_guard<std::mutex> l(shutdownMutex);
    shutdownHandler = std::move(handler);
}

void ShutdownLYRD(bool restart) {
    // Called from signal handlers too, so never block on the lock there.
    std::function<void(bool)> h;
    if (shutdownMutex.try_lock()) {
        h = shutdownHandler;
        shutdownMutex.unlock();
    }
    if (h) h(restart);
}
