#include "channeloutput/Sequence.h"

#include <algorithm>
#include <cstring>

#include "Lockstep.h"
#include "channeloutput/ChannelOutputThread.h"
#include "channeloutput/LSEQFile.h"
#include "common.h"
#include "platform/Bridge.h"
#include "platform/Logging.h"
#include "settings.h"

Sequence* sequence = nullptr;

namespace {
const int64_t NS_PER_MS = 1000000;
// Media position reports are ignored this long after a master's position:
// on a remote the master leads, the local media only trims towards it.
const int64_t MASTER_PRECEDENCE_NS = 2000 * NS_PER_MS;
// A reference this close behind the frame already shown is a hold, not a
// jump back.
const int HOLD_FRAMES = 2;
// A master whose timeline the media clock moved by this much since its last
// report tells the remotes on each of the next URGENT_REPORTS frames instead
// of every fourth or tenth: a remote trims half its error per report, so four
// reports bring a 25 ms move under 2 ms within 100 ms.
const int64_t URGENT_SHIFT_NS = 2 * NS_PER_MS;
const int URGENT_REPORTS = 4;
// A remote whose main loop was busy when the start arrived (opening the
// media of the same entry) reads the first positions late and starts behind
// by as much; every frame of the first START_URGENT_REPORTS is therefore
// reported, so it halves that error each frame instead of every fourth.
const int START_URGENT_REPORTS = 16;
}  // namespace

struct Sequence::Open {
    std::unique_ptr<LSEQFile> file;
    std::string name;  // as the caller named it; reported to lockstep
    std::string path;
    int startFrame = 0;
    int shown = -1;   // frame output last, -1 before the first
    int stepTo = -1;  // frame a single step asked for while paused
    bool paused = false;
    bool master = false;  // reports to lockstep

    int step() const { return file->getStepTime(); }
    int frames() const { return int(file->getNumFrames()); }
};

Sequence::Sequence() : seqData(LYRD_MAX_CHANNELS, 0) {}

Sequence::~Sequence() {}

bool Sequence::isMaster() { return getLyrmode() != REMOTE_MODE && getSettingInt("LockstepEnabled") != 0; }

std::string Sequence::resolvePath(const std::string& filename) {
    if (filename.empty()) return "";
    if (filename[0] == '/' && FileExists(filename)) return filename;
    std::string name = filename;
    if (name[0] == '/') name = name.substr(name.rfind('/') + 1);
    // Names arrive from the network too: nothing may climb out of the folder.
    for (const auto& part : split(name, '/'))
        if (part == "..") {
            LogErr(VB_SEQUENCE, "Refusing sequence name '%s'\n", filename.c_str());
            return "";
        }
    return getLyrMediaDir("/sequences/" + name);
}

int Sequence::OpenSequenceFile(const std::string& filename, int startFrame, int startSecond) {
    LogDebug(VB_SEQUENCE, "OpenSequenceFile(%s, %d, %d)\n", filename.c_str(), startFrame, startSecond);
    std::string path = resolvePath(filename);
    if (path.empty()) return 0;
    LSEQFile* f = LSEQFile::openLSEQFile(path);
    if (!f) {
        LogErr(VB_SEQUENCE, "Could not open sequence %s\n", filename.c_str());
        return 0;
    }
    auto o = std::make_unique<Open>();
    o->file.reset(f);
    o->name = filename;
    o->path = path;
    if (startSecond >= 0) startFrame = int(int64_t(startSecond) * 1000 / f->getStepTime());
    o->startFrame = std::max(0, startFrame);
    o->master = isMaster();
    bool master = o->master;
    LogInfo(VB_SEQUENCE, "Opened sequence %s: %u channels, %u frames of %d ms\n", filename.c_str(),
            f->getChannelCount(), f->getNumFrames(), f->getStepTime());
    {
        std::lock_guard<std::mutex> l(lock);
        prepared = std::move(o);
    }
    if (master && lockstep) {
        std::lock_guard<std::mutex> s(syncLock);
        lockstep->SendSeqOpenPacket(filename);
    }
    return 1;
}

void Sequence::StartSequence() {
    std::unique_ptr<Open> old;
    std::string name;
    bool master = false;
    int start = 0;
    {
        std::lock_guard<std::mutex> l(lock);
        if (!prepared) {
            LogErr(VB_SEQUENCE, "StartSequence() with no sequence open\n");
            return;
        }
        old = std::move(running);
        running = std::move(prepared);
        clock.start(running->startFrame, int64_t(running->step()) * NS_PER_MS);
        unreportedShiftNS = 0;
        urgentReports = START_URGENT_REPORTS;
        lastMasterUpdate = 0;
        name = running->name;
        master = running->master;
        start = running->startFrame;
    }
    if (old) stopped(std::move(old), true);
    LogInfo(VB_SEQUENCE, "Starting sequence %s at frame %d\n", name.c_str(), start);
    if (master && lockstep) {
        std::lock_guard<std::mutex> s(syncLock);
        lockstep->SendSeqSyncStartPacket(name);
    }
    StartChannelOutputThread();
}

void Sequence::StartSequence(const std::string& filename, int frameNumber) {
    {
        std::lock_guard<std::mutex> l(lock);
        if (prepared && prepared->name == filename) prepared->startFrame = std::max(0, frameNumber);
        else prepared.reset();
    }
    bool ready;
    {
        std::lock_guard<std::mutex> l(lock);
        ready = prepared != nullptr;
    }
    if (!ready && !OpenSequenceFile(filename, frameNumber, -1)) return;
    StartSequence();
}

int Sequence::IsSequenceRunning() {
    std::lock_guard<std::mutex> l(lock);
    return running ? 1 : 0;
}

int Sequence::IsSequenceRunning(const std::string& filename) {
    std::lock_guard<std::mutex> l(lock);
    if (!running) return 0;
    return running->name == filename ? 1 : 0;
}

std::unique_ptr<Sequence::Open> Sequence::takeRunning() {
    clock.stop();
    return std::move(running);
}

void Sequence::CloseIfOpen(const std::string& filename) {
    std::unique_ptr<Open> old;
    {
        std::lock_guard<std::mutex> l(lock);
        if (prepared && prepared->name == filename) prepared.reset();
        if (running && running->name == filename) old = takeRunning();
    }
    if (old) stopped(std::move(old), true);
}

void Sequence::CloseSequenceFile() {
    std::unique_ptr<Open> old;
    {
        std::lock_guard<std::mutex> l(lock);
        prepared.reset();
        old = takeRunning();
    }
    if (old) stopped(std::move(old), true);
}

// The last frame stays in the buffer (overlays keep drawing over it) until
// the next sequence or a blanking; ending a sequence does not blank.
void Sequence::stopped(std::unique_ptr<Open> seq, bool report) {
    {
        std::lock_guard<std::mutex> l(lock);
        if (seq->shown >= 0) seq->file->readFrame(uint32_t(seq->shown), seqData.data(), uint32_t(seqData.size()));
    }
    LogInfo(VB_SEQUENCE, "Sequence %s stopped at frame %d\n", seq->name.c_str(), seq->shown);
    if (report && seq->master && lockstep) {
        std::lock_guard<std::mutex> s(syncLock);
        lockstep->SendSeqSyncStopPacket(seq->name);
    }
}

void Sequence::SendBlankingData() {
    LogDebug(VB_SEQUENCE, "Sending blanking data\n");
    {
        std::lock_guard<std::mutex> l(lock);
        std::fill(seqData.begin(), seqData.end(), 0);
    }
    if (isMaster() && lockstep) {
        std::lock_guard<std::mutex> s(syncLock);
        lockstep->SendBlankingDataPacket();
    }
    if (!ChannelOutputThreadIsRunning()) ForceChannelOutputNow();
}

bool Sequence::hasBridgeData() { return HasBridgeData(); }

std::string Sequence::GetSequenceFilename() {
    std::lock_guard<std::mutex> l(lock);
    return running ? running->name : "";
}

int Sequence::GetSeqStepTime() {
    std::lock_guard<std::mutex> l(lock);
    return running ? running->step() : LYRD_DEFAULT_FRAME_MS;
}

int Sequence::GetCurrentFrame() {
    std::lock_guard<std::mutex> l(lock);
    return running ? running->shown : -1;
}

int Sequence::GetNumFrames() {
    std::lock_guard<std::mutex> l(lock);
    return running ? running->frames() : 0;
}

uint64_t Sequence::GetElapsedMS() {
    std::lock_guard<std::mutex> l(lock);
    if (!running) return 0;
    int f = running->shown >= 0 ? running->shown : running->startFrame;
    return uint64_t(std::min(f, running->frames())) * running->step();
}

uint64_t Sequence::GetRemainingMS() {
    std::lock_guard<std::mutex> l(lock);
    if (!running) return 0;
    int f = running->shown >= 0 ? running->shown : running->startFrame;
    int left = std::max(0, running->frames() - f);
    return uint64_t(left) * running->step();
}

uint64_t Sequence::GetLengthMS() {
    std::lock_guard<std::mutex> l(lock);
    return running ? running->file->getLengthMS() : 0;
}

void Sequence::ToggleSequencePause() {
    bool paused;
    {
        std::lock_guard<std::mutex> l(lock);
        if (!running) return;
        paused = !running->paused;
    }
    SetSequencePaused(paused);
}

void Sequence::SetSequencePaused(bool paused) {
    std::lock_guard<std::mutex> l(lock);
    if (!running || running->paused == paused) return;
    running->paused = paused;
    running->stepTo = -1;
    LogInfo(VB_SEQUENCE, "Sequence %s %s at frame %d\n", running->name.c_str(), paused ? "paused" : "resumed",
            running->shown);
}

bool Sequence::IsSequencePaused() {
    std::lock_guard<std::mutex> l(lock);
    return running && running->paused;
}

void Sequence::SingleStepSequence() { StepSequence(1); }
void Sequence::SingleStepSequenceBack() { StepSequence(-1); }

void Sequence::StepSequence(int frames) {
    std::lock_guard<std::mutex> l(lock);
    if (!running || !running->paused) {
        LogDebug(VB_SEQUENCE, "Sequence step ignored: no paused sequence\n");
        return;
    }
    Open& s = *running;
    int base = s.stepTo >= 0 ? s.stepTo : (s.shown >= 0 ? s.shown : s.startFrame);
    s.stepTo = std::clamp(base + frames, 0, std::max(0, s.frames() - 1));
}

int64_t Sequence::ProduceFrame(int64_t now, uint8_t* dst, uint32_t size) {
    std::lock_guard<std::mutex> l(lock);
    if (!running || !clock.isRunning()) {
        memcpy(dst, seqData.data(), std::min<size_t>(size, seqData.size()));
        return 0;
    }
    Open& s = *running;
    clock.anchorIfNeeded(now);
    int64_t period = clock.period();
    int frame;
    int64_t next;
    if (s.paused) {
        frame = s.stepTo >= 0 ? s.stepTo : (s.shown >= 0 ? s.shown : s.startFrame);
        s.stepTo = -1;
        // On resume the following frame is due one period after this tick.
        clock.anchor(frame + 1, now + period);
        next = now + period;
    } else {
        frame = clock.frameAt(now);
        if (s.shown >= 0 && frame <= s.shown && s.shown - frame <= HOLD_FRAMES) frame = s.shown;
        frame = std::max(frame, 0);
        next = clock.dueTime(frame + 1);
    }
    if (frame >= s.frames()) {
        // The last frame stays on the lights (see stopped()).
        if (s.shown >= 0) s.file->readFrame(uint32_t(s.shown), seqData.data(), uint32_t(seqData.size()));
        finished = takeRunning();
        memcpy(dst, seqData.data(), std::min<size_t>(size, seqData.size()));
        return 0;
    }
    if (!s.file->readFrame(uint32_t(frame), dst, size))
        LogErr(VB_SEQUENCE, "Could not read frame %d of %s\n", frame, s.name.c_str());
    if (frame != s.shown && s.master) {
        pendingReportFrame = frame;
        pendingReportName = s.name;
        pendingReportUrgent = urgentReports > 0;
        if (urgentReports > 0) urgentReports--;
    }
    s.shown = frame;
    return next;
}

void Sequence::CopyCurrentFrame(uint8_t* dst, uint32_t size) {
    std::lock_guard<std::mutex> l(lock);
    if (running && running->shown >= 0) running->file->readFrame(uint32_t(running->shown), dst, size);
    else memcpy(dst, seqData.data(), std::min<size_t>(size, seqData.size()));
}

void Sequence::AfterFrame() {
    int frame;
    bool urgent;
    int step = LYRD_DEFAULT_FRAME_MS;
    std::string name;
    std::unique_ptr<Open> done;
    {
        std::lock_guard<std::mutex> l(lock);
        frame = pendingReportFrame;
        urgent = pendingReportUrgent;
        pendingReportFrame = -1;
        pendingReportUrgent = false;
        name.swap(pendingReportName);
        if (running) step = running->step();
        done = std::move(finished);
        if (done) step = done->step();
    }
    if (frame >= 0 && lockstep) {
        std::lock_guard<std::mutex> s(syncLock);
        lockstep->SendSeqSyncPacket(name, frame, float(frame) * step / 1000.0f, urgent);
    }
    if (done) {
        LogInfo(VB_SEQUENCE, "Sequence %s reached its end\n", done->name.c_str());
        stopped(std::move(done), true);
    }
}

void Sequence::ResetMasterPosition() {
    std::lock_guard<std::mutex> l(lock);
    clock.unlock();
    lastMasterUpdate = 0;
}

void Sequence::UpdateMasterPosition(int frameNumber, int64_t now) {
    std::lock_guard<std::mutex> l(lock);
    if (!running || !clock.isRunning()) return;
    lastMasterUpdate = now;
    double err = clock.reference(double(frameNumber), now, 1.0, 0.5);
    LogExcess(VB_SEQUENCE, "Master frame %d, local offset %.2f frames\n", frameNumber, err);
}

void Sequence::UpdateMediaPosition(float mediaSeconds, int64_t now) {
    std::lock_guard<std::mutex> l(lock);
    // A media output reports 0 until its first audio reaches the device,
    // which takes a few hundred milliseconds after the start: following
    // that would hold the lights and then skip ahead at every entry's start.
    if (!running || !clock.isRunning() || running->paused || mediaSeconds <= 0) return;
    if (lastMasterUpdate && now - lastMasterUpdate < MASTER_PRECEDENCE_NS) return;
    double ref = double(mediaSeconds) * 1000.0 / running->step();
    int64_t before = clock.dueTime(0);
    double err = clock.reference(ref, now, 2.0, 0.3);
    if (running->master) noteMasterShift(clock.dueTime(0) - before);
    LogExcess(VB_SEQUENCE, "Media at %.3f s, local offset %.2f frames\n", mediaSeconds, err);
}

void Sequence::noteMasterShift(int64_t shiftNS) {
    unreportedShiftNS += shiftNS;
    if (unreportedShiftNS >= URGENT_SHIFT_NS || unreportedShiftNS <= -URGENT_SHIFT_NS) {
        unreportedShiftNS = 0;
        urgentReports = URGENT_REPORTS;
    }
}

void Sequence::ResetFrameClock() {
    std::lock_guard<std::mutex> l(lock);
    if (!running) return;
    clock.start(running->startFrame, int64_t(running->step()) * NS_PER_MS);
    running->shown = -1;
}

int64_t Sequence::GetFramePeriodNS() {
    std::lock_guard<std::mutex> l(lock);
    return running ? int64_t(running->step()) * NS_PER_MS : int64_t(LYRD_DEFAULT_FRAME_MS) * NS_PER_MS;
}
