// List rows, drags and drops of the browser lists.
#include "ui/TarlumeSkinInterface.h"

#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "skin/Skin.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinTab.h"
#include "skin/SkinTabGroup.h"
#include "skin/SkinWindow.h"

namespace {

// The browser of a list object: its player when 0..3, else browser 0. Clicks, drags, deletes and
// drops all use this one rule, so a drag and its drop agree on the browser.
int browserOf(const SkinObject* object) {
    return object && isValidDeck(object->player) ? object->player : 0;
}

bool isTrackList(const SkinObject* object) {
    return object && (object->value == VALUE_FILES || object->value == VALUE_PLAYLIST);
}

SkinObject* popupObject(Skin* skin) {
    SkinWindow* window = skin ? skin->getWindow("_popupwindow") : nullptr;
    if (!window || window->tabGroups.empty() || window->tabGroups[0]->tabs.empty()) return nullptr;
    return window->tabGroups[0]->tabs[0]->getObj(0);
}

// The controller configuration pop-up of a device: "None", then every controller file.
void showControllerMenu(TarlumeSkinInterface& ui, SkinObject* object, const std::string& device, int b) {
    Tarlume* engine = ui.engine;
    SkinListBox* popup = ui.getListBox(popupObject(ui.skin));
    if (!popup || !engine->tagCache) return;
    popup->clear();
    std::string player = intToStr(b);
    popup->addRow({"None", "Option", "MidiConfig:" + device + ":=None", player});
    TagCacheDirectory* devices =
        engine->tagCache->getFolder(engine->applicationFolder + "devices", false, true, false, false);
    for (int k = 0; k < devices->getNbFiles(); ++k) {
        std::string file = devices->getFile(k);
        if (!file.empty()) popup->addRow({file, "Option", "MidiConfig:" + device + ":=" + file, player});
    }
    SkinWindowStateInfo* layer = object->window ? object->window->layerState(b) : nullptr;
    float x = layer ? layer->x + layer->lastMouseX : 0.0f;
    float y = layer ? layer->y + layer->lastMouseY : 0.0f;
    ui.showPopupMenu(x, y, popup->getMaxWidth(), popup->getTotalHeight());
}

// A row dragged from a track list and dropped back on it moves there, in the list and in the
// library list behind it alike.
void reorderDrop(Tarlume* engine, SkinObject* object, int b, float x, float y) {
    bool files = object->value == VALUE_FILES;
    SkinListBox* list = files ? engine->fileList[b] : engine->playlistList[b];
    SkinListItem* moved = list ? list->getSelectedItem(0) : nullptr;
    // The list may have been refilled since the drag started: then nothing is selected to move.
    if (!moved || !engine->tagCache) return;
    TagCacheDirectory* dir = engine->tagCache->getFolder(files ? engine->currentFolder[b] : engine->playlistPath[b],
                                                         false, true, false, false);
    SkinListItem* target = list->getRowAt(x - object->rect->left, y - object->rect->top);
    int from = moved->index;
    int to = target ? target->index : list->getNbItems() - 1;
    // Both moves use the indexes from before the move (the list refreshes them when laid out).
    dir->moveItem(from, to);
    list->moveItem(moved, to);
}

} // namespace

SkinListBox* TarlumeSkinInterface::getListBox(SkinObject* object) {
    if (!object) return nullptr;
    SkinListBox* list = engine ? engine->getListBox(object, object->rect.get(), object->player) : nullptr;
    return list ? list : SkinInterface::getListBox(object);
}

void TarlumeSkinInterface::startDragOperation(SkinObject* object, int deck, const std::string& data) {
    SkinInterface::startDragOperation(object, deck, data);
    if (engine && engine->shell) engine->shell->startFileDrag(data, engine->view);
}

void TarlumeSkinInterface::handleItemClick(SkinObject* object, SkinListItem* row, int flag) {
    if (!object || !row || !engine) {
        SkinInterface::handleItemClick(object, row, flag);
        return;
    }
    int b = browserOf(object);
    switch (object->value) {
    case VALUE_FOLDERSANDCASES:
    case VALUE_FOLDERS: {
        // The click refills this very list: everything needed is read from the row first.
        std::string path = row->getColumnByName("Path");
        if (flag == 1) {
            engine->changeFolder(b, path);
        } else if (flag == 2) {
            SkinListBox* list = getListBox(object);
            SkinWindowStateInfo* layer = object->window ? object->window->layerState(b) : nullptr;
            float x = object->rect->left + (layer ? layer->x : 0.0f);
            float y = object->rect->top + (layer ? layer->y : 0.0f) + (list ? list->getItemPositionTop(row) : 0.0f) +
                      static_cast<float>(row->bottom - row->top);
            popupCustomMenu("folder_rightclick", b, path, x, y, false);
        }
        break;
    }
    case VALUE_FILES:
    case VALUE_PLAYLIST:
        break; // the list box selected the row; decks load through drops and the load actions
    case VALUE_MIDIDEVICES:
        showControllerMenu(*this, object, row->getColumn(0), b);
        break;
    case VALUE_POPUPMENU: {
        // The action may clear the pop-up list and free the row: the row's values are copied first.
        bool hasPlayer = false;
        std::string value = row->getColumnByName("Value");
        std::string spec = row->getColumnByName("ValueSpecifier");
        std::string player = row->getColumnByName("Player", &hasPlayer);
        int deck = hasPlayer ? strToInt(player) : 0;
        int id = getValue(value);
        handleMouseClickSimple(id, spec, deck, false);
        handleMouseClickSimple(id, spec, deck, true);
        hidePopupMenu();
        break;
    }
    default:
        SkinInterface::handleItemClick(object, row, flag);
        break;
    }
}

void TarlumeSkinInterface::handleItemDragStart(SkinObject* object, SkinListItem* row) {
    if (!isTrackList(object) || !row) {
        SkinInterface::handleItemDragStart(object, row);
        return;
    }
    startDragOperation(object, browserOf(object), row->getColumnByName("FileName"));
}

void TarlumeSkinInterface::handleItemDelete(SkinObject* object, SkinListItem* row, bool* veto) {
    if (!object || !row || !veto) {
        SkinInterface::handleItemDelete(object, row, veto);
        return;
    }
    switch (object->value) {
    case VALUE_PLAYLIST: {
        // The row goes from the list box (keep stays false) and its entry from the playlist, which
        // is written back at exit.
        if (!engine || !engine->tagCache) break;
        TagCacheDirectory* playlist =
            engine->tagCache->getFolder(engine->playlistPath[browserOf(object)], false, true, false, false);
        playlist->removeTag(row->getColumnByName("FileName"), row->index);
        break;
    }
    case VALUE_FOLDERSANDCASES:
    case VALUE_FOLDERS:
    case VALUE_FILES:
        *veto = true; // folders and files on disk are not deleted from a list
        break;
    default:
        SkinInterface::handleItemDelete(object, row, veto);
        break;
    }
}

void TarlumeSkinInterface::handleFileDrop(SkinObject* object, int layer, const std::string& path, float x, float y) {
    if (object && engine && !path.empty()) {
        int b = browserOf(object);
        bool ownDrag = dragObject == object && dragDeck == b && dragData == path;
        // The drag ends with the drop of its file on an object that takes drops: a later drop of the
        // same file from outside appends instead of reordering.
        if (dragData == path && (isTrackList(object) || object->value == VALUE_DROPBOX)) {
            dragObject = nullptr;
            dragData.clear();
        }
        if (ownDrag && isTrackList(object)) {
            reorderDrop(engine, object, b, x, y);
        } else if (object->value == VALUE_DROPBOX) {
            if (strtolower(object->valueSpecifier) != "sampler") {
                int d = isValidDeck(object->player) ? object->player : layer;
                TarlumePlayer* deck = isValidDeck(d) ? engine->players[d] : nullptr;
                if (deck) deck->loadSong(path.c_str(), false);
            }
        } else if (object->value == VALUE_PLAYLIST) {
            engine->addFileToPlaylist(b, path);
        }
    }
    SkinInterface::handleFileDrop(object, layer, path, x, y);
}
