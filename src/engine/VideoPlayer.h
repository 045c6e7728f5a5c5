// A deck's player for a movie: the deck's player interface (play, position, length, loop) over a movie
// bridge. Positions and lengths are ms x 44.1 whatever the output rate; the mixer gets the silence of the
// player with no audio file loaded (a movie's soundtrack is not played).
#pragma once

#include <string>

#include "audio/player/FModPlayer.h"

class CPicture;
class VideoPlayerHelper;

class VideoPlayer : public FModPlayer {
public:
    explicit VideoPlayer(void* view = nullptr);
    ~VideoPlayer() override;

    // Opens the movie; 0. A movie that doesn't open reads time and length 0, and the player is unreadable, as
    // the audio player is for a file that gives no audio.
    virtual int init(const std::string& path);
    // The deck's load opens the file through this one.
    double init(const std::string& file, int zeroCrossings, int openArgument, int scan) override;
    using FModPlayer::init;
    // Takes a bridge whose movie was opened elsewhere (a deck's load opens it on the loading thread) in place
    // of the present one; unreadable when it holds no movie.
    void adoptMovie(VideoPlayerHelper* helper);
    // The movie goes: a fresh bridge for the same view.
    void close() override;
    void changePosition(double position) override;
    void setParameter(int id, double value, double value2 = 0) override;
    double getParameter(int id, int index = 0) override;
    void seekData(int frame, bool force) override;

    // Draws the newest frame into the rectangle (main thread, GL context current); then, with the loop on and
    // the position past its end, goes back to the loop's start. `picture` is not used.
    void draw(void* context, float x, float y, float width, float height, float alpha, CPicture* picture);

private:
    VideoPlayerHelper* helper_ = nullptr;
    void* view_ = nullptr;
};
