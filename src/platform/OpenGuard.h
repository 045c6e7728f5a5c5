// What stands before an FFmpeg open (the system audio reader's, the movie decoder's) and before our own readers of
// FLAC metadata (libFLAC, the tag reader). FFmpeg files every tag in a list it searches on each insert: tens of
// thousands of tags take it many seconds. Most containers read their tags piece by piece, and an open given up on
// stops at its next read; some hand FFmpeg all their tags at once, and an open given up on there runs on for as long,
// out of anyone's reach: an ID3v2 tag at the start (read whole with the probe), an Ogg stream's comment header, a
// FLAC comment block, Matroska's tags. Those are counted here first, and a file holding too many is not opened at
// all. Our own readers pass over tags they do not keep, but walk every block as FFmpeg does: a file whose walk takes
// too many steps (millions of empty FLAC blocks) is refused to every reader. A refused file is also remembered for
// the session, so that it is not tried again by every load and every listing, unless it changes.
#pragma once

#include <cstdint>
#include <string>

namespace OpenGuard {

// Tags FFmpeg files in about half a second: a file holding more in those structures is refused.
constexpr uint64_t kMaxTags = 10000;

// The tags of those structures in the file, counted up to just past `limit` (0 for other files). Just past it too
// for a file whose ID3v2 tags, FLAC blocks or Matroska elements take too many reads to count.
uint64_t tagsFiledAtOnce(const std::string& path, uint64_t limit = kMaxTags);

// Who is to read the file: FFmpeg, or a reader of our own, which only the walk's steps hold up.
enum class Reader { FFmpeg, Own };

struct Refusal {
    std::string why;     // "" when the file may be opened
    bool before = false; // refused earlier in the session, and not changed since
};

// Whether a regular file may be given to the reader: not when it was refused to that reader before (same size,
// modification time and inode), nor when its walk takes too many steps, nor, for FFmpeg, when it holds more than
// kMaxTags of those tags (remembered from now on).
Refusal check(const std::string& path, Reader reader = Reader::FFmpeg);

// check(), saying a refusal on standard error the first time only; true when the file is refused.
bool refused(const std::string& path, Reader reader = Reader::FFmpeg);

// Remembers that the file as it is now was refused to FFmpeg, and why.
void remember(const std::string& path, const std::string& why);

} // namespace OpenGuard
