// Where the application's own files and the user's files live.
#pragma once

#include <string>

namespace AppPaths {

// The folder holding the executable (skins, devices, vinylcontrol, support), ending in "/".
std::string applicationFolder();
// The user's home folder: $HOME, else (unset or empty) the password entry's; no trailing "/".
std::string homeFolder();
// $XDG_DATA_HOME/tarlume, by default ~/.local/share/tarlume, ending in "/". Not created here.
std::string userDataFolder();
// Creates the folder and its missing parents (0777 less the umask); true when it exists afterwards.
bool makeFolders(const std::string& path);

} // namespace AppPaths
