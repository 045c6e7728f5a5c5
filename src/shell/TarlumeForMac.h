// The preferences window's logic, free of any toolkit: sound devices and channel pairs of the four
// deck inputs and four outputs, buffer size, output mode, each deck's default timecode vinyl type
// and mode, the skin, the controllers' configuration files and the option controls, plus the
// answers of the shell's input box, Yes/No alert and save dialog. A view (GTK, or a fake in tests)
// shows the controls; every change goes through the accessors to the engine.
#pragma once

#include <string>
#include <vector>

// What the preferences read and change; the real one calls the host bridge.
class PreferencesAccessors {
public:
    virtual ~PreferencesAccessors() = default;
    // Index 0 is the default device, then the devices with channels in that direction; false past the end.
    virtual bool getDeviceName(int index, std::string* name, bool input, unsigned long* deviceId) = 0;
    virtual int getNbChannels(unsigned long deviceId, bool input) = 0;
    // 0-based channel pairs, -1 unset.
    virtual void getInputDeviceConfig(int deck, unsigned long* device, int* first, int* second) = 0;
    virtual void setInputDeviceConfig(int deck, unsigned long device, int first, int second) = 0;
    virtual void getOutputDeviceConfig(int slot, unsigned long* device, int* first, int* second) = 0;
    virtual void setOutputDeviceConfig(int slot, unsigned long device, int first, int second) = 0;
    virtual int getBufferSize() = 0;
    virtual void setBufferSize(int frames) = 0;
    // Re-opens the devices; what could not be opened, "" when all did.
    virtual std::string applyAudioSettings() = 0;
    virtual bool getOutputModeInternalMixer() = 0;
    virtual void setOutputModeInternalMixer(bool internal) = 0;
    virtual int getDefaultVinylType(int deck) = 0;
    virtual void setDefaultVinylType(int deck, int type) = 0;
    virtual bool getVinylDefaultMode(int deck) = 0;
    virtual void setVinylDefaultMode(int deck, bool relative) = 0;
    // The index-th skin's name (its file name less ".xml", case kept); false past the end.
    virtual bool getSkinName(int index, std::string* name, bool* isCurrent) = 0;
    virtual void setSkin(const std::string& name) = 0;
    // The index-th controller file; false past the end.
    virtual bool getControllerConfigName(int index, std::string* name) = 0;
    // An empty file means no configuration.
    virtual void setControllerConfig(const std::string& device, const std::string& file) = 0;
    // The index-th controller's row; false past the end.
    virtual bool getMidiDeviceName(int index, std::string* name, std::string* configFile, std::string* status) = 0;
    virtual bool getOptionValue(const std::string& name, int deck) = 0;
    virtual void setOptionValue(const std::string& name, bool value, int deck) = 0;
    virtual double getOptionValueDbl(const std::string& name, int deck) = 0;
    virtual void setOptionValueDbl(const std::string& name, double value, int deck) = 0;
    virtual void clickOptionButton(const std::string& name, int deck) = 0;
    // The user's answer to the skin's request.
    virtual void handleInputBox(const std::string& answer) = 0;
};

// The window's pop-ups.
enum class PrefCombo {
    InputDevice, // + deck 0-3
    InputChannel = 4,
    OutputDevice = 8,
    OutputChannel = 12,
    OutputMode = 16, // item 0 internal mixer, item 1 external mixer
    BufferSize,      // item 0 device default, items 1-6: 64 ... 2048 frames
    Skin,
    VinylDeck, // items 0-3: decks 1-4
    VinylType, // items tagged with the timecode type
    VinylMode, // item 0 off, item 1 on
    MidiConfiguration,
    Count
};
inline PrefCombo prefCombo(PrefCombo first, int slot) {
    return PrefCombo(int(first) + slot);
}

// An option control of the window: a check button titled with an option's name, an entry whose
// placeholder is a number option's name, or a button titled with an option button's name.
struct PrefOptionControl {
    enum Kind { Check, Entry, Button } kind;
    std::string name;
};

struct PrefControllerRow {
    std::string controller, configuration, status;
};

class PreferencesView {
public:
    virtual ~PreferencesView() = default;
    // Pop-ups built from code are emptied and filled by the logic; fixed ones keep their items.
    virtual void clearCombo(PrefCombo combo) = 0;
    virtual void addComboItem(PrefCombo combo, const std::string& text) = 0;
    virtual int comboCount(PrefCombo combo) = 0;
    virtual std::string comboText(PrefCombo combo, int item) = 0;
    virtual int comboTag(PrefCombo combo, int item) = 0;
    // -1: nothing.
    virtual void selectCombo(PrefCombo combo, int item) = 0;
    virtual int selectedCombo(PrefCombo combo) = 0;
    virtual void setControllerRows(const std::vector<PrefControllerRow>& rows) = 0;
    // -1: none.
    virtual int selectedControllerRow() = 0;
    // The option controls in the window's order.
    virtual std::vector<PrefOptionControl> optionControls() = 0;
    virtual void setOptionState(int control, bool on) = 0;
    virtual void setOptionText(int control, const std::string& text) = 0;
};

class TarlumeForMac {
public:
    TarlumeForMac(PreferencesView& view, PreferencesAccessors& access) : view_(view), access_(access) {}

    // Fills every control from the accessors.
    void preferenceWindowOpened();
    // A deck's input or output device was chosen (`sender` is that pop-up): the channel pop-ups of
    // every deck are rebuilt, and the chosen device is stored with the deck's pair (the first pair
    // when the stored one does not fit it). With no sender, only the rebuild.
    void inputDeviceSelected(int sender = -1);
    // A channel pop-up was chosen: its item k stores channels 2k and 2k+1.
    void inputChannelSelected(int sender);
    void bufferSizeChanged();
    void applyAudioDeviceSettings();
    void outputModeChanged();
    void defaultVinylTypeChanged();
    void vinylDefaultModeChanged();
    void vinylControlDeckChanged();
    void skinSelected();
    // The table's selection: the configuration pop-up shows that controller's file.
    void midiControllerChanged();
    // The configuration pop-up: the selected controller gets that file ("None": no file).
    void midiControllerConfigurationChanged();
    void checkBoxChanged(const std::string& title, bool on);
    void textEdited(const std::string& placeholder, const std::string& text);
    void buttonPressed(const std::string& title);
    void updateTextFieldsAndCheckBoxes();
    void fillControllers();

    // Dialog answers. Cancelled dialogs answer nothing.
    void inputBoxOK(const std::string& text) { access_.handleInputBox(text); }
    void dialogBoxYes() { access_.handleInputBox("Yes"); }
    void savePanelDidEnd(bool confirmed, const std::string& path);

    int getVinylControlDeck() const { return vinylControlDeck; }
    const std::vector<PrefControllerRow>& controllers() const { return controllersArray; }
    // Lines about stored settings that had to change (a pair past a device's channels); the
    // window shows the last one.
    const std::vector<std::string>& notices() const { return notices_; }

    // Frames of the buffer-size pop-up's item (0 for item 0 or none).
    static int bufferFrames(int item);
    // The index-th skin among a skins folder's files (those ending in ".xml", any case): its name
    // keeps its case (file systems tell "Club" from "club"); it is the current one when it equals
    // the configured name regardless of case. False past the last.
    static bool skinEntry(const std::vector<std::string>& files, int index, const std::string& configured,
                          std::string* name, bool* isCurrent);
    // The item showing that buffer size; -1 for a size the pop-up doesn't offer.
    static int bufferItem(int frames);

private:
    void fillChannels(bool input, int sender);

    PreferencesView& view_;
    PreferencesAccessors& access_;
    int vinylControlDeck = 0;
    std::vector<PrefControllerRow> controllersArray;
    std::vector<std::string> notices_;
};
