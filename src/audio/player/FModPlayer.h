// The streaming player every deck uses: instead of the whole track it keeps a ring window of decoded frames in
// the deck's buffer, decodes ahead of the play position on the loading thread and seeks the decoder when the
// position leaves the window. Playback, key lock, loops and fades are the `Player`'s, reading through the ring.
//
// The ring holds file frames ringStart .. fileFrames - 1, file frame f at slot (f + offset) mod capacity. The
// offset changes only in seekData, under both locks; linear decoding advances the write index and fileFrames
// together, so the audio thread maps positions from an offset that is constant between seeks, a fileFrames
// published after its frames are written and a ringStart raised before the oldest frames are overwritten.
#pragma once

#include "audio/player/Player.h"

#include <memory>
#include <string>

class FModPlayer : public Player {
public:
    // The ring keeps this far from frames the loading thread may be writing (the widest resampler reaches
    // fewer neighbours), so the audio thread never reads a slot while it is being filled.
    static constexpr int kEdgeMargin = 64;
    static constexpr int kBlockFrames = 2304; // the most one decode writes

    FModPlayer();
    ~FModPlayer() override;

    // Opens a track into `buffer` (owned by the caller) of `capacityFrames` frames (main thread). 0, or -1
    // when the file does not open.
    virtual int init(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file, int openArgument,
                     int scan);
    // The same with the track's decoder opened already on another thread (a deck's load opens its file on the
    // loading thread), so nothing here reads the file; `opened` holds no file when the file did not open.
    int init(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file,
             std::unique_ptr<AudioDecoder> opened);
    // The base init keeps the present buffer.
    double init(const std::string& file, int zeroCrossings, int openArgument, int scan) override;

    void setPosition(double frame) override;
    double getBufferPosition(double frame) override;
    int getBufferPositionNoAction(int frame) override;
    int getSomeDataNow(int urgency) override;
    double getParameter(int id, int index = 0) override;
    bool isStreaming() override { return true; }
    float getSample(unsigned int frame, int channel) override;
    SampleView sampleView() override;

    // Moves the decoder to `frame` and empties the ring (loading thread); recorded as pending when it cannot
    // run now.
    virtual void seekData(int frame, bool force);
    // Appends `count` decoded frames (buffer channels, interleaved) to the ring (loading thread).
    using Player::callback;
    void callback(void* unused, void* frames, int count);

    // The need for data (0 .. 1) as last computed by the loading thread.
    double getNeed() const { return m_need; }
    unsigned getFileFrames() const { return m_fileFrames.load(std::memory_order_acquire); }
    unsigned getRingStart() const { return m_ringStart; }

protected:
    friend struct PlayerTestAccess;

    double peekBufferPosition(double frame) override;
    void setResamplerFormat() override;
    void calculateNeedMoreData();
    // The ring slot of a file frame, -1 outside [ringStart + low, fileFrames - high).
    long slotOf(double frame, unsigned lowMargin, unsigned highMargin) const;
    // slotOf's slot for a frame inside the ring, stepped from the one found last time where the ring is the same
    // (no division for the next frame's read). Audio thread.
    long nearSlot(long long frame, long capacity);
    // What a read of a frame outside the ring does: silence re-arms the start fade, and a jump out of the ring
    // asks for a seek (audio thread).
    void outsideRing(double frame, unsigned fileFrames, unsigned ringStart, unsigned low);
    // The margins the audio thread keeps from the slots the loading thread may write.
    void edgeMargins(unsigned fileFrames, unsigned ringStart, unsigned* low, unsigned* high) const;
    void raiseRingStart(long long frame);
    void decodeBlock();
    bool analyseRing(int urgency);
    // Gives the ReplayGain measure `count` frames of `channels` interleaved samples just decoded from file frame
    // `first` on, before the ring may lose them (loading thread).
    void measureGain(unsigned first, const short* frames, unsigned count, int channels);
    // The decoder has no more data: the length becomes what it delivered (loading thread).
    void endOfData();
    int initRing(short* buffer, int capacityFrames, int zeroCrossings, const std::string& file, int openArgument,
                 int scan);
    // One block of the overview scan (loading thread, decode lock held); false when it has nothing to do.
    bool scanOverview();

    std::atomic<unsigned> m_fileFrames{0}; // the file frame just past the newest decoded frame
    Relaxed<unsigned> m_ringStart{0};      // the oldest file frame still in the ring
    Relaxed<long> m_ringOffset{0};         // slot of file frame f = (f + offset) mod capacity
    Relaxed<double> m_need{0.0};
    Relaxed<bool> m_seeking{false};
    unsigned m_seekFrame = 0; // where decoding last restarted (loading thread)

    // The overview scan: once the ring holds all it may, a decoder of its own reads on to the end of the file
    // and fills the overview stripes the ring never reached, so a waiting deck shows the whole track. Loading
    // thread under the decode lock; init resets it.
    std::string m_path;
    std::unique_ptr<AudioDecoder> m_scanDecoder;
    bool m_scanDone = false;
    unsigned m_scanFrame = 0; // the next file frame it reads
    int m_scanStripe = -1;    // the overview stripe being summed
    float m_scanSum = 0;      // |left| + |right| of the stripe's frames so far
    double m_scanFactor = 0;  // overview stripes per file frame
    // nearSlot's last frame, its slot and the ring it was found in (audio thread).
    long long m_nearFrame = 0;
    long m_nearSlot = -1, m_nearOffset = 0, m_nearCapacity = 0;
};
