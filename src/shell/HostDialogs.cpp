// GTK 3 serves the dialogs beside the SDL window: the frame loop pumps GTK's events, so the
// decks, the drawing and the controllers go on while a dialog is open.
#include "shell/HostDialogs.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <cstdio>

namespace {

class NoDisplayDialogs : public HostDialogs {
public:
    void askYesNo(const std::string& prompt, Answer) override { drop("Yes/No", prompt); }
    void askText(const std::string& prompt, const std::string&, Answer) override { drop("input", prompt); }
    void askSavePath(const std::string& prompt, const std::string&, const std::string&, Answer) override {
        drop("save", prompt);
    }
    void pump() override {}
    void sync() override {}
    bool busy() const override { return false; }

private:
    static void drop(const char* kind, const std::string& prompt) {
        fprintf(stderr, "tarlume: %s dialog \"%s\" answered as cancelled: no display to show it on\n", kind,
                prompt.c_str());
    }
};

class GtkDialogs : public HostDialogs {
public:
    enum Kind { YESNO, TEXT, SAVE, KINDS };

    ~GtkDialogs() override {
        for (Slot& s : slots_)
            if (s.widget) gtk_widget_destroy(s.widget);
        pump();
    }

    void askYesNo(const std::string& prompt, Answer onYes) override {
        GtkWidget* d = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                              prompt.c_str());
        gtk_dialog_add_button(GTK_DIALOG(d), "No", GTK_RESPONSE_NO);
        gtk_dialog_add_button(GTK_DIALOG(d), "Yes", GTK_RESPONSE_YES);
        gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_YES);
        open(YESNO, d, nullptr, std::move(onYes));
    }

    void askText(const std::string& prompt, const std::string& defaultText, Answer onOk) override {
        GtkWidget* d = gtk_dialog_new_with_buttons("tarlume", nullptr, GTK_DIALOG_MODAL, "Cancel", GTK_RESPONSE_CANCEL,
                                                   "OK", GTK_RESPONSE_OK, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
        GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(d));
        gtk_container_set_border_width(GTK_CONTAINER(area), 12);
        gtk_box_set_spacing(GTK_BOX(area), 8);
        GtkWidget* label = gtk_label_new(prompt.c_str());
        gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(entry), defaultText.c_str());
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        gtk_entry_set_width_chars(GTK_ENTRY(entry), 40);
        gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 0);
        open(TEXT, d, entry, std::move(onOk));
    }

    void askSavePath(const std::string& prompt, const std::string& folder, const std::string& defaultName,
                     Answer onSave) override {
        GtkWidget* d = gtk_file_chooser_dialog_new(prompt.c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, "Cancel",
                                                   GTK_RESPONSE_CANCEL, "Save", GTK_RESPONSE_ACCEPT, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(d);
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
        if (!folder.empty()) gtk_file_chooser_set_current_folder(chooser, folder.c_str());
        gtk_file_chooser_set_current_name(chooser, defaultName.c_str());
        open(SAVE, d, nullptr, std::move(onSave));
    }

    void pump() override {
        // Bounded, so a flood of events can't hold the frame.
        for (int i = 0; i < 200 && gtk_events_pending(); ++i)
            gtk_main_iteration_do(FALSE);
    }

    void sync() override { gdk_display_sync(gdk_display_get_default()); }

    bool busy() const override {
        for (const Slot& s : slots_)
            if (s.widget) return true;
        return false;
    }

private:
    struct Slot {
        GtkWidget* widget = nullptr;
        GtkWidget* entry = nullptr;
        Answer answer;
    };
    struct Ticket {
        GtkDialogs* owner;
        Kind kind;
    };
    Slot slots_[KINDS];

    void open(Kind kind, GtkWidget* dialog, GtkWidget* entry, Answer answer) {
        Slot& slot = slots_[kind];
        if (slot.widget) gtk_widget_destroy(slot.widget); // replaced: the older request is cancelled
        slot.widget = dialog;
        slot.entry = entry;
        slot.answer = std::move(answer);
        if (kind != SAVE) gtk_window_set_title(GTK_WINDOW(dialog), "tarlume");
        gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
        gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
        auto* ticket = new Ticket{this, kind};
        g_signal_connect_data(
            dialog, "response", G_CALLBACK(onResponse), ticket,
            [](gpointer data, GClosure*) { delete static_cast<Ticket*>(data); }, GConnectFlags(0));
        gtk_widget_show_all(dialog);
        presentHostWindow(GTK_WINDOW(dialog));
    }

    static void onResponse(GtkDialog* dialog, gint response, gpointer data) {
        auto* ticket = static_cast<Ticket*>(data);
        GtkDialogs* self = ticket->owner;
        Slot& slot = self->slots_[ticket->kind];
        if (slot.widget != GTK_WIDGET(dialog)) return;
        std::string text;
        bool accepted = false;
        switch (ticket->kind) {
        case YESNO:
            accepted = response == GTK_RESPONSE_YES;
            text = "Yes";
            break;
        case TEXT:
            accepted = response == GTK_RESPONSE_OK;
            if (accepted) text = gtk_entry_get_text(GTK_ENTRY(slot.entry));
            break;
        case SAVE:
            if (response == GTK_RESPONSE_ACCEPT) {
                if (gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
                    text = path;
                    g_free(path);
                    accepted = true;
                }
            }
            break;
        default:
            break;
        }
        Answer answer = std::move(slot.answer);
        slot = Slot();
        gtk_widget_destroy(GTK_WIDGET(dialog)); // frees the ticket too
        // The answer may ask for a new dialog of the same kind: the slot is free for it.
        if (accepted && answer) answer(text);
    }
};

} // namespace

void presentHostWindow(GtkWindow* window) {
    guint32 now = GDK_CURRENT_TIME;
#ifdef GDK_WINDOWING_X11
    GdkWindow* shown = gtk_widget_get_window(GTK_WIDGET(window));
    if (shown && GDK_IS_X11_WINDOW(shown)) {
        // The server's time comes back in the notice of a property change on the window.
        gdk_window_set_events(shown, GdkEventMask(gdk_window_get_events(shown) | GDK_PROPERTY_CHANGE_MASK));
        now = gdk_x11_get_server_time(shown);
    }
#endif
    gtk_window_present_with_time(window, now);
}

std::unique_ptr<HostDialogs> makeHostDialogs() {
    if (gtk_init_check(nullptr, nullptr)) return std::make_unique<GtkDialogs>();
    fprintf(stderr, "tarlume: GTK could not open the display: dialogs will be answered as cancelled\n");
    return std::make_unique<NoDisplayDialogs>();
}
