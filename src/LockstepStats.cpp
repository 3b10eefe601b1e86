#include "LockstepStats.h"

#include <ctime>

LockstepStats::LockstepStats(const std::string& sourceAddress, const std::string& hostName)
    : sourceIP(sourceAddress), hostname(hostName) {}

std::string LockstepTimeString(uint32_t seconds) {
    time_t t = seconds;
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    snprintf(buf, sizeof(buf), "%4d-%.2d-%.2d %.2d:%.2d:%.2d", 1900 + tm.tm_year, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

Json::Value LockstepStats::toJSON() const {
    Json::Value v;
    v["sourceIP"] = sourceIP;
    v["hostname"] = hostname;
    v["lastReceiveTime"] = LockstepTimeString(lastReceiveTime.load());
    v["pktCommand"] = pktCommand.load();
    v["pktSyncSeqOpen"] = pktSyncSeqOpen.load();
    v["pktSyncSeqStart"] = pktSyncSeqStart.load();
    v["pktSyncSeqStop"] = pktSyncSeqStop.load();
    v["pktSyncSeqSync"] = pktSyncSeqSync.load();
    v["pktSyncMedOpen"] = pktSyncMedOpen.load();
    v["pktSyncMedStart"] = pktSyncMedStart.load();
    v["pktSyncMedStop"] = pktSyncMedStop.load();
    v["pktSyncMedSync"] = pktSyncMedSync.load();
    v["pktBlank"] = pktBlank.load();
    v["pktPing"] = pktPing.load();
    v["pktPlugin"] = pktPlugin.load();
    v["pktLyrCommand"] = pktLyrCommand.load();
    v["pktError"] = pktError.load();
    return v;
}

std::shared_ptr<LockstepStats> LockstepStatsTable::Touch(const std::string& address,
                                                         const std::function<std::string()>& hostNameOf,
                                                         uint32_t now) {
    std::lock_guard<std::recursive_mutex> l(lock);
    auto& rec = records[address];
    if (!rec) rec = std::make_shared<LockstepStats>(address, hostNameOf ? hostNameOf() : "");
    rec->lastReceiveTime = now;
    return rec;
}

Json::Value LockstepStatsTable::ToJSON() {
    std::lock_guard<std::recursive_mutex> l(lock);
    Json::Value arr(Json::arrayValue);
    for (const auto& r : records) arr.append(r.second->toJSON());
    return arr;
}

void LockstepStatsTable::Reset() {
    std::lock_guard<std::recursive_mutex> l(lock);
    records.clear();
}

size_t LockstepStatsTable::size() {
    std::lock_guard<std::recursive_mutex> l(lock);
    return records.size();
}
