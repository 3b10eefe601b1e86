// Stand-in sequence player: replaced by the .lseq sequence player.
#pragma once

class Sequence {
public:
    void SendBlankingData() {}
    bool hasBridgeData() { return false; }
    int IsSequenceRunning() { return 0; }
};

extern Sequence* sequence;
