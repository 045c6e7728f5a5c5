#include "shell/TarlumeForMac.h"
#include "ui/TarlumeMenus.h"

#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace {

constexpr int kDecks = 4;
constexpr int kBufferSizes[] = {0, 64, 128, 256, 512, 1024, 2048};
constexpr int kBufferItems = int(sizeof(kBufferSizes) / sizeof(kBufferSizes[0]));

// Deck d's device and channel pair on the input or the output side.
void readDeviceConfig(PreferencesAccessors& access, bool input, int d, unsigned long* device, int* first, int* second) {
    if (input)
        access.getInputDeviceConfig(d, device, first, second);
    else
        access.getOutputDeviceConfig(d, device, first, second);
}
void storeDeviceConfig(PreferencesAccessors& access, bool input, int d, unsigned long device, int first, int second) {
    if (input)
        access.setInputDeviceConfig(d, device, first, second);
    else
        access.setOutputDeviceConfig(d, device, first, second);
}

} // namespace

int TarlumeForMac::bufferFrames(int item) {
    return item > 0 && item < kBufferItems ? kBufferSizes[item] : 0;
}

bool TarlumeForMac::skinEntry(const std::vector<std::string>& files, int index, const std::string& configured,
                              std::string* name, bool* isCurrent) {
    int found = 0;
    for (const std::string& file : files) {
        if (file.size() <= 4 || strcasecmp(file.c_str() + file.size() - 4, ".xml") != 0) continue;
        if (found++ != index) continue;
        *name = file.substr(0, file.size() - 4);
        *isCurrent = strcasecmp(name->c_str(), configured.c_str()) == 0;
        return true;
    }
    return false;
}

int TarlumeForMac::bufferItem(int frames) {
    for (int i = 0; i < kBufferItems; i++)
        if (kBufferSizes[i] == frames) return i;
    return -1;
}

void TarlumeForMac::preferenceWindowOpened() {
    for (int d = 0; d < kDecks; d++) {
        view_.clearCombo(prefCombo(PrefCombo::InputDevice, d));
        view_.clearCombo(prefCombo(PrefCombo::OutputDevice, d));
    }
    view_.clearCombo(PrefCombo::Skin);
    view_.selectCombo(PrefCombo::OutputMode, access_.getOutputModeInternalMixer() ? 0 : 1);

    for (int dir = 0; dir < 2; dir++) {
        bool input = dir == 0;
        PrefCombo combo = input ? PrefCombo::InputDevice : PrefCombo::OutputDevice;
        std::string name;
        unsigned long id = 0;
        for (int index = 0; access_.getDeviceName(index, &name, input, &id); index++) {
            for (int d = 0; d < kDecks; d++) {
                view_.addComboItem(prefCombo(combo, d), name);
                unsigned long device = 0;
                int first = -1, second = -1;
                readDeviceConfig(access_, input, d, &device, &first, &second);
                if (device == id) view_.selectCombo(prefCombo(combo, d), index);
            }
        }
    }

    fillControllers();

    std::string skin;
    bool current = false;
    for (int index = 0; access_.getSkinName(index, &skin, &current); index++) {
        view_.addComboItem(PrefCombo::Skin, skin);
        if (current) view_.selectCombo(PrefCombo::Skin, index);
    }

    view_.selectCombo(PrefCombo::BufferSize, bufferItem(access_.getBufferSize()));

    inputDeviceSelected();
    vinylControlDeckChanged();
}

void TarlumeForMac::inputDeviceSelected(int sender) {
    fillChannels(true, sender);
    fillChannels(false, sender);
}

void TarlumeForMac::fillChannels(bool input, int sender) {
    PrefCombo devices = input ? PrefCombo::InputDevice : PrefCombo::OutputDevice;
    PrefCombo pairs = input ? PrefCombo::InputChannel : PrefCombo::OutputChannel;
    for (int d = 0; d < kDecks; d++)
        view_.clearCombo(prefCombo(pairs, d));

    std::string name;
    unsigned long id = 0;
    for (int index = 0; access_.getDeviceName(index, &name, input, &id); index++) {
        int channels = access_.getNbChannels(id, input);
        for (int d = 0; d < kDecks; d++) {
            if (view_.selectedCombo(prefCombo(devices, d)) != index) continue;
            unsigned long device = 0;
            int first = -1, second = -1;
            readDeviceConfig(access_, input, d, &device, &first, &second);
            bool chosen = sender == int(prefCombo(devices, d));
            // Only whole pairs: a last odd channel has no partner to go with.
            bool fits = first >= 0 && first + 1 < channels && second >= 0 && second < channels;
            if (chosen && first >= 0 && !fits) {
                first = channels >= 2 ? 0 : -1;
                second = channels >= 2 ? 1 : -1;
                char line[160];
                std::snprintf(line, sizeof(line), "%s %d: \"%s\" has %d channels; %s", input ? "Input" : "Output",
                              d + 1, name.c_str(), channels,
                              first >= 0 ? "channels 1/2 are used instead" : "no channels are used");
                notices_.push_back(line);
            }
            bool shown = false;
            for (int c = 0; c + 1 < channels; c += 2) {
                view_.addComboItem(prefCombo(pairs, d), tarlumemenus::channelPairLabel(c, c + 1, channels));
                if (c == first) {
                    view_.selectCombo(prefCombo(pairs, d), c / 2);
                    shown = true;
                }
            }
            // A stored pair the device does not offer (headphones on 3/4 of a two-channel card) is shown
            // as it is, after the device's own pairs, rather than as an empty pop-up.
            if (first >= 0 && !shown) {
                view_.addComboItem(prefCombo(pairs, d), tarlumemenus::channelPairLabel(first, second, channels));
                view_.selectCombo(prefCombo(pairs, d), view_.comboCount(prefCombo(pairs, d)) - 1);
            }
            if (!chosen) continue;
            storeDeviceConfig(access_, input, d, id, first, second);
        }
    }
}

void TarlumeForMac::inputChannelSelected(int sender) {
    for (int d = 0; d < kDecks; d++) {
        for (int dir = 0; dir < 2; dir++) {
            bool input = dir == 1;
            if (sender != int(prefCombo(input ? PrefCombo::InputChannel : PrefCombo::OutputChannel, d))) continue;
            int k = view_.selectedCombo(PrefCombo(sender));
            if (k < 0) return;
            unsigned long device = 0;
            int first = -1, second = -1;
            readDeviceConfig(access_, input, d, &device, &first, &second);
            // The item after the device's pairs is the stored pair it does not offer: it stays.
            if (k >= access_.getNbChannels(device, input) / 2) return;
            storeDeviceConfig(access_, input, d, device, 2 * k, 2 * k + 1);
            return;
        }
    }
}

void TarlumeForMac::bufferSizeChanged() {
    access_.setBufferSize(bufferFrames(view_.selectedCombo(PrefCombo::BufferSize)));
}

void TarlumeForMac::applyAudioDeviceSettings() {
    std::string failed = access_.applyAudioSettings();
    if (!failed.empty()) notices_.push_back(failed);
}

void TarlumeForMac::outputModeChanged() {
    access_.setOutputModeInternalMixer(view_.selectedCombo(PrefCombo::OutputMode) == 0);
}

void TarlumeForMac::defaultVinylTypeChanged() {
    int item = view_.selectedCombo(PrefCombo::VinylType);
    if (item < 0) return;
    access_.setDefaultVinylType(vinylControlDeck, view_.comboTag(PrefCombo::VinylType, item));
}

void TarlumeForMac::vinylDefaultModeChanged() {
    int item = view_.selectedCombo(PrefCombo::VinylMode);
    if (item < 0) return;
    access_.setVinylDefaultMode(vinylControlDeck, item != 0);
}

void TarlumeForMac::vinylControlDeckChanged() {
    int deck = view_.selectedCombo(PrefCombo::VinylDeck);
    if (deck >= 0 && deck < kDecks) vinylControlDeck = deck;
    int type = access_.getDefaultVinylType(vinylControlDeck);
    int count = view_.comboCount(PrefCombo::VinylType);
    for (int i = 0; i < count; i++)
        if (view_.comboTag(PrefCombo::VinylType, i) == type) {
            view_.selectCombo(PrefCombo::VinylType, i);
            break;
        }
    view_.selectCombo(PrefCombo::VinylMode, access_.getVinylDefaultMode(vinylControlDeck) ? 1 : 0);
    updateTextFieldsAndCheckBoxes();
}

void TarlumeForMac::skinSelected() {
    int item = view_.selectedCombo(PrefCombo::Skin);
    if (item >= 0) access_.setSkin(view_.comboText(PrefCombo::Skin, item));
}

void TarlumeForMac::fillControllers() {
    controllersArray.clear();
    PrefControllerRow row;
    for (int index = 0; access_.getMidiDeviceName(index, &row.controller, &row.configuration, &row.status); index++)
        controllersArray.push_back(row);
    view_.setControllerRows(controllersArray);

    view_.clearCombo(PrefCombo::MidiConfiguration);
    view_.addComboItem(PrefCombo::MidiConfiguration, "None");
    std::string file;
    for (int index = 0; access_.getControllerConfigName(index, &file); index++)
        view_.addComboItem(PrefCombo::MidiConfiguration, file);
}

void TarlumeForMac::midiControllerChanged() {
    int row = view_.selectedControllerRow();
    if (row < 0 || row >= int(controllersArray.size())) return;
    std::string name, file, status;
    if (!access_.getMidiDeviceName(row, &name, &file, &status)) return;
    int count = view_.comboCount(PrefCombo::MidiConfiguration);
    for (int i = 0; i < count; i++)
        if (view_.comboText(PrefCombo::MidiConfiguration, i) == file) {
            view_.selectCombo(PrefCombo::MidiConfiguration, i);
            return;
        }
}

void TarlumeForMac::midiControllerConfigurationChanged() {
    int row = view_.selectedControllerRow();
    int item = view_.selectedCombo(PrefCombo::MidiConfiguration);
    if (row < 0 || item < 0) return;
    std::string name, file, status;
    if (!access_.getMidiDeviceName(row, &name, &file, &status)) return;
    // "None" is the absence of a configuration, not a file of that name.
    std::string chosen = item == 0 ? std::string() : view_.comboText(PrefCombo::MidiConfiguration, item);
    access_.setControllerConfig(name, chosen);
    fillControllers();
}

void TarlumeForMac::checkBoxChanged(const std::string& title, bool on) {
    access_.setOptionValue(title, on, vinylControlDeck);
}

void TarlumeForMac::textEdited(const std::string& placeholder, const std::string& text) {
    access_.setOptionValueDbl(placeholder, std::strtod(text.c_str(), nullptr), vinylControlDeck);
}

void TarlumeForMac::buttonPressed(const std::string& title) {
    access_.clickOptionButton(title, vinylControlDeck);
}

void TarlumeForMac::updateTextFieldsAndCheckBoxes() {
    std::vector<PrefOptionControl> controls = view_.optionControls();
    for (size_t i = 0; i < controls.size(); i++) {
        const PrefOptionControl& control = controls[i];
        if (control.kind == PrefOptionControl::Check) {
            view_.setOptionState(int(i), access_.getOptionValue(control.name, vinylControlDeck));
        } else if (control.kind == PrefOptionControl::Entry && !control.name.empty()) {
            char text[64];
            std::snprintf(text, sizeof(text), "%f", access_.getOptionValueDbl(control.name, vinylControlDeck));
            view_.setOptionText(int(i), text);
        }
    }
}

void TarlumeForMac::savePanelDidEnd(bool confirmed, const std::string& path) {
    if (confirmed && !path.empty()) access_.handleInputBox(path);
}
