#include "engine/VideoPlayer.h"

#include "engine/VideoPlayerHelper.h"

namespace {
constexpr double kUnitsPerMs = 44.1; // player units are frames at 44100 Hz
}

VideoPlayer::VideoPlayer(void* view) : helper_(vh_createVideoHelper(view)), view_(view) {}

VideoPlayer::~VideoPlayer() {
    unregisterFromLoading();
    vh_destroyVideoHelper(helper_);
    helper_ = nullptr;
}

int VideoPlayer::init(const std::string& path) {
    vh_loadMovieFromPath(helper_, path);
    m_unreadable = !vh_hasMovie(helper_);
    return 0;
}

double VideoPlayer::init(const std::string& file, int, int, int) {
    return init(file);
}

void VideoPlayer::adoptMovie(VideoPlayerHelper* helper) {
    if (!helper) return;
    vh_destroyVideoHelper(helper_);
    helper_ = helper;
    m_unreadable = !vh_hasMovie(helper_);
}

void VideoPlayer::close() {
    vh_destroyVideoHelper(helper_);
    helper_ = vh_createVideoHelper(view_);
    FModPlayer::close();
}

void VideoPlayer::changePosition(double position) {
    vh_setTime(helper_, position / kUnitsPerMs);
}

void VideoPlayer::setParameter(int id, double value, double value2) {
    switch (id) {
    case PLAYERPARAM_PLAYING:
        vh_setPlaying(helper_, value > 0.5);
        break;
    case PLAYERPARAM_POSITION:
        vh_setTime(helper_, value / kUnitsPerMs);
        break;
    default:
        Player::setParameter(id, value, value2);
    }
}

double VideoPlayer::getParameter(int id, int index) {
    switch (id) {
    case PLAYERPARAM_PLAYING:
        return vh_isPlaying(helper_) ? 1.0 : 0.0;
    case PLAYERPARAM_POSITION:
        return vh_getTime(helper_) * kUnitsPerMs;
    case PLAYERPARAM_LENGTH:
        return vh_getLength(helper_) * kUnitsPerMs;
    default:
        return Player::getParameter(id, index);
    }
}

void VideoPlayer::seekData(int frame, bool force) {
    FModPlayer::seekData(frame, force);
}

void VideoPlayer::draw(void*, float x, float y, float width, float height, float, CPicture*) {
    vh_drawImage(helper_, x, y, width, height);
    if (getParameter(PLAYERPARAM_LOOP) > 0.5 && getParameter(PLAYERPARAM_POSITION) > getParameter(PLAYERPARAM_LOOPEND))
        setParameter(PLAYERPARAM_POSITION, getParameter(PLAYERPARAM_LOOPSTART));
}
