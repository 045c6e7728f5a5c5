// The one tag record of the system. Every tag format (ID3v2, ID3v1, RIFF INFO, ASF, MP4, Vorbis
// comments, FLAC, the file name) is mapped into its list of ID3v2-style frames; the deck keeps cue
// points and loops in "ETCO", replay gain in "RGAD", the rating in "POPM", a colour in the "TXXX"
// frame described "Color", and the cover in "APIC". Records are never written back into files.
//
// No lock: a record is filled on the thread that reads it (main thread, or the tag cache's
// loading and build threads) and afterwards read and changed on the main thread only.
// Readers never throw and never print; a malformed file leaves what could be read.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "library/tags/CID3Frame.h"

class ByteSource;
class CPicture;

class CID3v2Tag {
public:
    CID3v2Tag() = default;
    virtual ~CID3v2Tag();
    CID3v2Tag(const CID3v2Tag&) = delete;
    CID3v2Tag& operator=(const CID3v2Tag&) = delete;

    // ---- Frames ----
    unsigned int getNbFrames() const { return unsigned(frames.size()); }
    // The frame at that place; the caller guarantees index < getNbFrames().
    CID3Frame* getFrame(unsigned int index) { return frames[index].get(); }
    // Appends the frame and takes ownership. An "ETCO" frame is capped to kMaxETCOBytes, so a crafted
    // file cannot make the deck's per-event edits quadratic.
    void addFrame(CID3Frame* frame);
    // The n-th frame (from 0) with that id: its raw data when `raw`, else its decoded text;
    // null when the id is empty or there is no such frame. Valid until that frame changes.
    const std::string* getFrame(const std::string& id, bool raw = false, int n = 0);
    // The decoded text of the first frame with the id, or "".
    std::string getFrameCopy(const std::string& id);
    // Adds, replaces or removes (null or empty value) the first frame with that id.
    // encoding: 0-3, the text encoding of a new "T"/"W" frame.
    void setFrame(const std::string& id, const std::string* value, int encoding);
    void setFrame(const std::string& id, const std::string& value, int encoding) { setFrame(id, &value, encoding); }

    // Text ("T..."), URL ("W..."), comment, rating and play-count frames: what lists of the library show
    // and keep. Every other frame (pictures, binary data) can weigh hundreds of kilobytes.
    static bool isTextFrame(const std::string& id);
    // The frames the decks write into a record: "ETCO" (cue points and loops) and "RGAD" (replay gain).
    static constexpr const char* kDeckFrames[2] = {"ETCO", "RGAD"};
    static bool isDeckFrame(const std::string& id) { return id == kDeckFrames[0] || id == kDeckFrames[1]; }
    // Empties every frame that is not a text frame, and with `keepDeckFrames` not one the decks write
    // ("ETCO" cue points and loops, "RGAD" replay gain) either: its data goes, its id and place stay, and
    // it is marked incomplete. A record kept for long (a list's, a closed track's) so keeps no pictures.
    void emptyLargeFrames(bool keepDeckFrames);
    // Gives the frames emptyLargeFrames emptied their data back from a record read from the same file
    // again (the n-th frame of an id from the n-th of that id there); frames it lacks stay empty.
    void restoreEmptiedFrames(const CID3v2Tag& fresh);

    // Tempo in beats per minute from "TBPM" (1280 -> 128.0); 0 when absent, unparsable or not finite.
    double getBPM();

    // "TXXX" frames hold the description, a zero byte and the value.
    std::string getFrameTXXX(const std::string& description);
    void setFrameTXXX(const std::string& description, const std::string* value);
    void setFrameTXXX(const std::string& description, const std::string& value) { setFrameTXXX(description, &value); }

    // "ETCO" events: time in ms (unsigned 32-bit), event type one byte (0xE0 cue points, 0xE1 loop
    // starts, 0xE2 loop ends, 0xE3 marks). Kept in rising order of time, one event per time.
    void addToETCO(unsigned int timeMs, unsigned int type);
    void removeFromETCO(unsigned int timeMs, unsigned int type);
    // Time in ms of the n-th event of that type (n from 0), or -1.0.
    double getFromETCO(unsigned int type, unsigned int n);

    // "RGAD": peak as a fraction of full scale, gains in dB (clamped to +/-51 dB).
    void setReplayGainTag(float peak, float radioGain, float audiophileGain);
    // Every output is 0 unless read from a valid frame; a frame whose peak is not finite or not
    // positive counts as absent, so the deck analyses the track instead of trusting it.
    void getReplayGain(float* peak, float* radioGain, float* audiophileGain);

    // "POPM" rating 0-255.
    void setRating(int rating);
    int getRating();

    // The cover as a new picture the caller deletes (possibly empty): the embedded "APIC" picture,
    // else the picture file named like the audio file (jpg, jpeg, gif, png, bmp); reduced to fit
    // maxWidth x maxHeight when both are positive. `text` is not used.
    CPicture* getPicture(int maxWidth, int maxHeight, const std::string& text);

    // ---- Readers (all return as their formats define; see each) ----
    // Reads any supported file by extension, lets the file name fill the gaps and stamps the file
    // times. Always true.
    bool readFromFile(const std::string& path);
    // True when a valid ID3v2.3/2.4 tag gave a non-empty title and artist.
    bool readFromID3v2(const std::string& path);
    bool readFromID3v2(ByteSource& source);
    // True when an ID3v1 tag gave (or the record already had) a title and an artist.
    bool readFromID3v1(const std::string& path);
    bool readFromID3v1(ByteSource& source);
    // Title, artist, album and track from the file name, only where the record has none. Always true.
    bool readFromFilename(const std::string& path);
    // RIFF WAVE: "fmt " length, "acid" tempo, "rgad", LIST/INFO texts. False when not RIFF/WAVE.
    bool readFromWAV(const std::string& path);
    bool readFromWAV(ByteSource& source);
    // ASF header objects. False when the file does not start with the ASF header object.
    bool readFromWMA(std::string path);
    bool readFromWMA(ByteSource& source);
    // MP4 items under moov.udta.meta.ilst. False when the file cannot be opened.
    bool readFromM4ATag(const std::string& path);
    bool readFromM4ATag(ByteSource& source);
    // Vorbis comments of the first two Ogg pages. True when both header packets were read.
    bool readFromOggTag(const std::string& path);
    bool readFromOggTag(ByteSource& source);
    // FLAC metadata blocks: STREAMINFO length, VORBIS_COMMENT, PICTURE. The result carries no meaning.
    bool readFromFLACTag(const std::string& path);
    bool readFromFLACTag(ByteSource& source);

    // ---- Record fields ----
    const std::string& getPath() const { return path; }
    void setPath(const std::string& value) { path = value; }
    int getVersion() const { return version; }
    void setVersion(int value) { version = value; }
    // Flag byte of the ID3v2 header read (0x80 unsynchronisation, 0x10 footer), else 0.
    uint8_t getHeaderFlags() const { return headerFlags; }
    // Size in bytes of the ID3v2 tag body after unsynchronisation was removed.
    uint32_t getTagSize() const { return tagSize; }
    // Seconds since 1970; the status-change time serves as the file's creation date.
    time_t getModificationTime() const { return modificationTime; }
    void setModificationTime(time_t value) { modificationTime = value; }
    time_t getStatusChangeTime() const { return statusChangeTime; }
    void setStatusChangeTime(time_t value) { statusChangeTime = value; }
    bool isChanged() const { return changed; }
    void setChanged(bool value) { changed = value; }

    // An ETCO frame taken from outside (a file, the database) keeps at most this many bytes:
    // the format byte and 13107 events.
    static constexpr size_t kMaxETCOBytes = 1 + 5 * 13107;

private:
    // Stores the path, opens the file and runs one of the source readers on it; false when it can't be opened.
    bool readPath(const std::string& filePath, bool (CID3v2Tag::*reader)(ByteSource&));
    CID3Frame* findFrame(const std::string& id, int n = 0) const;
    void removeFrameAt(size_t index);
    void readID3v1Fields(const uint8_t* tag);

    uint8_t headerFlags = 0;
    uint32_t tagSize = 0;
    std::vector<std::unique_ptr<CID3Frame>> frames; // destroyed last first
    int version = 4;
    std::string path;
    time_t modificationTime = 0;
    time_t statusChangeTime = 0;
    bool changed = false;
};
