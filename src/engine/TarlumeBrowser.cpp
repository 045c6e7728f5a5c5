// The engine's browser lists: the folder tree, file and playlist lists of up to four browsers, the
// controller list and the pop-up list, filled from the tag cache.
#include "engine/Tarlume.h"

#include "library/tagcache/TagCache.h"

SkinListBox* Tarlume::getListBox(SkinObject*, SkinRect*, int) {
    return nullptr;
}

void Tarlume::updateFileList(int) {}

void Tarlume::updatePlaylist(int) {}

void Tarlume::updateFolderList(int) {}

void Tarlume::addTagToListbox(CID3v2Tag*, SkinListBox*) {}

void Tarlume::addFolderToLB(TagCacheDirectory*, SkinListBox*, const std::string&, int) {}

void Tarlume::changeFolder(int, std::string) {}

void Tarlume::addFileToPlaylist(int, const std::string&) {}

void Tarlume::createPlaylist(std::string, int) {}

void Tarlume::writePlaylists() {
    if (tagCache) tagCache->writePlaylists();
}

void Tarlume::plSwitchActive() {}

void Tarlume::plScrollUp() {}

void Tarlume::plScrollDown() {}
