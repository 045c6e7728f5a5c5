// The engine's browser lists: the folder tree, file and playlist lists of up to four browsers, the
// controller list and the pop-up list, filled from the tag cache. Main thread.
#include "engine/Tarlume.h"

#include "foundation/Picture.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"
#include "platform/AppPaths.h"
#include "skin/Skin.h"
#include "skin/SkinImageRef.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace {

// The list objects' value ids the engine makes lists for (the skin's generic ids and the
// application's controller list).
enum { LIST_MIDIDEVICES = 125 };

// Icons of the file lists and the folder list: the "playlist" window's icon, else the skin picture.
struct IconSource {
    int windowIcon; // index into SkinWindow::icons
    const char* pictureName;
};
const IconSource fileIcons[] = {{0, "file"}, {1, "file_new"}, {2, "file_hot"}, {3, "file_lnk"}, {4, "file_played"}};
const IconSource folderIcons[] = {{5, "folder_closed"}, {6, "folder_open"}, {7, "folder_autoplay"}};
enum { FILE_ICON = 0, FILE_ICON_PLAYED = 4, FOLDER_ICON_CLOSED = 0, FOLDER_ICON_OPEN = 1 };

const std::vector<std::string> trackColumns = {"Title", "Artist", "TBPM", "Length", "FileName"};

bool isBrowser(int i) {
    return i >= 0 && i < Tarlume::kBrowsers;
}

bool isListName(const std::string& path) {
    return isLeft(path, "search:") || isLeft(path, "recurse:");
}

// A folder path with exactly one trailing "/" (list names are left alone), so that the current
// folder compares equal to the rows' paths however it was written.
std::string folderPath(const std::string& path) {
    if (path.empty() || isListName(path)) return path;
    size_t end = path.find_last_not_of('/');
    return end == std::string::npos ? std::string("/") : path.substr(0, end + 1) + "/";
}

// The folder part of a folder path without its last character: the parent ("" above the top).
std::string parentOf(const std::string& path) {
    return getFilePath(TagCacheDirectory::stripLast(path));
}

SkinListItem* rowAt(SkinListBox* list, int i) {
    return list->getRow(static_cast<unsigned int>(i));
}

CPicture* pictureAt(SkinListBox* list, int i) {
    return i >= 0 && i < static_cast<int>(list->pictures.size()) ? list->pictures[static_cast<size_t>(i)] : nullptr;
}

} // namespace

// The browser's own helpers, with the engine's state at hand.
struct Tarlume::Browser {
    static SkinListBox* makeListBox(Tarlume& e, SkinObject* object, SkinRect* rect);
    static void addListPictures(Tarlume& e, SkinListBox* list, bool folders);
    static void applyListFonts(SkinListBox* list, SkinObject* object);
    static void fillControllerList(Tarlume& e, SkinListBox* list);
    static void addTrackRow(Tarlume& e, CID3v2Tag* tag, SkinListBox* list, bool played);
    static void addTracksOf(Tarlume& e, TagCacheDirectory* dir, SkinListBox* list,
                            const std::unordered_set<std::string>& played);
    static std::unordered_set<std::string> playedPaths(const Tarlume& e);
    static TagCacheDirectory* openFolder(Tarlume& e, SkinListBox* list, const std::string& path);
};

// ---- Making the lists ----------------------------------------------------------------------------

SkinListBox* Tarlume::Browser::makeListBox(Tarlume& e, SkinObject* object, SkinRect* rect) {
    SkinInterface* iface = e.skin ? e.skin->interface : nullptr;
    e.listBoxes.push_back(std::make_unique<SkinListBox>(iface, rect, object));
    return e.listBoxes.back().get();
}

void Tarlume::Browser::addListPictures(Tarlume& e, SkinListBox* list, bool folders) {
    SkinWindow* window = e.skin ? e.skin->getWindow("playlist") : nullptr;
    const IconSource* icons = folders ? folderIcons : fileIcons;
    int count = folders ? 3 : 5;
    for (int k = 0; k < count; ++k) {
        CPicture* picture = nullptr;
        SkinImageRef* icon = window ? window->icons[icons[k].windowIcon].get() : nullptr;
        if (icon && icon->usable()) {
            e.listPictures.emplace_back(icon->constructPicture());
            picture = e.listPictures.back().get();
        } else if (e.skin) {
            picture = e.skin->loadPicture(icons[k].pictureName);
        }
        // A picture that did not load is no picture: the row shows none.
        if (picture && (picture->width <= 0 || picture->height <= 0)) picture = nullptr;
        list->pictures.push_back(picture);
    }
}

void Tarlume::Browser::applyListFonts(SkinListBox* list, SkinObject* object) {
    SkinWindow* window = object ? object->window : nullptr;
    if (!window) return;
    if (window->listFonts[0]) list->font = window->listFonts[0];
    if (window->listFonts[1]) list->boldFont = window->listFonts[1];
}

SkinListBox* Tarlume::getListBox(SkinObject* object, SkinRect* rect, int i) {
    if (!object) return nullptr;
    if (!isBrowser(i)) i = 0;
    switch (object->value) {
    case VALUE_PLAYLIST:
    case VALUE_FILES: {
        bool files = object->value == VALUE_FILES;
        SkinListBox*& slot = files ? fileList[i] : playlistList[i];
        if (slot) return slot;
        SkinListBox* list = Browser::makeListBox(*this, object, rect);
        slot = list;
        list->setColumns(trackColumns);
        list->leftFormat = "%[2] - %[1]";
        list->rightFormat = "%[4]-[%[3]]";
        list->searchColumn = 1;
        Browser::addListPictures(*this, list, false);
        list->showHeader = columnMode;
        list->initSettingsXML(files ? fileListSettings[i] : playlistSettings[i]);
        if (files)
            updateFileList(i);
        else
            updatePlaylist(i);
        Browser::applyListFonts(list, object);
        return list;
    }
    case VALUE_FOLDERSANDCASES:
    case VALUE_FOLDERS: {
        if (folderList[i]) return folderList[i];
        SkinListBox* list = Browser::makeListBox(*this, object, rect);
        folderList[i] = list;
        list->setColumns({"Name", "Path"});
        Browser::addListPictures(*this, list, true);
        updateFolderList(i);
        Browser::applyListFonts(list, object);
        return list;
    }
    case LIST_MIDIDEVICES: {
        SkinObjectStateInfo* state = object->state(i);
        if (state->listBox) return state->listBox;
        SkinListBox* list = Browser::makeListBox(*this, object, rect);
        state->listBox = list;
        list->setColumns({"DeviceName", "ConfigName", "Connected"});
        list->rightFormat = "%[2]-[%[3]]";
        controllerLists.push_back(list);
        Browser::fillControllerList(*this, list);
        return list;
    }
    case VALUE_POPUPMENU: {
        if (popupList) return popupList;
        // One list for every menu: the object of the built-in pop-up window, whichever object asked.
        SkinWindow* window = skin ? skin->getWindow("_popupwindow") : nullptr;
        if (!window || window->tabGroups.empty() || window->tabGroups[0]->tabs.empty()) return nullptr;
        SkinObject* popupObject = window->tabGroups[0]->tabs[0]->getObj(0);
        if (!popupObject) return nullptr;
        popupList = Browser::makeListBox(*this, popupObject, popupObject->rect.get());
        popupList->setColumns({"Text", "Value", "ValueSpecifier", "Player"});
        popupList->addRow({"Text", "Value", "ValueSpecifier", "Player"});
        return popupList;
    }
    default:
        return nullptr;
    }
}

void Tarlume::Browser::fillControllerList(Tarlume& e, SkinListBox* list) {
    if (!list) return;
    list->clear();
    for (int n = 0; n < 1024; ++n) {
        std::string name = e.controllerFactory ? e.controllerFactory->getMidiDevice(n) : (n == 0 ? "Keyboard" : "");
        if (name.empty()) break;
        SkinListItem* row = list->addRow({name, "", "Not Connected"});
        tHIDConfig* config = nullptr;
        EngineController* device = nullptr;
        if (e.getHIDConfig(name, &config, &device)) {
            if (device && device->isConnected()) row->setColumn(2, "Connected");
            if (config) row->setColumn(1, config->configName);
        }
    }
}

void Tarlume::refreshControllerLists() {
    for (SkinListBox* list : controllerLists)
        Browser::fillControllerList(*this, list);
}

// ---- Rows ----------------------------------------------------------------------------------------

void Tarlume::addTagToListbox(CID3v2Tag* tag, SkinListBox* list) {
    if (!tag || !list) return;
    bool played = false;
    for (CID3v2Tag* record : playedRecords)
        if (record && record->getPath() == tag->getPath()) played = true;
    Browser::addTrackRow(*this, tag, list, played);
}

void Tarlume::Browser::addTrackRow(Tarlume& e, CID3v2Tag* tag, SkinListBox* list, bool played) {
    double bpm = tag->getBPM();
    std::string tempo = prePad(dblToStr(bpm > 0 && bpm < 1e6 ? bpm : 0.0, 0), 3, "0");
    double lengthMs = strToDbl(tag->getFrameCopy("TLEN"));
    std::string length = strFromTime(static_cast<float>(lengthMs / 1000.0), 0);
    SkinListItem* row =
        list->addRow({tag->getFrameCopy("TIT2"), tag->getFrameCopy("TPE1"), tempo, length, tag->getPath()});
    row->picture = pictureAt(list, played ? FILE_ICON_PLAYED : FILE_ICON);

    Skin* skin = e.skin;
    if (!skin) return;
    // A song's own colour wins over its genre's.
    if (!skin->songColors.empty()) {
        std::string color = strtolower(tag->getFrameTXXX("Color"));
        if (!color.empty())
            for (const auto& c : skin->songColors)
                if (strtolower(c->name) == color) {
                    row->color = c->value;
                    return;
                }
    }
    if (!skin->genreColors.empty()) {
        std::string genre = strtolower(tag->getFrameCopy("TCON"));
        for (const auto& c : skin->genreColors)
            if (strtolower(c->name) == genre) {
                row->color = c->value;
                return;
            }
    }
}

void Tarlume::Browser::addTracksOf(Tarlume& e, TagCacheDirectory* dir, SkinListBox* list,
                                   const std::unordered_set<std::string>& played) {
    for (int k = 0;; ++k) {
        CID3v2Tag* tag = dir->getTag(k);
        if (!tag) break;
        addTrackRow(e, tag, list, played.count(tag->getPath()) > 0);
    }
}

std::unordered_set<std::string> Tarlume::Browser::playedPaths(const Tarlume& e) {
    std::unordered_set<std::string> paths;
    for (CID3v2Tag* record : e.playedRecords)
        if (record) paths.insert(record->getPath());
    return paths;
}

// ---- Refills -------------------------------------------------------------------------------------

// Empties the list and opens its folder. While the library's loading thread still reads the folder, the list
// shows its loading bar (`working`) and is refilled when the folder is read.
TagCacheDirectory* Tarlume::Browser::openFolder(Tarlume& e, SkinListBox* list, const std::string& path) {
    list->clear();
    TagCacheDirectory* dir = e.tagCache->getFolder(path, true, true, false, false);
    const double progress = dir->getProgress();
    list->working = !(progress >= 1.0);
    if (list->working) list->workingProgress = progress;
    return dir;
}

void Tarlume::updateFileList(int i) {
    if (!isBrowser(i) || !fileList[i] || !tagCache) return;
    SkinListBox* list = fileList[i];
    TagCacheDirectory* dir = fileDirectory[i] = Browser::openFolder(*this, list, currentFolder[i]);
    if (list->working) return;
    std::unordered_set<std::string> played = Browser::playedPaths(*this);
    dir->sort("TPE1");
    int folders = dir->getNbFolders();
    if (dir->getNbTags() == 0 && folders < 5) {
        // A folder of a few folders and no tracks shows the tracks of its folders.
        for (int k = 0; k < folders; ++k) {
            std::string name = dir->getFolder(k);
            if (name.empty()) continue;
            TagCacheDirectory* sub = tagCache->getFolder(dir->path + name, false, true, false, false);
            sub->sort("TPE1");
            Browser::addTracksOf(*this, sub, list, played);
        }
    } else {
        Browser::addTracksOf(*this, dir, list, played);
    }
}

void Tarlume::updatePlaylist(int i) {
    if (!isBrowser(i) || !playlistList[i] || !tagCache) return;
    SkinListBox* list = playlistList[i];
    TagCacheDirectory* dir = playlistDirectory[i] = Browser::openFolder(*this, list, playlistPath[i]);
    if (list->working) return;
    Browser::addTracksOf(*this, dir, list, Browser::playedPaths(*this));
}

void Tarlume::updateBrowserLoading() {
    for (int i = 0; i < kBrowsers; ++i)
        for (bool files : {true, false}) {
            SkinListBox* list = files ? fileList[i] : playlistList[i];
            TagCacheDirectory* dir = files ? fileDirectory[i] : playlistDirectory[i];
            if (!list || !list->working || !dir) continue;
            double progress = dir->getProgress();
            if (progress >= 1.0) {
                if (files) {
                    updateFileList(i);
                    // The folder may have been read again from the disk: its tree shows the sub-folders now there.
                    updateFolderList(i);
                } else {
                    updatePlaylist(i);
                }
                continue;
            }
            // A short search interrupted by another list's urgent request leaves the queue unread: the list
            // shown asks for it again, behind the others, rather than keep its loading bar for good.
            if (tagCache && !tagCache->isQueued(dir)) tagCache->getFolder(dir->path, true, false, false, false);
            if (progress != list->workingProgress) {
                list->workingProgress = progress;
                list->setDirty();
            }
        }
}

// The newest folder of the history that is not a search; "" when there is none.
static std::string lastRealFolder(const std::vector<std::string>& history) {
    for (auto it = history.rbegin(); it != history.rend(); ++it)
        if (!isLeft(*it, "search:")) return *it;
    return "";
}

void Tarlume::updateFolderList(int i) {
    if (!isBrowser(i)) return;
    std::string path = currentFolder[i];
    if (isLeft(path, "search:")) {
        // A search list keeps the tree on the last real folder.
        std::string real = lastRealFolder(folderHistory[i]);
        if (real.empty()) return;
        path = real;
    }
    if (isLeft(path, "recurse:")) path = path.substr(8);
    path = folderPath(path);
    if (!folderList[i] || !tagCache || path.empty()) return;
    SkinListBox* list = folderList[i];
    list->clear();
    TagCacheDirectory* dir = tagCache->getFolder(path, true, false, false, false);

    // The tree keeps its root while the current folder lies inside it, so a click on a folder opens it in
    // place and the rest of the tree stays in reach. The root itself, or a folder outside it, roots the
    // tree anew: a folder without sub-folders among its siblings, any other under its parent.
    std::string& root = folderTreeRoot[i];
    if (root.empty() || path == root || !isLeft(path, root)) {
        root = parentOf(path);
        if (dir->getNbFolders() == 0) root = parentOf(root);
        if (root.empty()) root = "/";
    }
    SkinListItem* first =
        root == "/" ? list->addRow({"/", ""}) : list->addRow({getFileName(TagCacheDirectory::stripLast(root)), root});
    first->picture = pictureAt(list, FOLDER_ICON_OPEN);
    addFolderToLB(tagCache->getFolder(root, true, false, false, false), list, path, 1);

    list->calculateItemPositions();
    for (int k = 0; k < list->getNbItems(); ++k) {
        SkinListItem* row = rowAt(list, k);
        if (row->getColumn(1) == path) {
            list->ensureVisible(row);
            list->selectItem(row, false);
            break;
        }
    }
}

void Tarlume::addFolderToLB(TagCacheDirectory* dir, SkinListBox* list, const std::string& currentPath, int level) {
    if (!dir || !list || !tagCache || level > 256) return;
    std::string base = folderPath(dir->path);
    std::string current = strtolower(currentPath);
    for (int k = 0; k < dir->getNbFolders(); ++k) {
        std::string name = dir->getFolder(k);
        if (name.empty()) continue;
        std::string path = base + name + "/";
        SkinListItem* row = list->addRow({name, path});
        row->indent = level;
        row->picture = pictureAt(list, FOLDER_ICON_CLOSED);
        if (!isLeft(current, strtolower(path))) continue;
        // On the way to the current folder: open, bold, and its own sub-folders listed. Only the
        // listing is needed here; the tags load in the background.
        row->picture = pictureAt(list, FOLDER_ICON_OPEN);
        list->setItemBold(list->getNbItems() - 1);
        addFolderToLB(tagCache->getFolder(path, true, false, false, false), list, currentPath, level + 1);
        list->selectItem(row, false);
    }
}

// ---- Navigation and playlists --------------------------------------------------------------------

void Tarlume::changeFolder(int i, std::string path) {
    if (!isBrowser(i) || path.empty()) return;
    std::vector<std::string>& history = folderHistory[i];
    if (path == "search:") {
        path = lastRealFolder(history);
        if (path.empty()) return;
    }
    path = folderPath(path);
    // Searches are not recorded, nor the folder just recorded again.
    if (!isLeft(path, "search:") && (history.empty() || history.back() != path)) {
        history.push_back(path);
        if (history.size() > kMaxFolderHistory)
            history.erase(history.begin(), history.begin() + static_cast<long>(history.size() - kMaxFolderHistory));
    }
    currentFolder[i] = path;
    // A disk folder opened again is read again from the disk, on the loading thread: the files and
    // sub-folders added or removed since it was listed show once it is read, such as a mix just recorded.
    if (tagCache && !isListName(path)) tagCache->getFolder(path, true, true, true, false);
    updateFileList(i);
    updateFolderList(i);
}

void Tarlume::addFileToPlaylist(int i, const std::string& path) {
    if (!isBrowser(i) || !tagCache) return;
    // Only files the library reads: a folder or a text file would end up as a line in the m3u.
    if (!TagCacheDirectory::isValidFileType(path) || !FileExist(path)) return;
    TagCacheDirectory* dir = tagCache->getFolder(playlistPath[i], false, true, false, false);
    // The cache's record of the file, the one its folder shows (with the length the cache found in the
    // audio) and the playlist takes when it is loaded again.
    TagPtr tag = tagCache->getTagByFilename(TagCacheDirectory::cleanPath(path));
    if (!tag) return;
    dir->addTag(tag);
    // A list still showing its loading bar is refilled whole: the playlist is loaded now.
    if (playlistList[i] && playlistList[i]->working)
        updatePlaylist(i);
    else if (playlistList[i])
        addTagToListbox(tag.get(), playlistList[i]);
}

void Tarlume::createPlaylist(std::string name, int i) {
    if (!isBrowser(i) || !tagCache) return;
    name = strtrim(name);
    if (name.empty()) return;
    if (name.size() <= 4 || !isRightCI(name, ".m3u")) name += ".m3u";
    std::string folder = folderPath(playlistsFolder);
    std::string path = (isLeft(name, folder) || isLeft(name, "/")) ? name : folder + name;
    path = TagCacheDirectory::cleanPath(path);

    if (!FileExist(path)) {
        // Missing folders of a name like "House/Deep" are made, inside the playlists folder only.
        std::string parent = getFilePath(path);
        if (!DirExist(parent) && isLeft(parent, folder)) AppPaths::makeFolders(parent);
        FILE* file = fileOpen(path, "wb");
        if (!file) {
            fprintf(stderr, "Could not create the playlist %s: %s\n", path.c_str(), strerror(errno));
            return;
        }
        fclose(file);
    }
    // An existing playlist is switched to as it is: creating it again must not empty it.
    playlistPath[i] = path;
    TagCacheDirectory* parentList = tagCache->getFolder(getFilePath(path), false, true, false, false);
    parentList->update();
    updatePlaylist(i);
}

void Tarlume::writePlaylists() {
    if (!tagCache) return;
    int failed = tagCache->writePlaylists();
    if (failed > 0) fprintf(stderr, "%d playlist(s) could not be written back\n", failed);
}

// ---- Keyboard focus ------------------------------------------------------------------------------

void Tarlume::plSwitchActive() {
    SkinListBox *files = fileList[0], *playlist = playlistList[0], *folders = folderList[0];
    if (activeList == files)
        activeList = playlist;
    else if (activeList == playlist)
        activeList = folders;
    else if (activeList == folders)
        activeList = files;
    plTakeFirstList();
}

void Tarlume::plTakeFirstList() {
    if (!activeList) activeList = fileList[0];
    if (!activeList) activeList = folderList[0];
    if (!activeList) activeList = playlistList[0];
}

void Tarlume::plScrollUp() {
    if (!activeList) plSwitchActive();
    if (activeList) activeList->moveUp(1);
}

void Tarlume::plScrollDown() {
    if (!activeList) plSwitchActive();
    if (activeList) activeList->moveDown(1);
}
