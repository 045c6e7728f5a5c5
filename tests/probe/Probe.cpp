#include "Probe.h"

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "library/tags/CID3v2Tag.h"
#include "shell/HostBridge.h"
#include "skin/Skin.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"
#include "skin/SkinStateInfo.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"
#include "ui/TarlumeSkinInterface.h"

#include <gtk/gtk.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    return fields;
}

// Text of one answer field: no tabs or line breaks inside.
std::string field(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text;
}

std::string num(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

// key=value fields.
class Facts {
public:
    Facts& operator()(const char* key, double v) { return add(key, num(v)); }
    Facts& operator()(const char* key, const std::string& v) { return add(key, field(v)); }
    std::string text() const { return "ok" + out_; }

private:
    Facts& add(const char* key, const std::string& v) {
        out_ += std::string("\t") + key + "=" + v;
        return *this;
    }
    std::string out_;
};

SkinWindow* findWindow(const std::string& name) {
    Tarlume* engine = getEngine();
    if (!engine || !engine->skin) return nullptr;
    for (auto& w : engine->skin->windows)
        if (strcasecmp(w->name.c_str(), name.c_str()) == 0) return w.get();
    return nullptr;
}

std::string deckFacts(int n) {
    Tarlume* engine = getEngine();
    if (!engine || n < 0 || n >= Tarlume::kDecks || !engine->players[n]) return "error\tno such deck";
    TarlumePlayer* d = engine->players[n];
    Facts f;
    f("loaded", d->trackLoaded ? 1 : 0)("file", d->tag ? d->tag->getPath() : std::string());
    f("playing", d->getParam(PLAYERPARAM_PLAYING) > 0.5 ? 1 : 0)("position", d->getPosition());
    f("length", d->getLength());
    f("speed", d->getPitch(false))("playerSpeed", d->player ? d->getParam(PLAYERPARAM_SPEED) : 0)(
        "pitchTarget", d->getPitch(true))("pitchTo", d->getPitchTo());
    f("pitchRange", d->pitchRange)("pitchMode", int(d->pitchMode))("bpm", d->getBPM(true, true, false));
    f("volume", d->volume)("cueVolume", d->cueVolume)("side", int(d->crossfaderSide));
    f("replayGainApplied", d->replayGainApplied ? 1 : 0)("replayGainDb", d->replayGainDb);
    f("fullyLoaded", d->player ? d->getParam(PLAYERPARAM_FULLYLOADED) : 0);
    f("looping", d->player && d->loopIsStarted() ? 1 : 0)("loopStart", d->loopGetStartMs());
    f("loopLength", d->loopGetLengthMs())("loopBeats", d->loopGetLength())("loopInMark", d->loopInMark);
    f("loopTrack", d->player ? d->getParam(PLAYERPARAM_LOOPTRACK) : 0);
    f("cue", d->cuePoint)("cueRecord", d->cueStoreArmed ? 1 : 0)("cueDelete", d->cueDeleteArmed ? 1 : 0);
    for (int i = 1; i <= 4; ++i) {
        const std::string k = "cue" + std::to_string(i);
        f(k.c_str(), d->getCuePoint(i));
    }
    for (int i = 1; i <= 2; ++i) {
        const std::string in = "loopIn" + std::to_string(i), out = "loopOut" + std::to_string(i);
        f(in.c_str(), d->getLoopIn(i))(out.c_str(), d->getLoopOut(i));
    }
    f("keyLock", d->tempoControl ? 1 : 0)("vinyl", d->vinylControl ? 1 : 0)("relative", d->relativeMode ? 1 : 0);
    f("lineIn", d->inputPassthrough ? 1 : 0)("input", int(d->inputIndex))("timecodeQuality", d->timecodeQuality);
    f("timecodeType", d->timecodeType)("calibrating", d->calibrating ? 1 : 0);
    return f.text();
}

// Every deck's position (ms) read at one moment, so that one deck's pace can be measured against another's.
std::string positions() {
    Tarlume* engine = getEngine();
    if (!engine) return "error\tno engine";
    Facts f;
    for (int n = 0; n < Tarlume::kDecks; ++n)
        if (engine->players[n]) f(std::to_string(n).c_str(), engine->players[n]->getPosition());
    return f.text();
}

std::string engineFacts() {
    Tarlume* e = getEngine();
    if (!e) return "error\tno engine";
    Facts f;
    f("crossfader", e->crossfader)("crossfaderTarget", e->crossfaderTarget)("crossfaderType", e->crossfaderType);
    f("videoCrossfader", e->crossfaderVideo)("linked", e->crossfaderVideoLinked ? 1 : 0);
    f("master", e->volumeMaster)("cueMaster", e->volumeCueMaster)("cueBeforeEffects", e->cueBeforeEffects ? 1 : 0);
    f("recording", e->isRecording() ? 1 : 0)("columnMode", e->columnMode ? 1 : 0);
    f("warnOnLoad", e->warnWhenLoadingTrack ? 1 : 0)("zoom", e->waveformZoom)("rate", e->getSamplerate());
    f("folder", e->currentFolder[0])("playlistPath", e->playlistPath[0]);
    f("activeList", e->activeList == nullptr              ? "none"
                    : e->activeList == e->folderList[0]   ? "folders"
                    : e->activeList == e->fileList[0]     ? "files"
                    : e->activeList == e->playlistList[0] ? "playlist"
                                                          : "other");
    f("audioError", e->audioError)("skin", e->skinName);
    return f.text();
}

std::string listRows(const std::string& name) {
    Tarlume* e = getEngine();
    if (!e) return "error\tno engine";
    SkinListBox* list = name == "folders"                                      ? e->folderList[0]
                        : name == "files"                                      ? e->fileList[0]
                        : name == "playlist"                                   ? e->playlistList[0]
                        : name == "popup"                                      ? getPopupLB()
                        : name == "controllers" && !e->controllerLists.empty() ? e->controllerLists[0]
                                                                               : nullptr;
    if (!list) return "error\tno such list";
    // The rows' places as the list last laid them out for drawing.
    std::string out = "ok\tcount=" + num(list->getNbItems()) + " header=" + num(list->showHeader ? 1 : 0) +
                      " scroll=" + num(list->scrollOffset) + " working=" + num(list->working ? 1 : 0);
    for (auto& row : list->rows) {
        std::string text = row->getLeftFormattedString();
        if (text.empty()) text = row->getColumn(0);
        out += "\t" + field(text) + "\x1f" + num(row->top) + "\x1f" + num(row->bottom) + "\x1f" +
               num(row->selected ? 1 : 0) + "\x1f" + field(row->getColumnByName("FileName")) + "\x1f" +
               field(row->getRightFormattedString());
    }
    return out;
}

// The open preferences window's table of controllers (its first column), as the list rows above are told; an
// error when the window is not open.
GtkWidget* findBuilt(GtkWidget* w, const char* id) {
    if (GTK_IS_BUILDABLE(w) && g_strcmp0(gtk_buildable_get_name(GTK_BUILDABLE(w)), id) == 0) return w;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* c = children; c && !found; c = c->next)
            found = findBuilt(GTK_WIDGET(c->data), id);
        g_list_free(children);
    }
    return found;
}

std::string preferencesRows() {
    GtkWidget* table = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w && !table; w = w->next)
        if (gtk_widget_get_visible(GTK_WIDGET(w->data))) table = findBuilt(GTK_WIDGET(w->data), "controllerTable");
    g_list_free(windows);
    if (!table) return "error\tno preferences window";
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(table));
    std::string out = "ok\tcount=" + num(model ? gtk_tree_model_iter_n_children(model, nullptr) : 0);
    GtkTreeIter it;
    for (bool more = model && gtk_tree_model_get_iter_first(model, &it); more;
         more = gtk_tree_model_iter_next(model, &it)) {
        gchar* name = nullptr;
        gtk_tree_model_get(model, &it, 0, &name, -1);
        out += "\t" + field(name ? name : "") +
               "\x1f"
               "0\x1f"
               "0\x1f"
               "0\x1f\x1f";
        g_free(name);
    }
    return out;
}

std::string windowFacts(const std::string& name, int layer) {
    SkinWindow* w = findWindow(name);
    if (!w || layer < 0 || layer > 3) return "error\tno such window";
    SkinWindowStateInfo* st = w->layerState(layer);
    Facts f;
    f("visible", st && st->visible && !st->hidden ? 1 : 0)("x", st ? st->x : 0)("y", st ? st->y : 0);
    f("width", w->width)("height", w->height);
    std::string tabs;
    for (auto& g : w->tabGroups)
        if (g->getNbTabs() > 0 && g->getTab(g->getCurTab(layer)))
            tabs += (tabs.empty() ? "" : ",") + g->getTab(g->getCurTab(layer))->name;
    f("tabs", tabs);
    return f.text();
}

std::string value(const std::vector<std::string>& q) {
    TarlumeSkinInterface* in = getSkinInterface();
    if (!in || q.size() < 4) return "error\tvalue NAME SPECIFIER DECK [WINDOW]";
    const int id = in->getValue(q[1]);
    if (id == 0) return "error\tno value named " + q[1];
    const int deck = atoi(q[3].c_str());
    SkinWindow* window = q.size() > 4 ? findWindow(q[4]) : nullptr;
    // Each read gets its own copy: some reads rewrite the specifier they are given.
    auto spec = [&q](std::string& s) { return q[2].empty() ? nullptr : &(s = q[2]); };
    std::string s1, s2, s3, s4, s5, s6;
    const std::string text = in->getValueStr(id, spec(s1), deck);
    const double number = in->getValueDbl(id, spec(s2), deck);
    const bool lit = in->getValueBool(id, spec(s3), deck, window);
    const double lo = in->getValueDblMin(id, spec(s4), deck), hi = in->getValueDblMax(id, spec(s5), deck);
    const double rel = in->getValueDblRelative(id, spec(s6), deck);
    return "ok\t" + field(text) + "\t" + num(number) + "\t" + (lit ? "1" : "0") + "\t" + num(lo) + "\t" + num(hi) +
           "\t" + num(rel);
}

} // namespace

Probe::Probe(const std::string& path) : path_(path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "tarlume_probe: socket path too long: %s\n", path.c_str());
        return;
    }
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 8) != 0) {
        fprintf(stderr, "tarlume_probe: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
    }
}

Probe::~Probe() {
    for (Client& c : clients_)
        close(c.fd);
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(path_.c_str());
    }
}

void Probe::serve() {
    ++frames_;
    if (listenFd_ < 0) return;
    for (int fd; (fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
        clients_.push_back(Client{fd, {}, {}});
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = *it;
        bool gone = false;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.in.append(buf, size_t(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) gone = true;
            break;
        }
        for (size_t end; (end = c.in.find('\n')) != std::string::npos;) {
            c.out += answer(c.in.substr(0, end)) + "\n";
            c.in.erase(0, end + 1);
        }
        while (!c.out.empty()) {
            const ssize_t n = write(c.fd, c.out.data(), c.out.size());
            if (n > 0) {
                c.out.erase(0, size_t(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) gone = true;
            break; // the rest goes at the next frame
        }
        if (gone) {
            close(c.fd);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

std::string Probe::answer(const std::string& query) {
    const std::vector<std::string> q = split(query);
    if (q.empty()) return "error\tempty query";
    if (q[0] == "frame") return "ok\t" + num(double(frames_));
    if (q[0] == "value") return value(q);
    if (q[0] == "deck" && q.size() > 1) return deckFacts(atoi(q[1].c_str()));
    if (q[0] == "engine") return engineFacts();
    if (q[0] == "positions") return positions();
    if (q[0] == "list" && q.size() > 1) return q[1] == "preferences" ? preferencesRows() : listRows(q[1]);
    if (q[0] == "window" && q.size() > 2) return windowFacts(q[1], atoi(q[2].c_str()));
    return "error\tunknown query " + field(q[0]);
}
