// The real preferences window over the running engine, under an X server of the test's own: it
// opens filled, a device and a pair chosen as a user would choose them reach the engine's routing
// when applied and the settings file at once, an option's check button sets it, and it closes.
#include "shell/PreferencesWindow.h"

#include "ShellHome.h"
#include "support/XvfbServer.h"
#include "engine/LinuxAudioDevice.h"
#include "engine/Tarlume.h"
#include "foundation/modTools.h"
#include "shell/HostBridge.h"
#include "support/MissingComponent.h"
#include "support/TestSoundBackend.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>

namespace {

void pumpGtk() {
    for (int round = 0; round < 20; ++round) {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        g_usleep(5000);
    }
}

std::string itemText(GtkComboBox* box, int item) {
    GtkTreeModel* model = gtk_combo_box_get_model(box);
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, item)) return "";
    gchar* text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

int items(GtkComboBox* box) {
    return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(box), nullptr);
}

// The check button titled `label` on the notebook page `page`.
GtkToggleButton* checkButton(PreferencesWindow& w, int page, const char* label) { // the label the user reads
    GtkWidget* content = gtk_notebook_get_nth_page(GTK_NOTEBOOK(w.object("notebook")), page);
    GList* children = gtk_container_get_children(GTK_CONTAINER(content));
    GtkToggleButton* found = nullptr;
    for (GList* l = children; l; l = l->next)
        if (GTK_IS_CHECK_BUTTON(l->data) && g_strcmp0(gtk_button_get_label(GTK_BUTTON(l->data)), label) == 0)
            found = GTK_TOGGLE_BUTTON(l->data);
    g_list_free(children);
    return found;
}

// The running engine over two test sound devices, user data in a scratch folder.
struct RunningEngine {
    testsupport::TestSoundBackend sound;
    int cardB = (sound.addDevice("Card A", 2, 2), sound.addDevice("Card B", 4, 6));
    shelltest::ShellHome shell; // started after the devices are there, ended before they go
};

} // namespace

TEST(PreferencesWindow, TheSkinsPreferencesOptionAsksTheShellOnce) {
    RunningEngine run;
    EXPECT_FALSE(needsToShowPreferences());
    clickOptionButton("Preferences", 0);
    EXPECT_TRUE(needsToShowPreferences());
    EXPECT_FALSE(needsToShowPreferences());
}

TEST(PreferencesWindow, ChosenDeviceAndPairReachTheRoutingOnApplyAndTheSettingsAtOnce) {
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    testsupport::XvfbServer x;
    if (x.display().empty()) {
        TARLUME_MISSING_COMPONENT() << "Xvfb is not available";
    }
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    {
        RunningEngine run;
        ASSERT_NE(getEngine(), nullptr);
        Tarlume* e = getEngine();
        const int cardB = run.cardB;
        testsupport::TestSoundBackend& sound = run.sound;
        // The window goes before the engine.
        std::unique_ptr<PreferencesAccessors> access = makeBridgePreferences();
        PreferencesWindow w(*access, TARLUME_SOURCE_DIR "/data/support/preferences.ui");
        ASSERT_TRUE(w.open());
        pumpGtk();
        EXPECT_TRUE(w.isOpen());

        GtkComboBox* device = GTK_COMBO_BOX(w.object("outputCombo1"));
        GtkComboBox* pair = GTK_COMBO_BOX(w.object("outputChCombo1"));
        ASSERT_EQ(items(device), 3);
        EXPECT_EQ(itemText(device, 0), "Default Output Device");
        EXPECT_EQ(gtk_combo_box_get_active(device), 0);
        EXPECT_EQ(itemText(device, 2), "Card B");
        GtkComboBox* skin = GTK_COMBO_BOX(w.object("skinCombo"));
        EXPECT_EQ(itemText(skin, gtk_combo_box_get_active(skin)), "kolt-1280");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(w.object("vinylControlDeckCombo"))), 0);
        GtkTreeModel* controllers = GTK_TREE_MODEL(w.object("controllersStore"));
        const int listed = gtk_tree_model_iter_n_children(controllers, nullptr);
        EXPECT_GE(listed, 1); // the keyboard at least
        // The chosen controller stays chosen by its name when a refill moves its row (a device came or went).
        auto row = [](const char* name) { return PrefControllerRow{name, "None", "Not Connected"}; };
        w.setControllerRows({row("Keyboard"), row("A"), row("B")});
        GtkTreePath* third = gtk_tree_path_new_from_indices(2, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(w.object("controllerTable"))), third);
        gtk_tree_path_free(third);
        w.setControllerRows({row("Keyboard"), row("B")});
        EXPECT_EQ(w.selectedControllerRow(), 1);
        w.setControllerRows({row("Keyboard"), row("A")});
        EXPECT_EQ(w.selectedControllerRow(), -1);
        // The devices changed: the table is filled again from the engine's list.
        std::vector<PrefControllerRow> more(size_t(listed) + 2, row("X"));
        w.setControllerRows(more);
        w.controllersChanged();
        EXPECT_EQ(gtk_tree_model_iter_n_children(controllers, nullptr), listed) << "the table was not filled again";

        gtk_combo_box_set_active(device, 2);
        ASSERT_EQ(items(pair), 3); // 1/2, 3/4, 5/6
        EXPECT_EQ(gtk_combo_box_get_active(pair), 0);
        gtk_combo_box_set_active(pair, 2);
        pumpGtk();
        EXPECT_EQ(e->outputDevice[0], cardB);
        EXPECT_EQ(e->outputChannels[0][0], 4);
        EXPECT_EQ(e->outputChannels[0][1], 5);
        EXPECT_EQ(sound.stream(cardB), nullptr); // nothing re-opened before Apply
        std::string settings = readFileContents(e->getSettingsPath());
        EXPECT_NE(settings.find(std::to_string(cardB)), std::string::npos) << settings;

        gtk_button_clicked(GTK_BUTTON(w.object("applyButton")));
        pumpGtk();
        ASSERT_NE(sound.stream(cardB), nullptr);
        EXPECT_TRUE(sound.stream(cardB)->running);
        LinuxAudioDevice* master = nullptr;
        for (auto& d : e->soundDevices)
            if (auto* dev = dynamic_cast<LinuxAudioDevice*>(d.get()); dev && dev->master) master = dev;
        ASSERT_NE(master, nullptr);
        EXPECT_EQ(master->idInUse, (unsigned long)cardB);
        EXPECT_EQ(master->masterChannels[0], 4);
        EXPECT_EQ(master->masterChannels[1], 5);

        // An option control is found by its title.
        GtkToggleButton* columnMode = checkButton(w, 3, "Column mode");
        ASSERT_NE(columnMode, nullptr);
        EXPECT_FALSE(gtk_toggle_button_get_active(columnMode));
        gtk_toggle_button_set_active(columnMode, TRUE);
        EXPECT_TRUE(e->columnMode);
        // An option that is also a pop-up's setting shows in both.
        gtk_toggle_button_set_active(checkButton(w, 3, "External mixer"), TRUE);
        EXPECT_TRUE(e->useExternalMixer);
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(w.object("outputModeCombo"))), 1);

        gtk_button_clicked(GTK_BUTTON(w.object("closeButton")));
        pumpGtk();
        EXPECT_FALSE(w.isOpen());
    }
    // GTK stays initialised for the whole test program: it lets go of this server before it stops.
    gdk_display_close(gdk_display_get_default());
}
