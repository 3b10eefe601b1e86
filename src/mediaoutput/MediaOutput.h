// Stand-in media-output layer.
#pragma once

struct MediaOutputStatus {
    int status = 0;
};
extern MediaOutputStatus* mediaOutputStatus;

void InitMediaOutput();
void CleanupMediaOutput();
int setVolume(int volume);
int getVolume();
