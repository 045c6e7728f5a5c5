#include "library/tags/CID3v2Tag.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/modTools.h"
#include "library/tags/ByteSource.h"

namespace {

bool isTextId(const std::string& id) {
    return !id.empty() && (id[0] == 'T' || id[0] == 'W');
}

std::string utf16Bytes(const std::u16string& units, bool bigEndian) {
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out.push_back(char(bigEndian ? u >> 8 : u & 0xFF));
        out.push_back(char(bigEndian ? u & 0xFF : u >> 8));
    }
    return out;
}

// One ETCO event: type byte, then the time in ms, big-endian.
std::string etcoEntry(unsigned int timeMs, unsigned int type) {
    std::string e(5, '\0');
    e[0] = char(type & 0xFF);
    e[1] = char(timeMs >> 24);
    e[2] = char(timeMs >> 16);
    e[3] = char(timeMs >> 8);
    e[4] = char(timeMs);
    return e;
}

// A replay-gain adjustment field: name code bit, originator, sign and ten times |gain| in dB.
uint16_t gainField(float gain, int nameBit) {
    if (!std::isfinite(gain)) gain = 0.0f;
    gain = std::clamp(gain, -51.0f, 51.0f);
    auto value = uint16_t(std::trunc(std::fabs(gain * 10.0f)));
    uint16_t field = value & 0x1FF;
    if (gain < 0) field |= 1 << 9;
    field |= 1 << 10;
    if (gain != 0) field |= 1 << 11;
    field |= uint16_t(1 << nameBit);
    return field;
}

// The gain of a field whose name code is `nameCode` and that carries a valid originator; else 0.
float fieldGain(uint16_t field, int nameCode) {
    if ((field >> 13) != nameCode || (field & (1 << 12)) || !(field & (3 << 10))) return 0.0f;
    float gain = float(field & 0x1FF) / 10.0f;
    return (field & (1 << 9)) ? -gain : gain;
}

} // namespace

CID3v2Tag::~CID3v2Tag() {
    while (!frames.empty())
        frames.pop_back();
}

void CID3v2Tag::addFrame(CID3Frame* frame) {
    if (!frame) return;
    if (frame->getId() == "ETCO" && frame->getData().size() > kMaxETCOBytes)
        frame->setData(frame->getData().substr(0, kMaxETCOBytes));
    frames.emplace_back(frame);
}

CID3Frame* CID3v2Tag::findFrame(const std::string& id, int n) const {
    if (id.empty() || n < 0) return nullptr;
    for (const auto& f : frames)
        if (f->getId() == id && n-- == 0) return f.get();
    return nullptr;
}

void CID3v2Tag::removeFrameAt(size_t index) {
    frames.erase(frames.begin() + long(index));
    changed = true;
}

bool CID3v2Tag::isTextFrame(const std::string& id) {
    return isTextId(id) || id == "COMM" || id == "POPM" || id == "PCNT";
}

void CID3v2Tag::emptyLargeFrames(bool keepDeckFrames) {
    for (const auto& f : frames) {
        const std::string& id = f->getId();
        if (isTextFrame(id) || (keepDeckFrames && isDeckFrame(id))) continue;
        if (f->isIncomplete() && f->getData().empty()) continue; // emptied already
        f->setData("");
        f->setIncomplete(true);
    }
}

void CID3v2Tag::restoreEmptiedFrames(const CID3v2Tag& fresh) {
    for (size_t i = 0; i < frames.size(); ++i) {
        CID3Frame* f = frames[i].get();
        if (!f->isIncomplete() || !f->getData().empty()) continue;
        int n = 0; // the frame's place among the record's frames of its id
        for (size_t k = 0; k < i; ++k)
            if (frames[k]->getId() == f->getId()) ++n;
        const CID3Frame* source = fresh.findFrame(f->getId(), n);
        if (!source || source->isIncomplete()) continue;
        f->setData(source->getData());
        f->setAdditionalHeader(source->getAdditionalHeader());
        f->setFlags(source->getFlags());
        f->setIncomplete(false);
    }
}

const std::string* CID3v2Tag::getFrame(const std::string& id, bool raw, int n) {
    CID3Frame* f = findFrame(id, n);
    if (!f) return nullptr;
    return raw ? &f->getData() : &f->getString();
}

std::string CID3v2Tag::getFrameCopy(const std::string& id) {
    const std::string* text = getFrame(id);
    return text ? *text : std::string();
}

void CID3v2Tag::setFrame(const std::string& id, const std::string* value, int encoding) {
    if (id.empty()) return;
    bool empty = !value || value->empty();
    for (size_t i = 0; i < frames.size(); ++i) {
        CID3Frame* f = frames[i].get();
        if (f->getId() != id) continue;
        if (empty) {
            removeFrameAt(i);
            return;
        }
        if (*value == f->getData()) return;
        if (isTextId(id)) {
            int own = f->getAdditionalHeader().empty() ? 0 : uint8_t(f->getAdditionalHeader()[0]);
            if (own == encoding || own == 0 || own == 3)
                f->setData(*value);
            else if (own == 1)
                f->setData(std::string("\xFF\xFE", 2) + utf16Bytes(strUtf16FromUtf8(*value), false));
            else if (own == 2) // big-endian, as getString reads it back
                f->setData(utf16Bytes(strUtf16FromUtf8(*value), true));
        } else if (id == "COMM") {
            f->setData(*value);
            f->setAdditionalHeader(std::string("\0eng\0", 5));
        } else {
            f->setData(*value);
        }
        changed = true;
        return;
    }
    if (empty) return;
    frames.push_back(
        std::make_unique<CID3Frame>(id, *value, isTextId(id) ? std::string(1, char(encoding)) : std::string()));
    if (encoding > 1) version = 4;
    changed = true;
}

double CID3v2Tag::getBPM() {
    double bpm = strToDbl(getFrameCopy("TBPM"));
    if (!std::isfinite(bpm)) return 0.0;
    while (bpm > 500)
        bpm /= 10;
    return bpm;
}

std::string CID3v2Tag::getFrameTXXX(const std::string& description) {
    for (const auto& f : frames) {
        if (f->getId() != "TXXX") continue;
        const std::string& t = f->getString();
        size_t zero = t.find('\0');
        std::string value;
        if (zero != std::string::npos) {
            if (t.compare(0, zero, description) != 0) continue;
            value = t.substr(zero + 1);
        } else if (t.size() > description.size() && isLeft(t, description)) {
            value = t.substr(description.size() + 1);
        } else {
            continue;
        }
        // The value ends at its terminator; a UTF-16 value carries its own byte-order mark, decoded
        // as U+FEFF: neither is part of the text.
        size_t end = value.find('\0');
        if (end != std::string::npos) value.resize(end);
        if (isLeft(value, "\xEF\xBB\xBF")) value.erase(0, 3);
        return value;
    }
    return "";
}

void CID3v2Tag::setFrameTXXX(const std::string& description, const std::string* value) {
    if (description.empty()) return;
    bool empty = !value || value->empty();
    std::string wanted = description + '\0' + (empty ? std::string() : *value);
    for (size_t i = 0; i < frames.size();) {
        CID3Frame* f = frames[i].get();
        if (f->getId() != "TXXX") {
            ++i;
            continue;
        }
        size_t zero = f->getData().find('\0');
        if (zero == std::string::npos) {
            removeFrameAt(i); // a TXXX frame without a description is unusable
            continue;
        }
        if (f->getData().compare(0, zero, description) == 0) {
            if (empty) {
                removeFrameAt(i);
            } else if (f->getData() != wanted) {
                f->setData(wanted);
                changed = true;
            }
            return;
        }
        ++i;
    }
    if (empty) return;
    frames.push_back(std::make_unique<CID3Frame>("TXXX", wanted, std::string(1, '\0')));
    changed = true;
}

void CID3v2Tag::addToETCO(unsigned int timeMs, unsigned int type) {
    std::string entry = etcoEntry(timeMs, type);
    CID3Frame* f = findFrame("ETCO");
    std::string data = f ? f->getData() : std::string();
    if (data.size() < 2) {
        data = "\x02" + entry;
    } else if (data[0] == 1) {
        return; // time stamps in MPEG frames: not ours to edit
    } else {
        size_t offset = 1;
        for (; offset + 5 <= data.size(); offset += 5) {
            uint32_t t = readBE32(bytesOf(data) + offset + 1);
            if (t == timeMs) return;
            if (t > timeMs) break;
        }
        if (offset + 5 <= data.size())
            data.insert(offset, entry);
        else {
            // At the end; a trailing partial group is no event and is dropped, the events stay.
            data.resize(offset);
            data += entry;
        }
    }
    setFrame("ETCO", data, 0);
}

void CID3v2Tag::removeFromETCO(unsigned int timeMs, unsigned int type) {
    CID3Frame* f = findFrame("ETCO");
    if (!f || f->getData().size() < 2 || f->getData()[0] == 1) return;
    std::string data = f->getData();
    for (size_t offset = 1; offset + 5 <= data.size(); offset += 5) {
        const uint8_t* e = bytesOf(data) + offset;
        if (e[0] == (type & 0xFF) && readBE32(e + 1) == timeMs) {
            data.erase(offset, 5);
            setFrame("ETCO", data, 0);
            return;
        }
    }
}

double CID3v2Tag::getFromETCO(unsigned int type, unsigned int n) {
    CID3Frame* f = findFrame("ETCO");
    if (!f || f->getData().size() < 2 || f->getData()[0] == 1) return -1.0;
    const std::string& data = f->getData();
    for (size_t offset = 1; offset + 5 <= data.size(); offset += 5) {
        const uint8_t* e = bytesOf(data) + offset;
        if (e[0] != (type & 0xFF)) continue;
        if (n-- == 0) return double(readBE32(e + 1));
    }
    return -1.0;
}

void CID3v2Tag::setReplayGainTag(float peak, float radioGain, float audiophileGain) {
    uint32_t bits;
    memcpy(&bits, &peak, 4);
    uint16_t radio = gainField(radioGain, 13), audiophile = gainField(audiophileGain, 14);
    std::string data(8, '\0');
    for (int i = 0; i < 4; ++i)
        data[size_t(i)] = char(bits >> (8 * i));
    data[4] = char(radio >> 8);
    data[5] = char(radio);
    data[6] = char(audiophile >> 8);
    data[7] = char(audiophile);
    setFrame("RGAD", data, 0);
}

void CID3v2Tag::getReplayGain(float* peak, float* radioGain, float* audiophileGain) {
    float p = 0.0f, radio = 0.0f, audiophile = 0.0f;
    CID3Frame* f = findFrame("RGAD");
    if (f && f->getData().size() == 8) {
        const uint8_t* d = bytesOf(f->getData());
        uint32_t bits = readLE32(d);
        memcpy(&p, &bits, 4);
        // The deck bounds the applied gain by the peak: a peak it cannot use makes the gains unusable.
        if (std::isfinite(p) && p > 0.0f) {
            radio = fieldGain(readBE16(d + 4), 1);
            audiophile = fieldGain(readBE16(d + 6), 2);
        } else {
            p = 0.0f;
        }
    }
    if (peak) *peak = p;
    if (radioGain) *radioGain = radio;
    if (audiophileGain) *audiophileGain = audiophile;
}

void CID3v2Tag::setRating(int rating) {
    rating = std::clamp(rating, 0, 255);
    CID3Frame* f = findFrame("POPM");
    size_t zero = f ? f->getData().find('\0') : std::string::npos;
    std::string data;
    if (zero == std::string::npos) {
        data = std::string("Tarlume\0", 8) + char(rating) + std::string(4, '\0');
    } else {
        data = f->getData();
        if (zero + 1 < data.size())
            data[zero + 1] = char(rating);
        else
            data += char(rating);
    }
    setFrame("POPM", data, 0);
}

int CID3v2Tag::getRating() {
    CID3Frame* f = findFrame("POPM");
    if (!f) return 0;
    size_t zero = f->getData().find('\0');
    if (zero == std::string::npos || zero + 1 >= f->getData().size()) return 0;
    return uint8_t(f->getData()[zero + 1]);
}
