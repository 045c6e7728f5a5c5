// One entry of the tag record: an ID3v2 frame id with its content, into which every tag format
// is mapped. A record and its frames have no lock: they are filled on the thread that reads the
// file and afterwards read by the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

class CID3Frame {
public:
    CID3Frame() = default;
    explicit CID3Frame(std::string id, std::string data = "", std::string additionalHeader = "")
        : id(std::move(id)), data(std::move(data)), additionalHeader(std::move(additionalHeader)) {}
    virtual ~CID3Frame() = default;

    // The frame's text as UTF-8 for the UTF-16 encodings (1 and 2), else its bytes as they are.
    // The reference stays valid until the frame's data changes.
    const std::string& getString();

    const std::string& getId() const { return id; }
    void setId(const std::string& value) { id = value; }
    // The content as stored (may hold zero bytes).
    const std::string& getData() const { return data; }
    // A shorter value gives the old one's memory back (emptied pictures must not keep their bytes).
    void setData(const std::string& value) {
        std::string(value).swap(data);
        std::string().swap(textCache);
    }
    // Bytes split off the front of the content; byte 0 is the text encoding
    // (0 ISO-8859-1, 1 UTF-16 with byte-order mark, 2 UTF-16 without mark, 3 UTF-8).
    const std::string& getAdditionalHeader() const { return additionalHeader; }
    void setAdditionalHeader(const std::string& value) {
        additionalHeader = value;
        textCache.clear();
    }
    // The two flag bytes of an ID3v2 frame header, first byte high; kept, not interpreted.
    uint32_t getFlags() const { return flags; }
    void setFlags(uint32_t value) { flags = value; }
    // The data was cut short when it was stored.
    bool isIncomplete() const { return incomplete; }
    void setIncomplete(bool value) { incomplete = value; }

private:
    std::string id;
    std::string data;
    std::string textCache; // UTF-8 decoded from data; empty = not decoded (or not needed)
    std::string additionalHeader;
    uint32_t flags = 0;
    bool incomplete = false;
};
