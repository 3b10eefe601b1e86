#include "mediaoutput/MediaOutputBase.h"

#include "mediaoutput/MediaOutput.h"

MediaOutputBase::MediaOutputBase() : m_volume(getVolume()) {}

MediaOutputBase::~MediaOutputBase() {}

void MediaOutputBase::SetVolume(int volume) {
    m_volume = volume;
    ApplyVolume(volume);
}
