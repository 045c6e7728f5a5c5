#include "foundation/modTools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <utf8.h>

// ---- Text ------------------------------------------------------------------------------------

std::string strtolower(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool isLeft(const std::string& text, const std::string& prefix) {
    return prefix.size() <= text.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool isRight(const std::string& text, const std::string& suffix) {
    return suffix.size() <= text.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isLeftCI(const std::string& text, const std::string& prefix) { return isLeft(strtolower(text), strtolower(prefix)); }

bool isRightCI(const std::string& text, const std::string& suffix) {
    return isRight(strtolower(text), strtolower(suffix));
}

std::string strtrim(const std::string& text) {
    auto blank = [](char c) { return c == ' ' || c == '\0'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

std::vector<std::string> strsplit(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (text.empty() || separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (size_t hit = text.find(separator); hit != std::string::npos; hit = text.find(separator, start)) {
        pieces.push_back(text.substr(start, hit - start));
        start = hit + separator.size();
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

std::vector<std::string> strsplitquotes(const std::string& text, const std::string& separator,
                                        const std::string& quote, bool toEnd) {
    static const std::string marker = "\\_\\";
    if (separator.empty() || quote.empty()) return strsplit(text, separator);

    std::string masked;
    masked.reserve(text.size());
    size_t pos = 0; // end of the previous quoted stretch
    size_t open = text.find(quote);
    while (open != std::string::npos) {
        size_t close = text.find(quote, open + 1);
        size_t innerEnd = close;
        if (close == std::string::npos) {
            if (!toEnd) break;
            innerEnd = text.size();
        }
        masked += text.substr(pos, open - pos);
        size_t innerStart = open + quote.size();
        masked += strreplace(text.substr(innerStart, innerEnd - innerStart), separator, marker);
        if (close == std::string::npos) {
            pos = text.size();
            break;
        }
        pos = close + quote.size();
        open = text.find(quote, pos);
    }
    if (pos < text.size()) masked += text.substr(pos);

    std::vector<std::string> pieces = strsplit(masked, separator);
    for (std::string& piece : pieces) piece = strreplace(piece, marker, separator);
    return pieces;
}

std::string strreplace(const std::string& text, const std::string& search, const std::string& replacement) {
    if (search.empty()) return text;
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    for (size_t hit = text.find(search); hit != std::string::npos; hit = text.find(search, start)) {
        out.append(text, start, hit - start);
        out += replacement;
        start = hit + search.size();
    }
    out.append(text, start, std::string::npos);
    return out;
}

std::string prePad(const std::string& text, size_t minLength, const std::string& pad) {
    if (text.size() >= minLength) return text;
    std::string out;
    size_t times = minLength - text.size();
    out.reserve(times * pad.size() + text.size());
    for (size_t i = 0; i < times; ++i) out += pad;
    out += text;
    return out;
}

std::string strMerge(const char* a, const std::string& text, const char* b) {
    size_t la = a ? strlen(a) : 0, lb = b ? strlen(b) : 0;
    std::string out;
    out.reserve(la + text.size() + lb);
    if (a) out.append(a, la);
    out += text;
    if (b) out.append(b, lb);
    return out;
}

bool strToBool(const std::string& text) {
    std::string t = strtolower(text);
    return t == "1" || t == "true" || t == "ja" || t == "yes";
}

std::string boolToStr(bool value) { return value ? "true" : "false"; }

bool strIsNumeric(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return true;
}

// ---- Numbers and time --------------------------------------------------------------------------------

namespace {

// White space as the classic locale's stream extraction skips it.
bool isStreamSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The "C" locale, so that number text never depends on the process locale.
locale_t classicLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return loc;
}

} // namespace

int strToInt(const std::string& text) {
    size_t i = 0, n = text.size();
    while (i < n && isStreamSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= n || !isDigit(text[i])) return 0;
    long long value = 0;
    for (; i < n && isDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return 0; // does not fit in 32 bits
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return 0;
    return int(value);
}

double strToDbl(const std::string& text) {
    size_t i = 0, n = text.size();
    while (i < n && isStreamSpace(text[i])) ++i;
    size_t start = i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t mantissa = 0;
    while (i < n && isDigit(text[i])) ++i, ++mantissa;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) ++i, ++mantissa;
    }
    if (mantissa == 0) return 0.0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < n && isDigit(text[j])) {
            while (j < n && isDigit(text[j])) ++j;
            i = j;
        }
    }
    std::string token = text.substr(start, i - start);
    double value = strtod_l(token.c_str(), nullptr, classicLocale());
    if (!std::isfinite(value)) return 0.0; // out of range, as the stream's failure
    return value;
}

std::string intToStr(int value) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string dblToStr(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

std::string dblToStr(double value, int decimals) {
    if (decimals < 0) decimals = 0;
    if (decimals > 30) decimals = 30;
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return dblToStr(value);
    return std::string(buf, r.ptr);
}

std::string timetToStr(long seconds) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, seconds);
    return std::string(buf, r.ptr);
}

std::string getUnixTime() { return timetToStr(long(time(nullptr))); }

double timeGetExactTime() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1000000.0;
}

std::string strFromTime(float seconds, int decimals) {
    if (decimals < 0) decimals = 0;
    if (!std::isfinite(seconds) || std::fabs(seconds) / 3600.0f >= float(INT_MAX)) seconds = 0.0f;
    if (seconds < 0.0f) {
        if (double(seconds) <= -std::pow(10.0, -decimals)) return "-" + strFromTime(-seconds, decimals);
        seconds = 0.0f;
    }
    int hours = int(seconds / 3600.0f);
    float rest = seconds - float(hours) * 3600.0f;
    int minutes = int(rest / 60.0f);
    float secs = std::max(rest - float(minutes) * 60.0f, 0.0f);

    // Seconds that round up to 60 carry into the minutes (59.96 s reads "01:00.0", not "00:60.0").
    std::string secText = dblToStr(secs, decimals);
    if (strToDbl(secText) >= 60.0) {
        secText = dblToStr(0.0, decimals);
        if (++minutes == 60) {
            minutes = 0;
            ++hours;
        }
    }
    std::string out;
    if (hours > 0) out = prePad(intToStr(hours), 2, "0") + ":";
    out += prePad(intToStr(minutes), 2, "0") + ":";
    out += prePad(secText, decimals > 0 ? size_t(decimals) + 3 : 2, "0");
    return out;
}

// ---- Conversion and colour -------------------------------------------------------------------------------

std::string strFromUtf16(const uint16_t* units, size_t count) {
    if (!units || count == 0) return "";
    // Clean the input first so the library's conversion has nothing left to reject.
    std::u16string clean;
    clean.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                clean.push_back(char16_t(u));
                clean.push_back(char16_t(units[++i]));
            } else {
                clean.push_back(char16_t(0xFFFD));
            }
        } else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0xFFFE || u == 0xFFFF) {
            clean.push_back(char16_t(0xFFFD));
        } else {
            clean.push_back(char16_t(u));
        }
    }
    std::string out;
    try {
        utf8::utf16to8(clean.begin(), clean.end(), std::back_inserter(out));
    } catch (...) {
        // Unreachable after cleaning; keep what was converted rather than fail.
    }
    return out;
}

std::u16string strUtf16FromUtf8(const std::string& text) {
    std::u16string out;
    if (text.empty()) return out;
    try {
        std::string valid;
        valid.reserve(text.size());
        utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid), 0xFFFD);
        utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(out));
    } catch (...) {
        // Unreachable after replacement; keep what was converted rather than fail.
    }
    return out;
}

unsigned int getColorMix(unsigned int a, unsigned int b, float f) {
    unsigned int out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        float ca = float((a >> shift) & 0xFF), cb = float((b >> shift) & 0xFF);
        float mix = ca * (1.0f - f) + cb * f;
        int v = std::isfinite(mix) ? int(std::fmin(std::fmax(mix, 0.0f), 255.0f)) : 0;
        out |= unsigned(v) << shift;
    }
    return out;
}

// ---- Files and paths -----------------------------------------------------------------------------------

bool FileExist(const std::string& path) {
    FILE* f = fileOpen(path, "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

bool DirExist(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

FILE* fileOpen(const std::string& path, const char* mode, uint64_t* size) {
    // Refuse folders, pipes and devices before opening: fopen succeeds on a folder and blocks on a pipe.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
    FILE* f = fopen(path.c_str(), mode);
    if (!f) return nullptr;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        fclose(f);
        return nullptr;
    }
    if (size) {
        if (fseeko(f, 0, SEEK_END) != 0) {
            fclose(f);
            return nullptr;
        }
        off_t end = ftello(f);
        *size = end > 0 ? uint64_t(end) : 0;
        fseeko(f, 0, SEEK_SET);
    }
    return f;
}

std::string readFileContents(const std::string& path) {
    uint64_t size = 0;
    FILE* f = fileOpen(path, "rb", &size);
    if (!f) return "";
    std::string out;
    if (size > 0 && size < uint64_t(SIZE_MAX / 2)) out.reserve(size_t(size));
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
    fclose(f);
    return out;
}

int readFileChecked(const std::string& path, std::string* bytes) {
    bytes->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
    if (error == 0 && st.st_size > 0) bytes->reserve(size_t(st.st_size));
    char buffer[65536];
    while (error == 0) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            bytes->append(buffer, size_t(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            error = errno;
    }
    close(fd);
    if (error) bytes->clear();
    return error;
}

namespace {

// Where writing `path` lands: the file its chain of symbolic links ends at (which may not exist yet).
std::string linkTarget(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char buffer[PATH_MAX];
        ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
        if (length <= 0) break;
        std::string next(buffer, size_t(length));
        path = next[0] == '/' ? next : getFilePath(path) + next;
    }
    return path;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

bool replaceFileContents(const std::string& path, const std::string& bytes, std::string* error) {
    const std::string file = linkTarget(path);
    // The process id tells instances apart, the counter the calls of one instance; a name left by a crashed
    // run, or taken on a shared folder by another machine, is stepped over.
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = file + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    auto fail = [&](const char* step, int code) {
        if (error) *error = std::string(step) + " " + temporary + ": " + strerror(code);
        if (fd >= 0) close(fd);
        unlink(temporary.c_str());
        return false;
    };
    if (fd < 0) return fail("cannot create", errno);
    struct stat old;
    if (stat(file.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
    if (!writeAll(fd, bytes)) return fail("cannot write", errno ? errno : EIO);
    if (fsync(fd) != 0) return fail("cannot sync", errno);
    int closed = close(fd);
    fd = -1;
    if (closed != 0) return fail("cannot close", errno);
    if (rename(temporary.c_str(), file.c_str()) != 0) return fail("cannot rename", errno);
    // The rename itself reaches the disk with the folder.
    const std::string folder = getFilePath(file);
    int folderFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

int removeStaleReplacements(const std::string& path) {
    const std::string file = linkTarget(path);
    const std::string folder = getFilePath(file), prefix = getFileName(file) + ".tmp";
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        // Only our own naming: the prefix, the writer's process id, "-", a count, nothing more.
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const char* p = name.c_str() + prefix.size();
        const char* end = name.c_str() + name.size();
        pid_t pid = 0;
        unsigned count = 0;
        auto [dash, pidError] = std::from_chars(p, end, pid);
        if (pidError != std::errc() || dash == p || dash == end || *dash != '-' || pid <= 0) continue;
        auto [last, countError] = std::from_chars(dash + 1, end, count);
        if (countError != std::errc() || last == dash + 1 || last != end) continue;
        // A process that still runs (or one we may not signal) may be writing it now; so may another machine's
        // sharing the folder, whose process ids are not ours: a file written within the last minute stays.
        if (pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (lstat((folder + name).c_str(), &st) != 0 || time(nullptr) - st.st_mtime < 60) continue;
        removed += unlink((folder + name).c_str()) == 0;
    }
    closedir(dir);
    return removed;
}

std::string getFileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string getFilePath(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool getFileTimes(const std::string& path, time_t* modified, time_t* changed) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if (modified) *modified = st.st_mtime;
    if (changed) *changed = st.st_ctime;
    return true;
}

time_t getFileModifiedTime(const std::string& path) {
    time_t t = 0;
    return getFileTimes(path, &t, nullptr) ? t : 0;
}

std::string unusedNumberedPath(const std::string& base) {
    struct stat st;
    if (lstat(base.c_str(), &st) != 0) return base;
    for (int n = 2;; ++n) {
        const std::string path = base + std::to_string(n);
        if (lstat(path.c_str(), &st) != 0) return path;
    }
}

// ---- Tag-style text -----------------------------------------------------------------------------------

namespace {

// Finds the element `name` in `haystack` (the document or its lower-cased copy) from `from`.
// On success gives the value's offset and length and the offset behind the closing tag.
bool findElement(const std::string& haystack, const std::string& name, size_t from, size_t& valueStart,
                 size_t& valueLength, size_t& end) {
    if (from > haystack.size()) return false;
    size_t open = haystack.find("<" + name + ">", from);
    if (open == std::string::npos) return false;
    size_t close = haystack.find("</" + name + ">", open + name.size());
    if (close == std::string::npos) return false;
    valueStart = open + name.size() + 2;
    if (close < valueStart) return false;
    valueLength = close - valueStart;
    end = close + name.size() + 3;
    return true;
}

std::string takeElement(std::string& document, const std::string& haystack, const std::string& name, bool remove,
                        size_t from, size_t* end) {
    size_t valueStart, valueLength, elementEnd;
    if (!findElement(haystack, name, from, valueStart, valueLength, elementEnd)) return "";
    std::string value = document.substr(valueStart, valueLength);
    if (end) *end = elementEnd;
    if (remove) {
        size_t open = valueStart - name.size() - 2;
        document.erase(open, elementEnd - open);
    }
    return value;
}

} // namespace

std::string getXMLElement(std::string& document, const std::string& name, bool remove, size_t from, size_t* end) {
    return takeElement(document, document, name, remove, from, end);
}

std::string getXMLElementCI(std::string& document, const std::string& name, bool remove, size_t from, size_t* end) {
    std::string lower = strtolower(document);
    return takeElement(document, lower, strtolower(name), remove, from, end);
}

std::string getXMLElementCIFast(const std::string& document, std::string& lower, const std::string& lowerName,
                                size_t from, size_t* end) {
    if (lower.size() != document.size()) lower = strtolower(document);
    size_t valueStart, valueLength, elementEnd;
    if (!findElement(lower, lowerName, from, valueStart, valueLength, elementEnd)) return "";
    if (end) *end = elementEnd;
    return document.substr(valueStart, valueLength);
}

std::string getXMLPart(std::string& document, const std::string& name, const std::string& def, bool remove) {
    std::string value = getXMLElementCI(document, name, remove, 0, nullptr);
    return value.empty() ? def : value;
}

std::string escapeTagText(const std::string& text) {
    if (text.find_first_of("<>&") == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

std::string unescapeTagText(const std::string& text) {
    if (text.find('&') == std::string::npos) return text;
    static const struct {
        const char* entity;
        size_t length;
        char character;
    } entities[] = {{"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&amp;", 5, '&'}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        if (text[i] == '&')
            for (const auto& e : entities)
                if (text.compare(i, e.length, e.entity) == 0) {
                    out += e.character;
                    i += e.length - 1;
                    replaced = true;
                    break;
                }
        if (!replaced) out += text[i];
    }
    return out;
}
