// The preferences' logic against a fake view and fake accessors.
#include "shell/TarlumeForMac.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct FakeView : PreferencesView {
    struct Combo {
        std::vector<std::string> items;
        std::vector<int> tags;
        int selected = -1;
    };
    Combo combos[int(PrefCombo::Count)];
    std::vector<PrefControllerRow> rows;
    int row = -1;
    std::vector<PrefOptionControl> options;
    std::map<int, bool> states;
    std::map<int, std::string> texts;

    Combo& at(PrefCombo c) { return combos[int(c)]; }
    void clearCombo(PrefCombo c) override { at(c) = Combo(); }
    void addComboItem(PrefCombo c, const std::string& text) override {
        at(c).items.push_back(text);
        at(c).tags.push_back(0);
    }
    int comboCount(PrefCombo c) override { return int(at(c).items.size()); }
    std::string comboText(PrefCombo c, int i) override { return at(c).items.at(i); }
    int comboTag(PrefCombo c, int i) override { return at(c).tags.at(i); }
    void selectCombo(PrefCombo c, int i) override { at(c).selected = i; }
    int selectedCombo(PrefCombo c) override { return at(c).selected; }
    void setControllerRows(const std::vector<PrefControllerRow>& r) override { rows = r; }
    int selectedControllerRow() override { return row; }
    std::vector<PrefOptionControl> optionControls() override { return options; }
    void setOptionState(int i, bool on) override { states[i] = on; }
    void setOptionText(int i, const std::string& text) override { texts[i] = text; }
};

struct Routing {
    unsigned long device = 0;
    int first = -1, second = -1;
};

struct FakeAccess : PreferencesAccessors {
    // Device ids 10, 11, ... with their channel counts.
    std::vector<int> channels{2, 6, 3};
    Routing in[4], out[4];
    int buffer = 0;
    bool internal = true;
    int vinyl[4] = {0, 0, 0, 0};
    bool mode[4] = {false, false, false, false};
    std::vector<std::string> skins{"Club", "kolt-1280"};
    std::string currentSkin = "club", setSkinName;
    std::vector<std::string> configFiles;
    std::vector<PrefControllerRow> controllers;
    std::vector<std::pair<std::string, std::string>> configsSet;
    std::map<std::string, bool> optionFlags;
    std::vector<std::string> calls; // option writes and answers, in order

    bool getDeviceName(int index, std::string* name, bool, unsigned long* id) override {
        if (index < 0 || index >= int(channels.size())) return false;
        *name = "dev" + std::to_string(index);
        *id = 10 + index;
        return true;
    }
    int getNbChannels(unsigned long id, bool) override {
        return id >= 10 && id < 10 + channels.size() ? channels[id - 10] : 0;
    }
    void getInputDeviceConfig(int d, unsigned long* dev, int* a, int* b) override {
        *dev = in[d].device, *a = in[d].first, *b = in[d].second;
    }
    void setInputDeviceConfig(int d, unsigned long dev, int a, int b) override { in[d] = {dev, a, b}; }
    void getOutputDeviceConfig(int d, unsigned long* dev, int* a, int* b) override {
        *dev = out[d].device, *a = out[d].first, *b = out[d].second;
    }
    void setOutputDeviceConfig(int d, unsigned long dev, int a, int b) override { out[d] = {dev, a, b}; }
    int getBufferSize() override { return buffer; }
    void setBufferSize(int frames) override { buffer = frames; }
    std::string applyAudioSettings() override {
        calls.push_back("apply");
        return applyError;
    }
    std::string applyError;
    bool getOutputModeInternalMixer() override { return internal; }
    void setOutputModeInternalMixer(bool v) override { internal = v; }
    int getDefaultVinylType(int d) override { return vinyl[d]; }
    void setDefaultVinylType(int d, int t) override { vinyl[d] = t; }
    bool getVinylDefaultMode(int d) override { return mode[d]; }
    void setVinylDefaultMode(int d, bool v) override { mode[d] = v; }
    bool getSkinName(int index, std::string* name, bool* current) override {
        std::vector<std::string> files;
        for (const std::string& s : skins)
            files.push_back(s + ".xml");
        return TarlumeForMac::skinEntry(files, index, currentSkin, name, current);
    }
    void setSkin(const std::string& name) override { setSkinName = name; }
    bool getControllerConfigName(int index, std::string* name) override {
        if (index < 0 || index >= int(configFiles.size())) return false;
        *name = configFiles[index];
        return true;
    }
    void setControllerConfig(const std::string& device, const std::string& file) override {
        configsSet.emplace_back(device, file);
    }
    bool getMidiDeviceName(int index, std::string* name, std::string* file, std::string* status) override {
        if (index < 0 || index >= int(controllers.size())) return false;
        *name = controllers[index].controller, *file = controllers[index].configuration,
        *status = controllers[index].status;
        return true;
    }
    bool getOptionValue(const std::string& name, int) override {
        auto it = optionFlags.find(name);
        return it != optionFlags.end() && it->second;
    }
    void setOptionValue(const std::string& name, bool v, int deck) override {
        if (getOptionValue(name, deck) != v) calls.push_back("press " + name + " " + std::to_string(deck));
    }
    double getOptionValueDbl(const std::string&, int) override { return 1.5; }
    void setOptionValueDbl(const std::string& name, double v, int) override {
        calls.push_back(name + "=" + std::to_string(v));
    }
    void clickOptionButton(const std::string& name, int deck) override {
        calls.push_back("press " + name + " " + std::to_string(deck));
    }
    void handleInputBox(const std::string& answer) override { calls.push_back("answer " + answer); }
};

struct PreferencesTest : ::testing::Test {
    FakeView view;
    FakeAccess access;
    TarlumeForMac prefs{view, access};

    void SetUp() override {
        for (int t : {0, 2, 6, 1, 4}) {
            view.at(PrefCombo::VinylType).items.push_back("type" + std::to_string(t));
            view.at(PrefCombo::VinylType).tags.push_back(t);
        }
        view.at(PrefCombo::VinylDeck).items = {"1", "2", "3", "4"};
        view.at(PrefCombo::VinylDeck).tags = {0, 0, 0, 0};
    }
    std::vector<std::string>& items(PrefCombo c, int slot = 0) { return view.at(prefCombo(c, slot)).items; }
    void chooseDevice(PrefCombo c, int slot, int item) {
        view.selectCombo(prefCombo(c, slot), item);
        prefs.inputDeviceSelected(int(prefCombo(c, slot)));
    }
};

TEST_F(PreferencesTest, ChannelPairsAreWholePairsOfTheDevice) {
    access.out[0] = {11, 0, 1}; // 6 channels
    access.out[1] = {12, 0, 1}; // 3 channels
    access.in[2] = {10, 0, 1};  // 2 channels
    prefs.preferenceWindowOpened();
    EXPECT_EQ(std::vector<std::string>({"1/2", "3/4", "5/6"}), items(PrefCombo::OutputChannel, 0));
    EXPECT_EQ(std::vector<std::string>({"1/2"}), items(PrefCombo::OutputChannel, 1));
    EXPECT_EQ(std::vector<std::string>({"1/2"}), items(PrefCombo::InputChannel, 2));
    EXPECT_EQ(3u, items(PrefCombo::InputDevice, 0).size());
    EXPECT_EQ(1, view.selectedCombo(PrefCombo::OutputDevice));

    view.selectCombo(prefCombo(PrefCombo::OutputChannel, 0), 1);
    prefs.inputChannelSelected(int(prefCombo(PrefCombo::OutputChannel, 0)));
    EXPECT_EQ(2, access.out[0].first);
    EXPECT_EQ(3, access.out[0].second);
    EXPECT_EQ(11u, access.out[0].device);
    EXPECT_EQ(-1, access.in[0].first); // no other slot changed
}

TEST_F(PreferencesTest, AStoredPairTheDeviceLacksShowsAsItIsAndStays) {
    access.out[1] = {10, 2, 3}; // headphones on 3/4 of a 2-channel device
    prefs.preferenceWindowOpened();
    EXPECT_EQ(std::vector<std::string>({"1/2", "3/4 (not on this device)"}), items(PrefCombo::OutputChannel, 1));
    EXPECT_EQ(1, view.selectedCombo(prefCombo(PrefCombo::OutputChannel, 1)));
    prefs.inputChannelSelected(int(prefCombo(PrefCombo::OutputChannel, 1))); // chosen again: kept
    EXPECT_EQ(2, access.out[1].first);
    view.selectCombo(prefCombo(PrefCombo::OutputChannel, 1), 0);
    prefs.inputChannelSelected(int(prefCombo(PrefCombo::OutputChannel, 1)));
    EXPECT_EQ(0, access.out[1].first);
    EXPECT_EQ(1, access.out[1].second);
}

TEST_F(PreferencesTest, DeviceChangeKeepsAPairThatFitsElseTakesTheFirst) {
    access.in[0] = {10, 0, 1};
    access.out[0] = {11, 4, 5};
    prefs.preferenceWindowOpened();

    chooseDevice(PrefCombo::InputDevice, 0, 1); // 2 -> 6 channels: 1/2 still fits
    EXPECT_EQ(11u, access.in[0].device);
    EXPECT_EQ(0, access.in[0].first);
    EXPECT_EQ(0, view.selectedCombo(prefCombo(PrefCombo::InputChannel, 0)));
    EXPECT_EQ(3u, items(PrefCombo::InputChannel, 0).size());
    EXPECT_TRUE(prefs.notices().empty());

    chooseDevice(PrefCombo::OutputDevice, 0, 2); // 5/6 past a 3-channel device
    EXPECT_EQ(12u, access.out[0].device);
    EXPECT_EQ(0, access.out[0].first);
    EXPECT_EQ(1, access.out[0].second);
    EXPECT_EQ(0, view.selectedCombo(prefCombo(PrefCombo::OutputChannel, 0)));
    ASSERT_EQ(1u, prefs.notices().size());
    EXPECT_NE(std::string::npos, prefs.notices()[0].find("1/2"));
}

TEST_F(PreferencesTest, BufferSizeItems) {
    EXPECT_EQ(256, TarlumeForMac::bufferFrames(3));
    EXPECT_EQ(0, TarlumeForMac::bufferFrames(0));
    EXPECT_EQ(0, TarlumeForMac::bufferFrames(7));
    access.buffer = 100;
    prefs.preferenceWindowOpened();
    EXPECT_EQ(-1, view.selectedCombo(PrefCombo::BufferSize));
    view.selectCombo(PrefCombo::BufferSize, 3);
    prefs.bufferSizeChanged();
    EXPECT_EQ(256, access.buffer);
    access.buffer = 2048;
    prefs.preferenceWindowOpened();
    EXPECT_EQ(6, view.selectedCombo(PrefCombo::BufferSize));
}

TEST_F(PreferencesTest, ControllerConfigurations) {
    access.configFiles = {"a.xml", "b.xml", "c.xml"};
    access.controllers = {{"Keyboard", "None", "Not Connected"}, {"Pad", "b.xml", "Connected"}};
    prefs.preferenceWindowOpened();
    EXPECT_EQ(std::vector<std::string>({"None", "a.xml", "b.xml", "c.xml"}), items(PrefCombo::MidiConfiguration));
    EXPECT_EQ(2u, view.rows.size());

    view.row = 1;
    prefs.midiControllerChanged();
    EXPECT_EQ(2, view.selectedCombo(PrefCombo::MidiConfiguration));
    view.selectCombo(PrefCombo::MidiConfiguration, 3);
    prefs.midiControllerConfigurationChanged();
    view.selectCombo(PrefCombo::MidiConfiguration, 0);
    prefs.midiControllerConfigurationChanged();
    using Set = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Set({{"Pad", "c.xml"}, {"Pad", ""}}), access.configsSet);
}

TEST_F(PreferencesTest, OptionControlsFollowTheVinylDeck) {
    view.options = {{PrefOptionControl::Check, "column mode"},
                    {PrefOptionControl::Check, "no such option"},
                    {PrefOptionControl::Entry, "vc_gain"},
                    {PrefOptionControl::Entry, ""},
                    {PrefOptionControl::Button, "Callibrate"}};
    access.optionFlags["column mode"] = true;
    access.vinyl[2] = 6;
    access.mode[2] = true;
    view.selectCombo(PrefCombo::VinylDeck, 2);
    prefs.vinylControlDeckChanged();
    EXPECT_EQ(2, prefs.getVinylControlDeck());
    EXPECT_EQ(2, view.selectedCombo(PrefCombo::VinylType));
    EXPECT_EQ(1, view.selectedCombo(PrefCombo::VinylMode));
    EXPECT_TRUE(view.states[0]);
    EXPECT_FALSE(view.states[1]);
    EXPECT_EQ("1.500000", view.texts[2]);
    EXPECT_EQ(0u, view.texts.count(3));

    prefs.checkBoxChanged("no such option", true); // shows off, still pressed
    prefs.textEdited("vc_gain", "2.25");
    prefs.buttonPressed("Callibrate");
    EXPECT_EQ(std::vector<std::string>({"press no such option 2", "vc_gain=2.250000", "press Callibrate 2"}),
              access.calls);

    view.selectCombo(PrefCombo::VinylType, 4);
    prefs.defaultVinylTypeChanged();
    EXPECT_EQ(4, access.vinyl[2]);
    view.selectCombo(PrefCombo::VinylMode, 0);
    prefs.vinylDefaultModeChanged();
    EXPECT_FALSE(access.mode[2]);
}

TEST_F(PreferencesTest, OutputModeAndApply) {
    access.internal = false;
    prefs.preferenceWindowOpened();
    EXPECT_EQ(1, view.selectedCombo(PrefCombo::OutputMode));
    view.selectCombo(PrefCombo::OutputMode, 0);
    prefs.outputModeChanged();
    EXPECT_TRUE(access.internal);
    prefs.applyAudioDeviceSettings();
    EXPECT_EQ(std::vector<std::string>({"apply"}), access.calls);
    EXPECT_TRUE(prefs.notices().empty());
    // A device that does not open says why in the window.
    access.applyError = "Sound device \"Card\" could not be opened: busy.";
    prefs.applyAudioDeviceSettings();
    ASSERT_FALSE(prefs.notices().empty());
    EXPECT_EQ(access.applyError, prefs.notices().back());
}

TEST_F(PreferencesTest, DialogsAnswerOnlyWhenConfirmed) {
    prefs.savePanelDidEnd(false, "/home/dj/mix.wav");
    EXPECT_TRUE(access.calls.empty());
    prefs.savePanelDidEnd(true, "/home/dj/mix.wav");
    prefs.dialogBoxYes();
    prefs.inputBoxOK("Set 1");
    EXPECT_EQ(std::vector<std::string>({"answer /home/dj/mix.wav", "answer Yes", "answer Set 1"}), access.calls);
}

TEST_F(PreferencesTest, SkinNamesKeepTheirCase) {
    prefs.preferenceWindowOpened();
    EXPECT_EQ(std::vector<std::string>({"Club", "kolt-1280"}), items(PrefCombo::Skin));
    EXPECT_EQ(0, view.selectedCombo(PrefCombo::Skin));
    view.selectCombo(PrefCombo::Skin, 0);
    prefs.skinSelected();
    EXPECT_EQ("Club", access.setSkinName);

    std::string name;
    bool current = true;
    std::vector<std::string> files{"readme.txt", "Dark.XML", ".xml", "kolt-1280.xml"};
    ASSERT_TRUE(TarlumeForMac::skinEntry(files, 0, "kolt-1280", &name, &current));
    EXPECT_EQ("Dark", name);
    EXPECT_FALSE(current);
    ASSERT_TRUE(TarlumeForMac::skinEntry(files, 1, "KOLT-1280", &name, &current));
    EXPECT_TRUE(current);
    EXPECT_FALSE(TarlumeForMac::skinEntry(files, 2, "kolt-1280", &name, &current));
}

} // namespace
