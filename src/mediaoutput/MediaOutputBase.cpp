#include "mediaoutput/MediaOutputBase.h"

#include "mediaoutput/MediaOutput.h"

MediaOutputBase::MediaOutputBase() : m_volume(getVolume()) { RegisterMediaOutput(this); }

MediaOutputBase::~MediaOutputBase() { UnregisterMediaOutput(this); }

void MediaOutputBase::SetVolume(int volume) {
    m_volume = volume;
    m_volumeApplied = ApplyVolume(volume);
}

void MediaOutputBase::ApplyRequestedVolume() {
    int requested = m_requestedVolume.exchange(-1);
    if (requested >= 0) {
        SetVolume(requested);
    } else if (!m_volumeApplied) {
        m_volumeApplied = ApplyVolume(m_volume);
    }
}
