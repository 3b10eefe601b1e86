// Small stateless helpers used across the daemon: strings, files, JSON,
// clock and dates, network interfaces, blocking HTTP client requests, and the
// one process-wide shutdown hook.
//
// Threading: everything here is reentrant except FindInterfaceForIP (static
// result buffer).  The shutdown hook is written once by the main loop and
// may be called from any thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

class LyrLoggerInstance;

// ---- strings ----
void TrimWhiteSpace(std::string& s);
bool startsWith(const std::string& s, const std::string& prefix);
bool endsWith(const std::string& s, const std::string& suffix);
bool contains(const std::string& s, const std::string& part);
void toUpper(std::string& s);
void toLower(std::string& s);
std::string toUpperCopy(const std::string& s);
std::string toLowerCopy(const std::string& s);
std::vector<std::string>& split(const std::string& s, char delim, std::vector<std::string>& out);
std::vector<std::string> split(const std::string& s, char delim);
std::vector<std::string> splitWithQuotes(const std::string& s, char delim);
void replaceAll(std::string& s, const std::string& from, const std::string& to);
void ReplaceString(std::string& s, const std::string& from, const std::string& to);
bool replaceStart(std::string& s, const std::string& prefix, const std::string& with);
bool replaceEnd(std::string& s, const std::string& suffix, const std::string& with);
std::string tail(const std::string& s, unsigned n);
std::string getSimpleXMLTag(const std::string& xml, const std::string& tag);
std::string getSimpleHTMLTTag(const std::string& html, const std::string& after, const std::string& startTag,
                              const std::string& endTag);
std::string ReplaceKeywords(std::string s, std::map<std::string, std::string>& keywords);
uint8_t ReverseBitsInByte(uint8_t b);
std::string base64Encode(const unsigned char* data, unsigned len);
std::vector<unsigned char> base64Decode(const std::string& s);

// ---- files ----
bool FileExists(const char* path);
bool FileExists(const std::string& path);
bool DirectoryExists(const char* path);
bool DirectoryExists(const std::string& path);
bool Touch(const std::string& path);
std::string GetFileContents(const std::string& path);
// Writes the whole content to a temporary file beside `path`, then renames it
// over `path`, so a crash or a full disk never leaves a truncated file.
// Writes all of content to fd, retrying short writes and EINTR.
bool WriteAll(int fd, const std::string& content);
// Text of one JSON command argument; false for objects, arrays and null.
bool JsonArgText(const Json::Value& v, std::string& out);
bool PutFileContents(const std::string& path, const std::string& content);
bool SetFilePerms(const std::string& path, bool executable = false);
bool SetFilePerms(const char* path, bool executable = false);
bool CheckForHostSpecificFile(const std::string& host, std::string& filename);
bool CheckForHostSpecificFile(const char* host, char* filename);
void HexDump(const char* title, const void* data, int len, LyrLoggerInstance& logger);

// ---- JSON ----
bool LoadJsonFromString(const std::string& text, Json::Value& out);
Json::Value LoadJsonFromString(const std::string& text);
bool LoadJsonFromFile(const std::string& path, Json::Value& out);
bool LoadJsonFromFile(const char* path, Json::Value& out);
Json::Value LoadJsonFromFile(const std::string& path);
std::string SaveJsonToString(const Json::Value& v, const std::string& indentation = "");
bool SaveJsonToString(const Json::Value& v, std::string& out, const std::string& indentation);
bool SaveJsonToFile(const Json::Value& v, const std::string& path, const std::string& indentation = "\t");
bool SaveJsonToFile(const Json::Value& v, const char* path, const char* indentation);
void MergeJsonValues(Json::Value& into, Json::Value& from);

// ---- time and dates ----
int64_t GetTime();    // wall-clock microseconds since the epoch
int64_t GetTimeMS();  // wall-clock milliseconds since the epoch
int DateStrToInt(const char* s);
int GetCurrentDateInt(int offsetDays = 0);
bool DateInRange(int date, int start, int end);
bool DateInRange(time_t when, int start, int end);
bool CurrentDateInRange(int start, int end);
std::string GetTimeStr(std::string format);
std::string GetDateStr(std::string format);

// ---- network ----
int GetInterfaceAddress(const char* ifname, char* addr, char* mask, char* gateway);
const char* FindInterfaceForIP(char* ip);

// ---- HTTP client (libcurl, blocking) ----
bool urlGet(std::string url, std::string& resp);
bool urlPost(std::string url, std::string data, std::string& resp);
bool urlPut(std::string url, std::string data, std::string& resp);
bool urlDelete(std::string url, std::string data, std::string& resp);
bool urlDelete(std::string url, std::string& resp);
bool urlHelper(std::string method, const std::string& url, const std::string& data, std::string& resp,
               unsigned timeoutSeconds = 30);

// ---- process ----
void CloseOpenFiles();
void RegisterShutdownHandler(std::function<void(bool)> handler);
void ShutdownLYRD(bool restart = false);
