// What the viewer needs from the desktop: a file chooser, message boxes and
// the working directory.
#pragma once

#include <string>

namespace viewer
{
const char* const CAPTION = "KXO viewer v0.7r";

// Asks for a scene file: a graphical chooser (zenity or kdialog) where one is
// installed and a display is set, else a prompt on the terminal. False when
// the user cancels.
bool chooseFile(std::string& path);

// Prints the text to standard error and, where zenity is installed, shows it in
// a window too: "[!]" texts as errors (waiting for the user), "[?]" texts as
// questions (not waiting). KXOVIEWER_DIALOGS=0 keeps everything on the terminal.
void messageBox(const std::string& text);

// Splits at the last '/' or '\': the directory ("." when there is none) and the file name.
void splitPath(const std::string& path, std::string& directory, std::string& fileName);

bool changeDirectory(const std::string& directory);

// Why a file cannot be read ("no such file", "symbolic link loop", "not a
// regular file", ...), empty when it can be opened.
std::string whyUnreadable(const std::string& path);
}
