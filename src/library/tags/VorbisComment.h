// Ogg pages and Vorbis comments, read without an Ogg or FLAC library, and their mapping into the
// tag record (shared by the Ogg Vorbis and the FLAC reader).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ByteSource;
class CID3v2Tag;

// One Ogg page header as stored (numbers little-endian in the file).
struct tOggPage {
    char capturePattern[4] = {0, 0, 0, 0}; // "OggS"
    uint8_t version = 0;                   // must be 0
    uint8_t headerType = 0;
    uint64_t granulePosition = 0;
    uint32_t serialNumber = 0;
    uint32_t sequenceNumber = 0;
    uint32_t crc = 0; // not checked
    uint8_t segmentCount = 0;
    uint8_t segmentTable[255] = {};
    uint32_t pageSize = 0; // 27 + segments + sum of segment lengths, bytes
};

struct tvorbisIdentificationPacket {
    uint8_t packetType = 0; // 1
    uint32_t version = 0;   // must be 0
    uint8_t channels = 0;
    uint32_t sampleRate = 0;                                             // Hz
    uint32_t maximumBitRate = 0, nominalBitRate = 0, minimumBitRate = 0; // bits per second
    uint8_t blockSizes = 0;
    uint8_t framing = 0;
};

struct tVorbisCommentPacket {
    uint8_t packetType = 0; // 3
    std::string vendor;
    std::vector<std::string> comments; // "NAME=value", as stored
    uint8_t framing = 0;
    std::string rest; // what followed the packet on its page, leading zero bytes skipped
    bool parsed = false;
};

struct tVorbisTag {
    tOggPage identificationPage;
    tvorbisIdentificationPacket identification;
    tOggPage commentPage;
    tVorbisCommentPacket comment;
    // Pages read while a comment ran over page ends; their data is not kept.
    unsigned int continuationPages = 0;
};

// A single comment longer than this (bytes) ends the comment list: a crafted length must not make
// a library scan read and hold the rest of a large file.
constexpr uint32_t kMaxVorbisCommentBytes = 16u << 20;
// Comments beyond this many are not read: a crafted count of empty comments would otherwise cost
// some 32 bytes of memory for every 4 bytes of the file (real files carry a few dozen).
constexpr uint32_t kMaxVorbisComments = 65536;
// "CUEPOINTn" numbers above this are not looked up.
constexpr unsigned int kMaxVorbisCuePoint = 1000;

// Reads the page at `offset` into `page` and its joined segments into `data` (replacing it);
// on success `offset` moves behind the page. False on a short read or a foreign header.
bool ogg_ReadOggPage(ByteSource& source, uint64_t& offset, tOggPage& page, std::string& data);

// Parses a comment packet from `data`. With `source` (Ogg), a comment that runs over the page's
// end continues on the following pages read from `*offset`; without (FLAC) the data is all there
// is. noHeader: no packet type and "vorbis" in front; noFraming: no framing byte behind.
// False only when the header is missing or foreign; a short packet keeps what it read.
bool vorbis_ParseVorbisComment(std::string& data, tVorbisCommentPacket& packet, tVorbisTag* tag, ByteSource* source,
                               uint64_t* offset, bool noHeader, bool noFraming);

// The value of the first comment whose name equals `name` (trimmed, any case); "" when none.
std::string vorbis_GetField(const tVorbisCommentPacket& packet, const std::string& name);

// Maps the comment fields into the record (titles, cue points, rating, colour, replay gain, picture).
void vorbis_SetID3v2Tags(CID3v2Tag& tag, const tVorbisCommentPacket& packet);

// A FLAC PICTURE block (also the content of METADATA_BLOCK_PICTURE) as an "APIC" frame's data;
// "" when its lengths do not fit.
std::string vorbis_PictureToAPIC(const std::string& block);
