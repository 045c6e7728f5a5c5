// The AIFF and AIFC parser; samples are read by the PCM reader shared with WAV.
#include "audio/decoders/AudioDecoderFormats.h"
#include "audio/decoders/ByteOrder.h"

#include "foundation/modTools.h"

#include <algorithm>
#include <cstring>

uint32_t ConvertFloat(const unsigned char* bytes) {
    if (bytes[0] & 0x80) return 0; // negative
    int exponent = (FetchShort(bytes) & 0x7FFF) - 16383;
    uint32_t mantissa = FetchLong(bytes + 2); // the top 32 of 64 mantissa bits, the integer bit first
    if (exponent < 0 || exponent > 31) return 0;
    int shift = 31 - exponent;
    if (shift == 0) return mantissa;
    uint32_t whole = mantissa >> shift;
    uint32_t roundBit = (mantissa >> (shift - 1)) & 1;
    return whole + roundBit;
}

int AudioDecoder::openFileAiff(const std::string& name) {
    pcm.reset(new PcmState);
    uint64_t size = 0;
    pcm->file.reset(fileOpen(name, "rb", &size));
    FILE* f = pcm->file.get();
    unsigned char head[26];
    if (!f || size < 12 || !readAt(f, 0, head, 12) || memcmp(head, "FORM", 4) != 0) return -1;
    bool aifc = memcmp(head + 8, "AIFC", 4) == 0;
    if (!aifc && memcmp(head + 8, "AIFF", 4) != 0) return -1;

    bool haveComm = false, haveSound = false;
    int fileChannels = 0, fileBits = 0;
    uint32_t commFrames = 0, rate = 0;
    uint64_t dataStart = 0, dataBytes = 0;
    pcm->bigEndian = true;
    pcm->signed8 = true;
    uint64_t pos = 12; // the next chunk header
    while (!(haveComm && haveSound) && pos + 8 <= size && readAt(f, pos, head, 8)) {
        uint64_t chunkSize = FetchLong(head + 4);
        uint64_t left = size - (pos + 8);
        if (memcmp(head, "COMM", 4) == 0) {
            size_t want = aifc ? 22 : 18;
            if (chunkSize < want || chunkSize > left || !readAt(f, pos + 8, head, want)) return -1;
            fileChannels = FetchShort(head);
            commFrames = FetchLong(head + 2);
            fileBits = FetchShort(head + 6);
            rate = ConvertFloat(head + 8);
            if (aifc) {
                if (memcmp(head + 18, "sowt", 4) == 0)
                    pcm->bigEndian = false;
                else if (strtolower(std::string(reinterpret_cast<char*>(head + 18), 4)) == "fl32")
                    pcm->isFloat = true;
                else
                    return -1; // other encodings ("NONE" too) are the system reader's
            }
            haveComm = true;
        } else if (memcmp(head, "SSND", 4) == 0) {
            if (left < 8 || !readAt(f, pos + 8, head, 8)) return -1;
            uint64_t offset = FetchLong(head); // bytes of the block before the first frame
            dataStart = pos + 16 + offset;
            if (dataStart > size) return -1;
            // A size of 0 or one past the end (a stream never finished) plays to the end of the file.
            if (chunkSize == 0 || chunkSize > left) chunkSize = left;
            dataBytes = chunkSize >= 8 + offset ? chunkSize - 8 - offset : 0;
            dataBytes = std::min(dataBytes, size - dataStart);
            haveSound = true;
            if (chunkSize == left) break; // nothing trustworthy follows
        }
        pos += 8 + chunkSize + (chunkSize & 1);
    }
    if (!haveComm || !haveSound || fileChannels < 1 || fileBits < 1 || fileBits > 32 || rate < 1) return -1;
    if (pcm->isFloat && fileBits != 32) return -1;
    pcm->fileChannels = fileChannels;
    pcm->sampleBytes = (fileBits + 7) / 8; // narrower samples sit left-justified in whole bytes
    if (!startPcm(dataStart, dataBytes, commFrames)) return -1;
    bits = fileBits;
    samplerate = float(rate);
    type = TYPE_AIFF;
    return 0;
}
