// A sound backend for tests: its device list is set by the test, and an open stream's I/O procedure
// runs only when the test calls pump(), synchronously, on the test's thread. A test loses a stream's
// device by clearing its `alive`, and changes its rate through `rate`. Installed for the life of the
// object.
#pragma once

#include "platform/SoundDevices.h"

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace testsupport {

class TestSoundBackend : public SoundBackend {
public:
    TestSoundBackend() { SoundDevices::setBackend(this); }
    ~TestSoundBackend() override { SoundDevices::setBackend(nullptr); }

    struct Stream : SoundStream {
        Stream(TestSoundBackend* b, SoundStreamConfig c, SoundIOProc* p, double rate)
            : backend(b), config(c), proc(p), rate(rate) {}
        ~Stream() override {
            auto& list = backend->streams;
            list.erase(std::remove(list.begin(), list.end(), this), list.end());
        }
        bool start() override { return running = true; }
        void stop() override {
            if (backend->onStop) backend->onStop();
            running = false;
        }
        double getSampleRate() const override { return rate; }
        int getInputChannels() const override { return config.inputChannels; }
        int getOutputChannels() const override { return config.outputChannels; }
        bool isAlive() const override { return alive; }
        TestSoundBackend* backend;
        SoundStreamConfig config;
        SoundIOProc* proc;
        double rate;
        bool running = false;
        bool alive = true;
    };

    // Adds a device; its id (stable, from the name).
    int addDevice(const std::string& name, int inputs, int outputs, double rate = 44100.0) {
        SoundDeviceInfo d;
        d.id = SoundDevices::stableId("Test", name);
        d.name = name;
        d.hostApi = "Test";
        d.inputChannels = inputs;
        d.outputChannels = outputs;
        d.defaultSampleRate = rate;
        devices.push_back(d);
        return d.id;
    }

    std::string getName() const override { return "Test"; }
    std::vector<SoundDeviceInfo> getDevices() override { return devices; }
    int getDefaultDevice(bool input) override {
        int wanted = input ? defaultInput : defaultOutput;
        if (wanted) return wanted;
        for (const SoundDeviceInfo& d : devices)
            if ((input ? d.inputChannels : d.outputChannels) > 0) return d.id;
        return 0;
    }
    std::unique_ptr<SoundStream> open(const SoundStreamConfig& config, SoundIOProc* proc, std::string* error) override {
        if (config.deviceId == refuseDevice) {
            if (error) *error = "busy";
            return nullptr;
        }
        for (const SoundDeviceInfo& d : devices)
            if (d.id == config.deviceId) {
                opened++;
                auto s = std::make_unique<Stream>(this, config, proc,
                                                  config.sampleRate > 0 ? config.sampleRate : d.defaultSampleRate);
                streams.push_back(s.get());
                return s;
            }
        if (error) *error = "no such test device";
        return nullptr;
    }

    // The open stream of a device (the last opened), or null.
    Stream* stream(int deviceId) {
        Stream* found = nullptr;
        for (Stream* s : streams)
            if (s->config.deviceId == deviceId) found = s;
        return found;
    }

    // One block through the device's running stream: `input` interleaved over all input channels (missing
    // samples are silent). Returns the output interleaved over all output channels; empty when the device
    // has no running stream. The buffers are split as `widths` of the device says (default: one buffer).
    std::vector<float> pump(int deviceId, int frames, const std::vector<float>& input = {}) {
        Stream* s = stream(deviceId);
        if (!s || !s->running) return {};
        const int in = s->config.inputChannels, out = s->config.outputChannels;
        std::vector<float> inData(size_t(frames) * size_t(in), 0.0f), outData(size_t(frames) * size_t(out), 0.0f);
        std::copy_n(input.begin(), std::min(input.size(), inData.size()), inData.begin());
        // Per buffer: its own interleaved block.
        auto layout = [&](int channels, std::vector<std::vector<float>>& storage, SoundBufferList& list) {
            std::vector<int> w = widths.count(deviceId) ? widths[deviceId] : std::vector<int>{channels};
            for (int width : w) {
                if (list.count == SoundBufferList::kMaxBuffers || width <= 0) break;
                storage.emplace_back(size_t(frames) * size_t(width), 0.0f);
                SoundBuffer& b = list.buffers[list.count++];
                b.channels = width;
                b.bytes = uint32_t(frames * width * 4);
                b.data = storage.back().data();
            }
        };
        std::vector<std::vector<float>> inStore, outStore;
        inStore.reserve(SoundBufferList::kMaxBuffers);
        outStore.reserve(SoundBufferList::kMaxBuffers);
        SoundBufferList inList, outList;
        if (in > 0) layout(in, inStore, inList);
        if (out > 0) layout(out, outStore, outList);
        // Scatter the input over the buffers.
        for (int f = 0; f < frames; f++) {
            int c = 0;
            for (int b = 0; b < inList.count; b++)
                for (int k = 0; k < inList.buffers[b].channels; k++, c++)
                    if (c < in) inList.buffers[b].data[f * inList.buffers[b].channels + k] = inData[size_t(f * in + c)];
        }
        s->proc->soundIO(&outList, in > 0 ? &inList : nullptr);
        for (int f = 0; f < frames; f++) {
            int c = 0;
            for (int b = 0; b < outList.count; b++)
                for (int k = 0; k < outList.buffers[b].channels; k++, c++)
                    if (c < out)
                        outData[size_t(f * out + c)] = outList.buffers[b].data[f * outList.buffers[b].channels + k];
        }
        return outData;
    }

    std::vector<SoundDeviceInfo> devices;
    int defaultInput = 0, defaultOutput = 0; // 0: the first device with channels
    std::map<int, std::vector<int>> widths;  // per device id: channels of each buffer
    std::vector<Stream*> streams;
    int opened = 0;
    int refuseDevice = 0;         // a device whose open fails ("busy")
    std::function<void()> onStop; // called as a stream stops (on the stopping thread), e.g. to hold the stop
};

} // namespace testsupport
