// The pieces of the pop-up menus, options and dialogs that need no engine: menu files, the places a
// user keeps music on, option specifiers and the paths of quick recordings. The interface's menu
// handling (TarlumeSkinInterfaceMenus.cpp) is built on them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarlumemenus {

// A value put into a menu file's script lines must stay one word of one line: a line break, a
// carriage return, a double quote or the two characters backslash-n would add script lines (a
// folder's name could then record over a file). False for such a value.
bool isSafeMenuValue(const std::string& value);

// The label and script line pairs of a menu file's text with `value` in place of every "%value%";
// a label's trailing carriage return is dropped, a last unpaired line is dropped.
std::vector<std::pair<std::string, std::string>> menuItems(const std::string& text, const std::string& value);

// One folder a user can browse to: its name and its path ending in "/".
struct Place {
    std::string name, path;
};
// The folders where removable and mounted volumes appear for a user: /media/<user>/,
// /run/media/<user>/ and /mnt/.
std::vector<std::string> volumeRoots(const std::string& user);
// The sub-folders of those roots that exist, root by root, each root's sorted by name.
std::vector<Place> listVolumes(const std::vector<std::string>& roots);
// The user name of the running program (USER, else the password entry); "" when unknown.
std::string currentUser();

// The path a quick recording is written to: a relative path goes into the home folder, and a path
// that ends in neither ".wav" nor ".ogg" (any case) gets ".wav", the formats the recorder writes.
std::string recordingPath(const std::string& spec, const std::string& home);

// "a/b" channel numbers counted from 1 into a 0-based pair; false (pair untouched) unless both are
// whole numbers from 1 up to `channels`.
bool parseChannelPair(const std::string& text, int channels, int pair[2]);

// A 0-based channel pair as the options and the preferences show it, counted from 1: "3/4", or
// "3/4 (not on this device)" for a stored pair past the device's `channels` (it stays stored).
std::string channelPairLabel(int first, int second, int channels);

// What the options show for a deck's device id: the device's name, "Default Output Device" /
// "Default Input Device" for id 0, "Missing device" for an id no longer found.
std::string deviceLabel(int id, bool input);

// A timecode type's name in the "DefaultVinylType" menu and its table file in "vinylcontrol".
struct VinylType {
    const char* name;
    int type; // enTimecodeType
    const char* file;
};
// The types in menu order.
const std::vector<VinylType>& vinylTypes();

} // namespace tarlumemenus
