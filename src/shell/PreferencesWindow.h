// The preferences window in GTK 3, laid out by support/preferences.ui: the pop-ups are combo boxes
// found by their ids, whose items carry their tags as their ids; the controller table is a
// three-column list; on the notebook's pages, check buttons, entries and buttons are the option
// controls, named by their label or placeholder. All its logic is TarlumeForMac's.
//
// Main thread only. Its events are handled wherever GTK's events are pumped (the shell's frame loop
// pumps them once per frame).
#pragma once

#include "shell/TarlumeForMac.h"

#include <memory>
#include <string>
#include <vector>

typedef struct _GtkBuilder GtkBuilder;
typedef struct _GtkWidget GtkWidget;

class PreferencesWindow : public PreferencesView {
public:
    // `layout`: the path of the .ui file, read at the first open.
    PreferencesWindow(PreferencesAccessors& access, std::string layout);
    ~PreferencesWindow() override;
    PreferencesWindow(const PreferencesWindow&) = delete;
    PreferencesWindow& operator=(const PreferencesWindow&) = delete;

    // Fills every control from the accessors and brings the window to the front. False, with a
    // line on standard error, when there is no display or the layout can't be read.
    bool open();
    // Hides the window (as its Close button and its close box do).
    void close();
    bool isOpen() const;
    // The controllers' table is filled again (the MIDI devices as listed changed) while the window is open.
    void controllersChanged();

    TarlumeForMac& controller() { return prefs_; }
    // The layout's object of that id (a GObject), null when there is none or nothing is loaded.
    void* object(const char* id) const;

    // PreferencesView
    void clearCombo(PrefCombo combo) override;
    void addComboItem(PrefCombo combo, const std::string& text) override;
    int comboCount(PrefCombo combo) override;
    std::string comboText(PrefCombo combo, int item) override;
    int comboTag(PrefCombo combo, int item) override;
    void selectCombo(PrefCombo combo, int item) override;
    int selectedCombo(PrefCombo combo) override;
    void setControllerRows(const std::vector<PrefControllerRow>& rows) override;
    int selectedControllerRow() override;
    std::vector<PrefOptionControl> optionControls() override;
    void setOptionState(int control, bool on) override;
    void setOptionText(int control, const std::string& text) override;

private:
    struct Handlers;
    friend struct Handlers;

    bool load();
    GtkWidget* combo(PrefCombo combo) const;
    // Runs one of the logic's actions with the change handlers blocked (the logic fills controls
    // itself), then shows the newest notice.
    template <typename Action> void act(Action action);
    void showNotice();

    TarlumeForMac prefs_;
    std::string layout_;
    GtkBuilder* builder_ = nullptr;
    GtkWidget* window_ = nullptr;
    std::vector<GtkWidget*> combos_;   // by PrefCombo
    std::vector<GtkWidget*> controls_; // the option controls, in the order of optionControls()
    std::vector<PrefOptionControl> controlNames_;
    bool filling_ = false;
    size_t noticesShown_ = 0;
};

// The accessors of the running program: the host bridge's engine, sound devices, skin binding and
// controllers. Every change is written to the settings file at once.
std::unique_ptr<PreferencesAccessors> makeBridgePreferences();
