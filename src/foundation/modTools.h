// Text, number, time, file, path and tag-style text functions used by every subsystem.
// All functions are free, keep no state between calls and take no lock: any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- Text ------------------------------------------------------------------------------------

// Copy with A-Z folded to a-z; every other byte (UTF-8 sequences included) is kept.
std::string strtolower(const std::string& text);

bool isLeft(const std::string& text, const std::string& prefix);
bool isRight(const std::string& text, const std::string& suffix);
bool isLeftCI(const std::string& text, const std::string& prefix);
bool isRightCI(const std::string& text, const std::string& suffix);

// Removes leading and trailing spaces and NUL bytes (tabs and line breaks are kept).
std::string strtrim(const std::string& text);

// Splits at every occurrence of the separator. "a,,b" -> a, "", b; "a," -> a; "" -> one empty piece.
// An empty separator gives the text itself as the one piece.
std::vector<std::string> strsplit(const std::string& text, const std::string& separator);

// As strsplit, but separators inside quoted stretches do not split and the quotes are removed.
// toEnd: an unclosed quote runs to the end of the text (else it is kept and splits normally).
std::vector<std::string> strsplitquotes(const std::string& text, const std::string& separator,
                                        const std::string& quote, bool toEnd);

// Replaces every non-overlapping occurrence, left to right; an empty search text changes nothing.
std::string strreplace(const std::string& text, const std::string& search, const std::string& replacement);

// The pad text repeated (minLength - length) times in front of the text, when it is shorter.
std::string prePad(const std::string& text, size_t minLength, const std::string& pad);

// a + text + b in one allocation (null a or b count as empty).
std::string strMerge(const char* a, const std::string& text, const char* b);

// "1", "true", "ja", "yes" in any case are true; everything else is false.
bool strToBool(const std::string& text);
std::string boolToStr(bool value);

// True when every byte is a digit or a point; "" counts as numeric.
bool strIsNumeric(const std::string& text);

// ---- Numbers and time (always in the classic "C" locale) ----------------------------------------

// The leading decimal integer; 0 when there is none or it does not fit in 32 bits.
int strToInt(const std::string& text);
// The leading floating-point number; 0.0 when there is none.
double strToDbl(const std::string& text);
std::string intToStr(int value);
// Default stream form: 6 significant digits, trailing zeros dropped ("0.5", "1e+07").
std::string dblToStr(double value);
// Fixed-point with exactly `decimals` decimals, rounded.
std::string dblToStr(double value, int decimals);

std::string timetToStr(long seconds);
// Wall-clock seconds since 1970 as decimal text.
std::string getUnixTime();
// Milliseconds from a monotonic clock: every caller measures intervals with it (frame times,
// glides, hold times), so a change of the system clock must not make a frame take minus an hour.
double timeGetExactTime();

// Play-time text: [hh:]mm:ss[.d...]. 75.5 s with 1 decimal -> "01:15.5".
// NaN, infinities and values beyond the int range give "00:00".
std::string strFromTime(float seconds, int decimals);

// ---- Conversion and colour --------------------------------------------------------------------------

// UTF-16 code units to UTF-8. An unpaired surrogate or U+FFFE/U+FFFF becomes U+FFFD. Never throws.
std::string strFromUtf16(const uint16_t* units, size_t count);
// UTF-8 to UTF-16 code units; a malformed or truncated sequence becomes U+FFFD. Never throws.
std::u16string strUtf16FromUtf8(const std::string& text);

// Mixes two 0x00BBGGRR colours channel by channel: a*(1-f) + b*f, each channel clamped to 0..255.
unsigned int getColorMix(unsigned int a, unsigned int b, float f);

// ---- Files and paths ----------------------------------------------------------------------------------

// True when the path is a regular file that can be opened for reading.
bool FileExist(const std::string& path);
// True when the path exists at all (file or folder).
bool DirExist(const std::string& path);
// Creates one folder (0777 less the umask); false when it exists or its parent is missing.
bool makeDirectory(const std::string& path);
// Opens a regular file with an fopen mode; null for folders, other non-regular files and failures.
// When size is given, the file size in bytes is stored there and the position is set to the start.
FILE* fileOpen(const std::string& path, const char* mode, uint64_t* size = nullptr);
// The whole file as bytes; "" when it cannot be opened.
std::string readFileContents(const std::string& path);
// The whole regular file into `bytes`: 0, or the errno of what failed (ENOENT when there is no file,
// EISDIR for a folder or another kind of file, EACCES when it may not be read, EIO ...).
int readFileChecked(const std::string& path, std::string* bytes);
// Replaces the file at `path` with `bytes` so that a crash, a kill or a full disk leaves the old file or the
// new one, never half of one: written to a temporary file of a name no other process uses, in the folder of
// the file a symbolic link at `path` leads to (the link stays a link), flushed to the disk and renamed over
// it. The new file keeps the old one's permission bits. On failure the old file stays as it was, the
// temporary file is removed and `error` (when given) tells which step failed and why.
bool replaceFileContents(const std::string& path, const std::string& bytes, std::string* error = nullptr);
// Removes the temporary files replaceFileContents left beside `path` in processes that are gone (a kill or a
// crash mid-write); those of running processes stay. Returns how many were removed.
int removeStaleReplacements(const std::string& path);
// The part behind the last "/" (the whole text without one).
std::string getFileName(const std::string& path);
// The part up to and including the last "/" ("" without one).
std::string getFilePath(const std::string& path);
// Modification and status-change times in seconds since 1970; false (outputs untouched) on failure.
bool getFileTimes(const std::string& path, time_t* modified, time_t* changed);
// Modification time in seconds since 1970; 0 when the path cannot be examined.
time_t getFileModifiedTime(const std::string& path);
// `base` when nothing is there (not even a dangling link), else the first of base2, base3 ... that is free: a
// damaged file kept there replaces none kept before.
std::string unusedNumberedPath(const std::string& base);

// ---- Tag-style text ---------------------------------------------------------------------------------
// An element is "<name>" value "</name>", found by plain text search: no attributes, no entities,
// the first closing tag of the name ends the element. Offsets are bytes; `end` receives the offset
// just behind the closing tag (relative to the document before any removal).

// Exact-case search from `from`; removes the whole element from the document when `remove` is set.
std::string getXMLElement(std::string& document, const std::string& name, bool remove = false, size_t from = 0,
                          size_t* end = nullptr);
// Case-insensitive tags; the value keeps the document's case.
std::string getXMLElementCI(std::string& document, const std::string& name, bool remove = false, size_t from = 0,
                            size_t* end = nullptr);
// As getXMLElementCI, searching the caller's lower-cased copy `lower` (refreshed here only when its
// length differs from the document's). `lowerName` must already be lower case. Never removes.
std::string getXMLElementCIFast(const std::string& document, std::string& lower, const std::string& lowerName,
                                size_t from = 0, size_t* end = nullptr);
// The first element of that name anywhere (case-insensitive), or `def` when missing or empty.
std::string getXMLPart(std::string& document, const std::string& name, const std::string& def = "",
                       bool remove = false);
// A value as text that tag-style readers take back whole: "&", "<" and ">" become "&amp;", "&lt;" and
// "&gt;", so no value can close its element or open another.
std::string escapeTagText(const std::string& text);
// The reverse: those three entities become their characters; any other "&" stays as it is (text written
// before values were escaped reads unchanged).
std::string unescapeTagText(const std::string& text);
