// The small adapter over libmpg123: the only code that calls it. mpg123 runs in feed mode and is
// handed whole frames that the MP3 reader located itself.
#pragma once

#include <mpg123.h>

// A feed-mode handle set up to decode frame by frame: output from the first frame fed, every frame
// (a LAME/Xing info frame too) giving its full count of samples, no gapless trimming, no printing,
// 16-bit output fixed at `rate` Hz and `channels` (1 or 2) whatever later frames say.
// Null (and *err set) on failure.
mpg123_handle* InitMP3(int* err, long rate, int channels);
// Drops everything fed so far (the bit reservoir too), as before a jump to another frame.
int ResetMP3(mpg123_handle* handle);
void ExitMP3(mpg123_handle* handle);
// Feeds `inSize` bytes and decodes into `out` (outSize bytes, at least 4,608). Returns 0 when output
// was produced (or nothing is missing), MPG123_NEED_MORE when the input gave no output yet, or
// another mpg123 code on failure. *done receives the bytes written.
int decodeMP3(mpg123_handle* handle, const void* in, int inSize, void* out, int outSize, unsigned int* done);
