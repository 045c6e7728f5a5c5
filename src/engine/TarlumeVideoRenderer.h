// Draws a video deck's movie for the deck (made at the deck's first video draw, kept by the deck).
#pragma once

class CPicture;
class TarlumePlayer;
class VideoPlayer;

class TarlumeVideoRenderer {
public:
    TarlumeVideoRenderer(TarlumePlayer* deck, VideoPlayer* player) : deck_(deck), player_(player) {}
    virtual ~TarlumeVideoRenderer() = default;

    VideoPlayer* player() const { return player_; }

    // `target` is the drawing context the deck was given. Draws with alpha above 0, else nothing.
    void draw(CPicture* target, float x, float y, float width, float height, float alpha);

private:
    TarlumePlayer* deck_;
    VideoPlayer* player_;
};
