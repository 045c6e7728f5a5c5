#include "engine/VideoPlayerHelper.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/GL.h"
#include "platform/GLDrawList.h"
#include "platform/MovieDecoder.h"

class VideoPlayerHelper {
public:
    // The view is not needed: the texture is made in the context current at the first draw.
    VideoPlayerHelper() = default;
    ~VideoPlayerHelper() {
        // The decoder's destructor stops and joins its thread before the images and the texture go.
        if (texture_) glReleaseTexture(texture_, textureGeneration_);
    }

    void loadMovieFromPath(const std::string& path) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        std::string error;
        if (!movie_.open(path, &error)) fprintf(stderr, "%s\n", error.c_str());
    }
    bool hasMovie() const { return movie_.isOpen(); }
    void togglePlayback() { movie_.setPlaying(!movie_.isPlaying()); }
    bool isPlaying() const { return movie_.isPlaying(); }
    double time() const { return movie_.timeMs(); }
    double length() const { return movie_.durationMs(); }
    void scrubMovie(double fraction) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        movie_.scrub(movie_.durationMs() * fraction);
    }

    void drawLatestImage(float x, float y, float width, float height) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        const bool fresh = movie_.takeNewestImage(image_);
        if (!fresh && drawn_.empty()) return;
        if (fresh) drawn_.swap(image_);
        const int w = MovieDecoder::kWidth, h = MovieDecoder::kHeight;
        if (!texture_ || textureGeneration_ != glContextGeneration()) {
            // Made at the first draw, in whatever context is current then (a new context drops the old name).
            texture_ = 0;
            glGenTextures(1, &texture_);
            if (!texture_) return;
            textureGeneration_ = glContextGeneration();
            glBindTexture(GL_TEXTURE_RECTANGLE_EXT, texture_);
            glTexParameteri(GL_TEXTURE_RECTANGLE_EXT, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_RECTANGLE_EXT, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_RECTANGLE_EXT, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_RECTANGLE_EXT, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            glTexImage2D(GL_TEXTURE_RECTANGLE_EXT, 0, GL_RGBA8, w, h, 0, GL_BGRA, GL_UNSIGNED_BYTE, drawn_.data());
        } else if (fresh) {
            glBindTexture(GL_TEXTURE_RECTANGLE_EXT, texture_);
            glTexSubImage2D(GL_TEXTURE_RECTANGLE_EXT, 0, 0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, drawn_.data());
        }
        glPushAttrib(GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_CURRENT_BIT | GL_PIXEL_MODE_BIT);
        glDisable(GL_BLEND); // the picture is opaque, whatever the skin's blending
        glDisable(GL_TEXTURE_2D);
        glEnable(GL_TEXTURE_RECTANGLE_EXT);
        glBindTexture(GL_TEXTURE_RECTANGLE_EXT, texture_);
        glColor4f(1, 1, 1, 1);
        // The image's first row is the picture's top: it goes to the rectangle's top edge (y grows downwards).
        glBegin(GL_QUADS);
        glTexCoord2f(0, 0);
        glVertex2f(x, y);
        glTexCoord2f(float(w), 0);
        glVertex2f(x + width, y);
        glTexCoord2f(float(w), float(h));
        glVertex2f(x + width, y + height);
        glTexCoord2f(0, float(h));
        glVertex2f(x, y + height);
        glEnd();
        glPopAttrib();
    }

private:
    std::recursive_mutex lock_; // the image slots and the texture, between the calls of the main thread
    MovieDecoder movie_;
    std::vector<uint8_t> image_; // scratch for the newest image
    std::vector<uint8_t> drawn_; // the last image drawn
    GLuint texture_ = 0;
    unsigned textureGeneration_ = 0;
};

namespace {

void drawRecorded(void* helper, float x, float y, float width, float height) {
    static_cast<VideoPlayerHelper*>(helper)->drawLatestImage(x, y, width, height);
}

} // namespace

VideoPlayerHelper* vh_createVideoHelper(void*) {
    return new VideoPlayerHelper();
}

void vh_destroyVideoHelper(VideoPlayerHelper* helper) {
    delete helper;
}

void vh_loadMovieFromPath(VideoPlayerHelper* helper, const std::string& path) {
    if (helper) helper->loadMovieFromPath(path);
}

bool vh_hasMovie(VideoPlayerHelper* helper) {
    return helper && helper->hasMovie();
}

void vh_setPlaying(VideoPlayerHelper* helper, bool play) {
    if (helper && helper->isPlaying() != play) helper->togglePlayback();
}

bool vh_isPlaying(VideoPlayerHelper* helper) {
    return helper && helper->isPlaying();
}

double vh_getTime(VideoPlayerHelper* helper) {
    return helper ? helper->time() : 0.0;
}

double vh_getLength(VideoPlayerHelper* helper) {
    return helper ? helper->length() : 0.0;
}

void vh_setTime(VideoPlayerHelper* helper, double ms) {
    if (!helper) return;
    const double length = helper->length();
    if (!(length > 0)) return; // no movie: a fraction of nothing
    double fraction = ms / length;
    if (!(fraction > 0)) fraction = 0; // NaN too
    if (fraction > 1) fraction = 1;
    helper->scrubMovie(fraction);
}

void vh_drawImage(VideoPlayerHelper* helper, float x, float y, float width, float height) {
    // GL only where the context is current: elsewhere (no context yet) nothing is drawn.
    if (!helper || !glOnContextThread()) return;
    // A frame being recorded draws the movie when it is drawn, counting it as changed every time.
    if (GLDrawList* list = GLDrawList::recording()) {
        list->call(drawRecorded, helper, x, y, width, height);
        return;
    }
    helper->drawLatestImage(x, y, width, height);
}
