// The GTK dialogs, answered by the test as a user would (the dialog's own response), under an X
// server of the test's own.
#include "shell/HostDialogs.h"

#include "foundation/modTools.h"

#include "support/XvfbServer.h"
#include "support/TempDir.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include "support/MissingComponent.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define TARLUME_LEAK_CHECK 1
#endif
#endif

namespace {

// The open dialog whose title is `title`, after pumping its events.
GtkWidget* openDialog(HostDialogs& dialogs, const char* title) {
    for (int i = 0; i < 50; ++i) {
        dialogs.pump();
        GList* windows = gtk_window_list_toplevels();
        GtkWidget* found = nullptr;
        for (GList* w = windows; w; w = w->next)
            if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)) &&
                g_strcmp0(gtk_window_get_title(GTK_WINDOW(w->data)), title) == 0)
                found = GTK_WIDGET(w->data);
        g_list_free(windows);
        if (found) return found;
        g_usleep(10000);
    }
    return nullptr;
}

#ifdef TARLUME_LEAK_CHECK
// A block nothing points at any more: its address is kept only disguised.
__attribute__((noinline)) uintptr_t leakABlockOfOurs() {
    return reinterpret_cast<uintptr_t>(new char[100]()) ^ ~uintptr_t(0);
}

// The leak check's report, run now with one block of ours leaked (freed again afterwards).
std::string leakReportWithABlockOfOurs(const testsupport::TempDir& dir) {
    uintptr_t hidden = leakABlockOfOurs();
    int savedStderr = dup(2);
    int report = open((dir.path + "leaks").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    dup2(report, 2);
    close(report);
    __lsan_do_recoverable_leak_check();
    dup2(savedStderr, 2);
    close(savedStderr);
    delete[] reinterpret_cast<char*>(hidden ^ ~uintptr_t(0));
    return readFileContents(dir.path + "leaks");
}
#endif

} // namespace

TEST(ShellDialogs, YesAnswersYesNoAndCancelAnswerNothingTextAndPathComeBack) {
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    // The file chooser adds the chosen files to the user's recent files: kept in a scratch data folder.
    testsupport::TempDir data("dialogs");
    setenv("XDG_DATA_HOME", data.path.c_str(), 1);
    testsupport::XvfbServer x;
    if (x.display().empty()) {
        TARLUME_MISSING_COMPONENT() << "Xvfb is not available";
    }
    std::unique_ptr<HostDialogs> dialogs = makeHostDialogs();
    std::vector<std::string> answers;
    auto record = [&](const std::string& a) { answers.push_back(a); };

    dialogs->askYesNo("Load it?", record);
    GtkWidget* d = openDialog(*dialogs, "tarlume");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(gtk_dialog_get_widget_for_response(GTK_DIALOG(d), GTK_RESPONSE_YES) != nullptr, true);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_NO);
    dialogs->askYesNo("Load it?", record);
    d = openDialog(*dialogs, "tarlume");
    ASSERT_NE(d, nullptr);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_DELETE_EVENT); // Escape or closed
    dialogs->askYesNo("Load it?", record);
    d = openDialog(*dialogs, "tarlume");
    ASSERT_NE(d, nullptr);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_YES);
    EXPECT_EQ(answers, std::vector<std::string>{"Yes"});
    EXPECT_FALSE(dialogs->busy());

    answers.clear();
    dialogs->askText("Enter the name for the new case", "", record);
    d = openDialog(*dialogs, "tarlume");
    ASSERT_NE(d, nullptr);
    dialogs->askText("Enter the name for the new case", "Sets", record); // replaces the open box
    dialogs->pump();
    d = openDialog(*dialogs, "tarlume");
    ASSERT_NE(d, nullptr);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
    EXPECT_EQ(answers, std::vector<std::string>{"Sets"});

    answers.clear();
    testsupport::TempDir folder("dialogs");
    dialogs->askSavePath("Select name for new mix", folder.path, "default.wav", record);
    d = openDialog(*dialogs, "Select name for new mix");
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 200; ++i) { // the chooser reads its folder first, as a user would wait
        gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
        g_free(name);
        if (name) break;
        dialogs->pump();
        g_usleep(10000);
    }
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
    for (int i = 0; i < 200 && answers.empty(); ++i) { // the chooser checks the name before it answers
        dialogs->pump();
        g_usleep(10000);
    }
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], folder.path + "default.wav");
    dialogs.reset();
    // GTK stays initialised for the whole test program: it lets go of this server before it stops,
    // so a later test opens its own display.
    gdk_display_close(gdk_display_get_default());
#ifdef TARLUME_LEAK_CHECK
    // Closing the display let go of the GL driver GDK probed with, and other plug-ins the dialogs loaded may be
    // closed too: what they held is not a leak of ours, while a block we leak is still found and named.
    std::string report = leakReportWithABlockOfOurs(data);
    EXPECT_NE(report.find("leakABlockOfOurs"), std::string::npos) << report;
    EXPECT_EQ(report.find("<unknown module>"), std::string::npos) << report;
    EXPECT_NE(report.find("100 byte(s) leaked in 1 allocation(s)"), std::string::npos) << report;
#endif
}
