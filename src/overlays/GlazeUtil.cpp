#include "overlays/GlazeUtil.h"

#include <dirent.h>
#include <magick/api.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "common.h"

static bool colorName(const std::string& text, unsigned& rgb) {
    static const std::map<std::string, unsigned> names = {
        {"red", 0xFF0000},   {"green", 0x00FF00}, {"blue", 0x0000FF}, {"yellow", 0xFFFF00},
        {"black", 0x000000}, {"white", 0xFFFFFF}, {"cyan", 0x00FFFF}, {"magenta", 0xFF00FF},
        {"gray", 0x808080},  {"grey", 0x808080}};
    auto it = names.find(text);
    if (it == names.end()) return false;
    rgb = it->second;
    return true;
}

unsigned mapColor(const std::string& text) {
    if (!text.empty() && text[0] == '#') return (unsigned)std::stoul(text.substr(1), nullptr, 16);
    unsigned rgb;
    if (colorName(text, rgb)) return rgb;
    return (unsigned)std::stoul(text, nullptr, 0);
}

bool tryMapColor(const std::string& text, unsigned& rgb) {
    if (colorName(text, rgb)) return true;
    bool hex = !text.empty() && text[0] == '#';
    std::string digits = hex ? text.substr(1) : text;
    // stoul takes a valid prefix ("12zz" -> 12); a colour must be all number.
    try {
        size_t used = 0;
        unsigned long v = std::stoul(digits, &used, hex ? 16 : 0);
        if (used != digits.size()) return false;
        rgb = (unsigned)(v & 0xFFFFFF);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void findFonts(const std::string& dir, std::map<std::string, std::string>& fonts) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = dir + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
        if (S_ISDIR(st.st_mode)) {
            subdirs.push_back(path + "/");
        } else if (S_ISREG(st.st_mode) && endsWith(name, ".ttf")) {
            fonts[name.substr(0, name.size() - 4)] = path;
        }
    }
    closedir(d);
    for (const auto& s : subdirs) findFonts(s, fonts);
}

void addMagickFonts(std::map<std::string, std::string>& fonts) {
    unsigned long count = 0;
    char** list = GetTypeList("*", &count);
    if (!list) return;
    for (unsigned long i = 0; i < count; i++) {
        if (list[i]) {
            fonts[list[i]] = "";
            free(list[i]);
        }
    }
    free(list);
}

std::string magickFontFile(const std::string& name) {
    ExceptionInfo exception;
    GetExceptionInfo(&exception);
    const TypeInfo* info = GetTypeInfo(name.c_str(), &exception);
    DestroyExceptionInfo(&exception);
    if (!info || !info->glyphs || !FileExists(info->glyphs)) return "";
    return info->glyphs;
}

bool parseCMMLine(const std::string& raw, Json::Value& model) {
    std::string line = raw;
    TrimWhiteSpace(line);
    if (line.empty() || line[0] == '#') return false;
    std::vector<std::string> f = split(line, ',');
    if (f.size() < 7) return false;
    for (auto& s : f) TrimWhiteSpace(s);
    for (int i = 0; i < 7; i++) {
        if (f[i].empty()) return false;
    }
    long start, count, strings, strands;
    try {
        start = std::stol(f[1]);
        count = std::stol(f[2]);
        strings = std::stol(f[5]);
        strands = std::stol(f[6]);
    } catch (const std::exception&) {
        return false;
    }
    if (start <= 0 || count <= 0) return false;
    model = Json::Value(Json::objectValue);
    model["Name"] = f[0];
    model["StartChannel"] = (Json::Int64)start;
    model["ChannelCount"] = (Json::Int64)count;
    model["Orientation"] = f[3] == "vertical" ? "vertical" : "horizontal";
    model["StartCorner"] = f[4];
    model["StringCount"] = (Json::Int64)strings;
    model["StrandsPerString"] = (Json::Int64)strands;
    return true;
}
