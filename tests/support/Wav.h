// WAV files for the end-to-end tests: reading a recording (16-bit, 32-bit or float) and writing the
// tracks a test makes (16-bit stereo).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

// A WAV file's samples (full scale 1.0, interleaved); empty when unreadable.
struct Wav {
    int rate = 0, channels = 0;
    std::vector<double> samples;
    explicit Wav(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0) return;
        int bits = 16, format = 1;
        for (size_t pos = 12; pos + 8 <= bytes.size();) {
            std::string id = bytes.substr(pos, 4);
            uint32_t size;
            memcpy(&size, bytes.data() + pos + 4, 4);
            pos += 8;
            size = uint32_t(std::min<size_t>(size, bytes.size() - pos));
            if (id == "fmt " && size >= 16) {
                uint16_t f, c, b;
                uint32_t r;
                memcpy(&f, bytes.data() + pos, 2);
                memcpy(&c, bytes.data() + pos + 2, 2);
                memcpy(&r, bytes.data() + pos + 4, 4);
                memcpy(&b, bytes.data() + pos + 14, 2);
                format = f, channels = c, rate = int(r), bits = b;
            } else if (id == "data") {
                const char* d = bytes.data() + pos;
                for (size_t i = 0; i + size_t(bits / 8) <= size; i += size_t(bits / 8)) {
                    if (bits == 16) {
                        int16_t v;
                        memcpy(&v, d + i, 2);
                        samples.push_back(v / 32768.0);
                    } else if (bits == 32 && format == 3) {
                        float v;
                        memcpy(&v, d + i, 4);
                        samples.push_back(v);
                    } else if (bits == 32) {
                        int32_t v;
                        memcpy(&v, d + i, 4);
                        samples.push_back(v / 2147483648.0);
                    }
                }
                return;
            }
            pos += size + (size & 1);
        }
    }
    double level() const {
        double sum = 0;
        for (double v : samples)
            sum += v * v;
        return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
    }
    // The first channel's frequency from its rising zero crossings over the span where it sounds
    // (a deck may start a little after the capture), in Hz.
    double frequency() const {
        if (channels <= 0 || rate <= 0) return 0;
        size_t frames = samples.size() / size_t(channels), first = frames, last = 0;
        auto at = [&](size_t f) { return samples[f * size_t(channels)]; };
        for (size_t f = 0; f < frames; ++f)
            if (std::fabs(at(f)) > 0.02) {
                first = std::min(first, f);
                last = f;
            }
        if (first >= last) return 0;
        int crossings = 0;
        for (size_t f = first + 1; f <= last; ++f)
            if (at(f - 1) < 0 && at(f) >= 0) ++crossings;
        return crossings * double(rate) / double(last - first);
    }
};

// What a written WAV file carries beside its samples: a title and an artist (a LIST/INFO chunk), a
// replay gain with the samples' peak (an "rgad" chunk, as a track analysed before) and a tempo (an
// "acid" chunk).
struct WavTags {
    std::string title, artist;
    double replayGainDb = NAN; // none
    double bpm = 0;            // none; else an "acid" chunk carries the tempo
};

// Writes interleaved stereo samples (full scale 1.0, clipped) as a 16-bit WAV file; false on failure.
inline bool writeWav(const std::string& path, const std::vector<float>& stereo, const WavTags& tags = WavTags(),
                     int rate = 44100) {
    std::string chunks;
    auto u32 = [](std::string& to, uint32_t v) { to.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::string& to, uint16_t v) { to.append(reinterpret_cast<const char*>(&v), 2); };
    auto chunk = [&](const char* id, const std::string& body) {
        chunks += id;
        u32(chunks, uint32_t(body.size()));
        chunks += body;
        if (body.size() & 1) chunks += '\0';
    };
    std::string fmt;
    u16(fmt, 1);
    u16(fmt, 2);
    u32(fmt, uint32_t(rate));
    u32(fmt, uint32_t(rate) * 4);
    u16(fmt, 4);
    u16(fmt, 16);
    chunk("fmt ", fmt);
    if (!std::isnan(tags.replayGainDb)) {
        // Peak (float), then the radio gain field: name 1, originator 3, sign, tenths of a dB (big-endian).
        float peak = 0;
        for (float v : stereo)
            peak = std::max(peak, std::fabs(v));
        const int tenths = int(std::lround(std::fabs(tags.replayGainDb) * 10)) & 0x1FF;
        const uint16_t field = uint16_t(1 << 13 | 3 << 10 | (tags.replayGainDb < 0 ? 1 << 9 : 0) | tenths);
        std::string body(reinterpret_cast<const char*>(&peak), 4);
        body += char(field >> 8);
        body += char(field & 0xFF);
        body += std::string(2, '\0');
        chunk("rgad", body);
    }
    if (tags.bpm > 0) {
        std::string acid(20, '\0');
        const float tempo = float(tags.bpm);
        acid.append(reinterpret_cast<const char*>(&tempo), 4);
        chunk("acid", acid);
    }
    if (!tags.title.empty() || !tags.artist.empty()) {
        std::string list = "INFO";
        for (auto [id, text] : {std::pair<const char*, std::string>{"INAM", tags.title}, {"IART", tags.artist}}) {
            if (text.empty()) continue;
            const std::string z = text + '\0';
            list += id;
            u32(list, uint32_t(z.size()));
            list += z;
            if (z.size() & 1) list += '\0';
        }
        chunk("LIST", list);
    }
    std::string pcm(stereo.size() * 2, '\0');
    for (size_t i = 0; i < stereo.size(); ++i) {
        const int16_t v = int16_t(std::lround(std::clamp(stereo[i], -1.0f, 32767.0f / 32768.0f) * 32768.0f));
        memcpy(&pcm[i * 2], &v, 2);
    }
    chunk("data", pcm);
    std::string file = "RIFF";
    u32(file, uint32_t(4 + chunks.size()));
    file += "WAVE" + chunks;
    std::ofstream out(path, std::ios::binary);
    out.write(file.data(), std::streamsize(file.size()));
    return bool(out);
}

} // namespace testsupport
