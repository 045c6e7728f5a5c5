#include "shell/PreferencesWindow.h"

#include "shell/HostBridge.h"
#include "shell/HostDialogs.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const kOwnerKey = "tarlume-preferences";

// The layout's id of each pop-up, in PrefCombo order.
std::string comboId(int combo) {
    static const char* const groups[] = {"inputCombo", "inputChCombo", "outputCombo", "outputChCombo"};
    if (combo < int(PrefCombo::OutputMode)) return groups[combo / 4] + std::to_string(combo % 4 + 1);
    static const char* const single[] = {"outputModeCombo",       "bufferSizeCombo",       "skinCombo",
                                         "vinylControlDeckCombo", "vinylDefaultTypeCombo", "vinylDefaultMode",
                                         "midiConfigurationCombo"};
    return single[combo - int(PrefCombo::OutputMode)];
}

// The option a check button or button stands for: its widget name in the layout, so its label can read as
// the user's words ("Calibrate" presses the option "Callibrate"); without a name, its label.
std::string optionNameOf(GtkWidget* w) {
    const char* name = gtk_widget_get_name(w);
    if (name && *name && g_strcmp0(name, G_OBJECT_TYPE_NAME(w)) != 0) return name; // unnamed: the type's name
    const char* label = gtk_button_get_label(GTK_BUTTON(w));
    return label ? label : "";
}

PreferencesWindow* ownerOf(gpointer widget) {
    return static_cast<PreferencesWindow*>(g_object_get_data(G_OBJECT(widget), kOwnerKey));
}

// A whole number text ("1.5", " 2 "); false for an empty or partly numeric one.
bool parseNumber(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || errno == ERANGE || !std::isfinite(v)) return false;
    while (*end == ' ')
        ++end;
    if (*end) return false;
    *value = v;
    return true;
}

} // namespace

// The GTK signal handlers: each turns a control's change into the logic's action.
struct PreferencesWindow::Handlers {
    static void comboChanged(GtkComboBox* box, gpointer data) {
        PreferencesWindow* self = ownerOf(box);
        int combo = GPOINTER_TO_INT(data);
        TarlumeForMac& p = self->prefs_;
        self->act([&] {
            if (combo < int(PrefCombo::InputChannel) ||
                (combo >= int(PrefCombo::OutputDevice) && combo < int(PrefCombo::OutputChannel)))
                p.inputDeviceSelected(combo);
            else if (combo < int(PrefCombo::OutputMode))
                p.inputChannelSelected(combo);
            else
                switch (PrefCombo(combo)) {
                case PrefCombo::OutputMode:
                    p.outputModeChanged();
                    p.updateTextFieldsAndCheckBoxes(); // "ExternalMixer" is the same setting
                    break;
                case PrefCombo::BufferSize:
                    p.bufferSizeChanged();
                    break;
                case PrefCombo::Skin:
                    p.skinSelected();
                    break;
                case PrefCombo::VinylDeck:
                    p.vinylControlDeckChanged();
                    break;
                case PrefCombo::VinylType:
                    p.defaultVinylTypeChanged();
                    break;
                case PrefCombo::VinylMode:
                    p.vinylDefaultModeChanged();
                    // The mode is an option control too: show it there.
                    p.updateTextFieldsAndCheckBoxes();
                    break;
                case PrefCombo::MidiConfiguration:
                    p.midiControllerConfigurationChanged();
                    // The table was refilled: the pop-up shows the controller's file again.
                    p.midiControllerChanged();
                    break;
                default:
                    break;
                }
        });
    }
    static void controllerSelected(GtkTreeSelection* selection, gpointer) {
        PreferencesWindow* self = ownerOf(selection);
        self->act([&] { self->prefs_.midiControllerChanged(); });
    }
    static void checkToggled(GtkToggleButton* button, gpointer) {
        PreferencesWindow* self = ownerOf(button);
        const std::string title = optionNameOf(GTK_WIDGET(button));
        bool on = gtk_toggle_button_get_active(button);
        self->act([&] {
            self->prefs_.checkBoxChanged(title, on);
            // Options share settings with the pop-ups ("ExternalMixer" is the output mode, relative
            // mode the vinyl mode): every control shows the engine's state again.
            self->prefs_.preferenceWindowOpened();
        });
    }
    static void entryDone(GtkEntry* entry) {
        PreferencesWindow* self = ownerOf(entry);
        const char* placeholder = gtk_entry_get_placeholder_text(entry);
        std::string text = gtk_entry_get_text(entry);
        double value = 0;
        self->act([&] {
            // A typing slip changes nothing: the field shows the value in use again.
            if (parseNumber(text.c_str(), &value)) self->prefs_.textEdited(placeholder ? placeholder : "", text);
            self->prefs_.updateTextFieldsAndCheckBoxes();
        });
    }
    static void entryActivated(GtkEntry* entry, gpointer) { entryDone(entry); }
    static gboolean entryLeft(GtkWidget* entry, GdkEvent*, gpointer) {
        entryDone(GTK_ENTRY(entry));
        return FALSE;
    }
    static void buttonClicked(GtkButton* button, gpointer) {
        PreferencesWindow* self = ownerOf(button);
        const std::string title = optionNameOf(GTK_WIDGET(button));
        self->act([&] {
            self->prefs_.buttonPressed(title);
            self->prefs_.preferenceWindowOpened();
        });
    }
    static void applyClicked(GtkButton* button, gpointer) {
        PreferencesWindow* self = ownerOf(button);
        self->act([&] { self->prefs_.applyAudioDeviceSettings(); });
    }
    static void closeClicked(GtkButton* button, gpointer) { ownerOf(button)->close(); }
};

PreferencesWindow::PreferencesWindow(PreferencesAccessors& access, std::string layout)
    : prefs_(*this, access), layout_(std::move(layout)) {}

PreferencesWindow::~PreferencesWindow() {
    if (!builder_) return;
    if (window_) gtk_widget_destroy(window_);
    g_object_unref(builder_);
    // Let GTK finish with the destroyed widgets before anything they point at goes.
    for (int i = 0; i < 200 && gtk_events_pending(); ++i)
        gtk_main_iteration_do(FALSE);
}

bool PreferencesWindow::load() {
    if (!gtk_init_check(nullptr, nullptr)) {
        fprintf(stderr, "tarlume: the preferences window can't be opened: no display\n");
        return false;
    }
    GtkBuilder* builder = gtk_builder_new();
    GError* error = nullptr;
    if (!gtk_builder_add_from_file(builder, layout_.c_str(), &error)) {
        fprintf(stderr, "tarlume: the preferences window can't be read from %s: %s\n", layout_.c_str(),
                error ? error->message : "unknown error");
        if (error) g_error_free(error);
        g_object_unref(builder);
        return false;
    }
    builder_ = builder;
    auto find = [&](const std::string& id) { return GTK_WIDGET(gtk_builder_get_object(builder_, id.c_str())); };
    std::vector<std::string> missing;
    for (int c = 0; c < int(PrefCombo::Count); c++) {
        GObject* o = gtk_builder_get_object(builder_, comboId(c).c_str());
        combos_.push_back(o && GTK_IS_COMBO_BOX_TEXT(o) ? GTK_WIDGET(o) : nullptr);
        if (!combos_.back()) missing.push_back(comboId(c));
    }
    for (const char* id : {"preferencesWindow", "notebook", "controllerTable", "applyButton", "closeButton",
                           "statusLabel", "controllersStore"})
        if (!gtk_builder_get_object(builder_, id)) missing.push_back(id);
    if (!missing.empty()) {
        std::string list;
        for (const std::string& id : missing)
            list += (list.empty() ? "" : ", ") + id;
        fprintf(stderr, "tarlume: the preferences window in %s lacks %s\n", layout_.c_str(), list.c_str());
        g_object_unref(builder_);
        builder_ = nullptr;
        combos_.clear();
        return false;
    }
    window_ = find("preferencesWindow");
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);

    auto own = [this](gpointer widget) { g_object_set_data(G_OBJECT(widget), kOwnerKey, this); };
    for (int c = 0; c < int(PrefCombo::Count); c++) {
        own(combos_[c]);
        g_signal_connect(combos_[c], "changed", G_CALLBACK(Handlers::comboChanged), GINT_TO_POINTER(c));
    }
    GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(find("controllerTable")));
    own(selection);
    g_signal_connect(selection, "changed", G_CALLBACK(Handlers::controllerSelected), nullptr);
    for (const char* id : {"applyButton", "closeButton"})
        own(find(id));
    g_signal_connect(find("applyButton"), "clicked", G_CALLBACK(Handlers::applyClicked), nullptr);
    g_signal_connect(find("closeButton"), "clicked", G_CALLBACK(Handlers::closeClicked), nullptr);

    // The option controls: the check buttons, entries with a placeholder and buttons directly on
    // each notebook page, in the layout's order.
    GtkNotebook* notebook = GTK_NOTEBOOK(find("notebook"));
    for (int page = 0; page < gtk_notebook_get_n_pages(notebook); page++) {
        GtkWidget* content = gtk_notebook_get_nth_page(notebook, page);
        if (!GTK_IS_CONTAINER(content)) continue;
        GList* children = gtk_container_get_children(GTK_CONTAINER(content));
        // A grid lists its children last added first.
        if (GTK_IS_GRID(content)) children = g_list_reverse(children);
        for (GList* l = children; l; l = l->next) {
            GtkWidget* w = GTK_WIDGET(l->data);
            PrefOptionControl control{PrefOptionControl::Check, ""};
            if (GTK_IS_CHECK_BUTTON(w)) {
                control = {PrefOptionControl::Check, optionNameOf(w)};
                g_signal_connect(w, "toggled", G_CALLBACK(Handlers::checkToggled), nullptr);
            } else if (GTK_IS_ENTRY(w)) {
                const char* placeholder = gtk_entry_get_placeholder_text(GTK_ENTRY(w));
                if (!placeholder || !*placeholder) continue;
                control = {PrefOptionControl::Entry, placeholder};
                g_signal_connect(w, "activate", G_CALLBACK(Handlers::entryActivated), nullptr);
                g_signal_connect(w, "focus-out-event", G_CALLBACK(Handlers::entryLeft), nullptr);
            } else if (GTK_IS_BUTTON(w)) {
                control = {PrefOptionControl::Button, optionNameOf(w)};
                if (control.name.empty()) continue;
                g_signal_connect(w, "clicked", G_CALLBACK(Handlers::buttonClicked), nullptr);
            } else {
                continue;
            }
            own(w);
            controls_.push_back(w);
            controlNames_.push_back(control);
        }
        g_list_free(children);
    }
    return true;
}

bool PreferencesWindow::open() {
    if (!builder_ && !load()) return false;
    filling_ = true;
    // The deck pop-up shows the deck whose vinyl settings are shown (the first at the first open).
    if (selectedCombo(PrefCombo::VinylDeck) < 0) selectCombo(PrefCombo::VinylDeck, prefs_.getVinylControlDeck());
    prefs_.preferenceWindowOpened();
    filling_ = false;
    noticesShown_ = prefs_.notices().size();
    gtk_label_set_text(GTK_LABEL(object("statusLabel")), "");
    gtk_widget_show(window_);
    presentHostWindow(GTK_WINDOW(window_));
    return true;
}

void PreferencesWindow::close() {
    if (window_) gtk_widget_hide(window_);
}

bool PreferencesWindow::isOpen() const {
    return window_ && gtk_widget_get_visible(window_);
}

void PreferencesWindow::controllersChanged() {
    if (isOpen()) act([&] { prefs_.fillControllers(); });
}

void* PreferencesWindow::object(const char* id) const {
    return builder_ ? gtk_builder_get_object(builder_, id) : nullptr;
}

template <typename Action> void PreferencesWindow::act(Action action) {
    if (filling_) return;
    filling_ = true;
    action();
    filling_ = false;
    showNotice();
}

void PreferencesWindow::showNotice() {
    const std::vector<std::string>& notices = prefs_.notices();
    if (notices.size() <= noticesShown_) return;
    noticesShown_ = notices.size();
    gtk_label_set_text(GTK_LABEL(object("statusLabel")), notices.back().c_str());
}

GtkWidget* PreferencesWindow::combo(PrefCombo c) const {
    int i = int(c);
    return i >= 0 && i < int(combos_.size()) ? combos_[i] : nullptr;
}

void PreferencesWindow::clearCombo(PrefCombo c) {
    if (GtkWidget* w = combo(c)) gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(w));
}

void PreferencesWindow::addComboItem(PrefCombo c, const std::string& text) {
    if (GtkWidget* w = combo(c)) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w), text.c_str());
}

int PreferencesWindow::comboCount(PrefCombo c) {
    GtkWidget* w = combo(c);
    return w ? gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(w)), nullptr) : 0;
}

namespace {
// Column 0 of a text combo's model is the text, column 1 the id (the tag).
std::string itemColumn(GtkWidget* w, int item, int column) {
    if (!w) return "";
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(w));
    GtkTreeIter iter;
    if (item < 0 || !gtk_tree_model_iter_nth_child(model, &iter, nullptr, item)) return "";
    gchar* text = nullptr;
    gtk_tree_model_get(model, &iter, column, &text, -1);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}
} // namespace

std::string PreferencesWindow::comboText(PrefCombo c, int item) {
    return itemColumn(combo(c), item, 0);
}

int PreferencesWindow::comboTag(PrefCombo c, int item) {
    return std::atoi(itemColumn(combo(c), item, 1).c_str());
}

void PreferencesWindow::selectCombo(PrefCombo c, int item) {
    if (GtkWidget* w = combo(c)) gtk_combo_box_set_active(GTK_COMBO_BOX(w), item < comboCount(c) ? item : -1);
}

int PreferencesWindow::selectedCombo(PrefCombo c) {
    GtkWidget* w = combo(c);
    return w ? gtk_combo_box_get_active(GTK_COMBO_BOX(w)) : -1;
}

void PreferencesWindow::setControllerRows(const std::vector<PrefControllerRow>& rows) {
    GtkListStore* store = GTK_LIST_STORE(object("controllersStore"));
    if (!store) return;
    // The chosen controller stays chosen across a refill (a new configuration, a device that came or went), by its
    // name where the rows moved: the configuration pop-up goes on showing its file.
    int selected = selectedControllerRow();
    std::string chosen;
    GtkTreeIter at;
    if (selected >= 0 && gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store), &at, nullptr, selected)) {
        gchar* name = nullptr;
        gtk_tree_model_get(GTK_TREE_MODEL(store), &at, 0, &name, -1);
        chosen = name ? name : "";
        g_free(name);
    }
    if (selected >= int(rows.size()) || (selected >= 0 && rows[size_t(selected)].controller != chosen)) {
        auto same =
            std::find_if(rows.begin(), rows.end(), [&](const PrefControllerRow& r) { return r.controller == chosen; });
        selected = same == rows.end() ? -1 : int(same - rows.begin());
    }
    gtk_list_store_clear(store);
    for (const PrefControllerRow& row : rows) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, row.controller.c_str(), 1, row.configuration.c_str(), 2, row.status.c_str(),
                           -1);
    }
    if (selected >= 0 && selected < int(rows.size())) {
        GtkTreePath* path = gtk_tree_path_new_from_indices(selected, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(object("controllerTable"))), path);
        gtk_tree_path_free(path);
    }
}

int PreferencesWindow::selectedControllerRow() {
    GtkWidget* table = GTK_WIDGET(object("controllerTable"));
    if (!table) return -1;
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(table)), &model, &iter)) return -1;
    GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
    int row = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    return row;
}

std::vector<PrefOptionControl> PreferencesWindow::optionControls() {
    return controlNames_;
}

void PreferencesWindow::setOptionState(int control, bool on) {
    if (control >= 0 && control < int(controls_.size()) && GTK_IS_TOGGLE_BUTTON(controls_[control]))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(controls_[control]), on);
}

void PreferencesWindow::setOptionText(int control, const std::string& text) {
    if (control >= 0 && control < int(controls_.size()) && GTK_IS_ENTRY(controls_[control]))
        gtk_entry_set_text(GTK_ENTRY(controls_[control]), text.c_str());
}

// ---- The running program's accessors ------------------------------------------------------------

namespace {

class BridgePreferences : public PreferencesAccessors {
public:
    bool getDeviceName(int index, std::string* name, bool input, unsigned long* deviceId) override {
        return ::getDeviceName(index, name, input, deviceId);
    }
    int getNbChannels(unsigned long deviceId, bool input) override { return ::getNbChannels(deviceId, input); }
    void getInputDeviceConfig(int deck, unsigned long* device, int* first, int* second) override {
        ::getInputDeviceConfig(deck, device, first, second);
    }
    void setInputDeviceConfig(int deck, unsigned long device, int first, int second) override {
        ::setInputDeviceConfig(deck, device, first, second);
        saveSettings();
    }
    void getOutputDeviceConfig(int slot, unsigned long* device, int* first, int* second) override {
        ::getOutputDeviceConfig(slot, device, first, second);
    }
    void setOutputDeviceConfig(int slot, unsigned long device, int first, int second) override {
        ::setOutputDeviceConfig(slot, device, first, second);
        saveSettings();
    }
    int getBufferSize() override { return ::getBufferSize(); }
    void setBufferSize(int frames) override {
        ::setBufferSize(frames);
        saveSettings();
    }
    std::string applyAudioSettings() override { return ::applyAudioSettings(); }
    bool getOutputModeInternalMixer() override { return ::getOutputModeInternalMixer(); }
    void setOutputModeInternalMixer(bool internal) override {
        ::setOutputModeInternalMixer(internal);
        saveSettings();
    }
    int getDefaultVinylType(int deck) override { return ::getDefaultVinylType(deck); }
    void setDefaultVinylType(int deck, int type) override {
        ::setDefaultVinylType(deck, type);
        saveSettings();
    }
    bool getVinylDefaultMode(int deck) override { return ::getVinylDefaultMode(deck); }
    void setVinylDefaultMode(int deck, bool relative) override {
        ::setVinylDefaultMode(deck, relative);
        saveSettings();
    }
    bool getSkinName(int index, std::string* name, bool* isCurrent) override {
        return ::getSkinName(index, name, isCurrent);
    }
    void setSkin(const std::string& name) override {
        ::setSkin(name.c_str());
        saveSettings();
    }
    bool getControllerConfigName(int index, std::string* name) override {
        char text[1024];
        ::getControllerConfigName(index, text, sizeof(text));
        *name = text;
        return !name->empty();
    }
    void setControllerConfig(const std::string& device, const std::string& file) override {
        ::setControllerConfig(device.c_str(), file.c_str());
        saveSettings();
    }
    bool getMidiDeviceName(int index, std::string* name, std::string* configFile, std::string* status) override {
        return ::getMidiDeviceName(index, name, configFile, status);
    }
    bool getOptionValue(const std::string& name, int deck) override { return ::getOptionValue(name.c_str(), deck); }
    void setOptionValue(const std::string& name, bool value, int deck) override {
        ::setOptionValue(name.c_str(), value, deck);
        saveSettings();
    }
    double getOptionValueDbl(const std::string& name, int deck) override {
        return ::getOptionValueDbl(name.c_str(), deck);
    }
    void setOptionValueDbl(const std::string& name, double value, int deck) override {
        ::setOptionValueDbl(name.c_str(), value, deck);
        saveSettings();
    }
    void clickOptionButton(const std::string& name, int deck) override {
        ::clickOptionButton(name.c_str(), deck);
        saveSettings();
    }
    void handleInputBox(const std::string& answer) override { ::handleInputBox(answer.c_str()); }
};

} // namespace

std::unique_ptr<PreferencesAccessors> makeBridgePreferences() {
    return std::make_unique<BridgePreferences>();
}
