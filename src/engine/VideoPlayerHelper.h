// The movie bridge of a video deck: a movie (decoded on a thread of its own), the newest frame it delivered
// and the last one drawn, and the texture that frame is drawn from. Plain functions over an opaque handle;
// one thread uses a bridge at a time (the main thread; a deck's load opens its movie in a new bridge on the
// loading thread and then hands it over), and only vh_drawImage touches GL (the context must be current).
#pragma once

#include <string>

class VideoPlayerHelper;

// A bridge object for a drawing view (may be null: the GL side is made at the first draw).
VideoPlayerHelper* vh_createVideoHelper(void* view);
// Stops and joins the decode thread, then frees the movie and the texture. Null does nothing.
void vh_destroyVideoHelper(VideoPlayerHelper* helper);
// Opens a movie in place of the present one; one that doesn't open leaves no movie and says why on stderr.
void vh_loadMovieFromPath(VideoPlayerHelper* helper, const std::string& path);
// A movie is open (false for a null bridge).
bool vh_hasMovie(VideoPlayerHelper* helper);
// Starts or stops playback, only when the present state differs.
void vh_setPlaying(VideoPlayerHelper* helper, bool play);
bool vh_isPlaying(VideoPlayerHelper* helper);
// The movie's time and duration in ms (0 without a movie).
double vh_getTime(VideoPlayerHelper* helper);
double vh_getLength(VideoPlayerHelper* helper);
// Scrubs to ms (as a fraction of the duration, clamped to 0..1) and shows that frame even while stopped.
// Without a movie it does nothing.
void vh_setTime(VideoPlayerHelper* helper, double ms);
// Draws the newest frame (else the last one drawn, else nothing) stretched into the rectangle, upright in
// top-down coordinates. Main thread, GL context current.
void vh_drawImage(VideoPlayerHelper* helper, float x, float y, float width, float height);
