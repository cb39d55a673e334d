// Where the program keeps its files, and case-insensitive look-up inside it.
//
// ProgramFolder holds TV.INI, the tables, SEND/, Receive/, Covers/, traces
// and logs. It is, in order: the --home option; TESSIVANE_HOME; the folder of
// the executable when it is writable and not an installed program's bin
// folder; $XDG_DATA_HOME/tessivane (by default ~/.local/share/tessivane).
// Every folder returned ends with '/'.
#pragma once

#include <string>
#include <string_view>

namespace tv {

// Resolves and remembers the program folder; homeOption is the --home value
// or empty. The chosen folder is created when missing.
const std::string& InitProgramFolder(std::string_view homeOption);

// The remembered folder (resolved without --home on first use).
const std::string& ProgramFolder();

std::string SettingsFilePath();  // ProgramFolder + "TV.INI"
std::string SendFolder();        // ProgramFolder + "SEND/"
std::string ReceiveFolder();     // ProgramFolder + "Receive/"
std::string CoversFolder();      // ProgramFolder + "Covers/"

// The folder of the running program file, ending in '/' (empty when the
// system does not tell).
std::string ExecutableFolder();

// Appends '/' when missing.
std::string WithSlash(std::string folder);

// The path of `relative` (components separated by '/' or '\') inside
// `folder`, where each component that exists under another letter case takes
// the spelling found on disk. Components that do not exist keep the spelling
// given, so the result can also name a file about to be created.
std::string FindNoCase(std::string_view folder, std::string_view relative);

// Strips one trailing slash; when the path is longer than two characters and
// does not exist, makes its parent first and then the folder itself. Errors
// are ignored; returns whether the folder exists afterwards.
bool ForceFolder(std::string_view path);

// Makes SEND/ and Receive/ and removes the work files a stopped program left
// there (errors ignored).
void MakeWorkFolders();

// The folder of the data shipped with the program (help pages, cover
// templates): share/tessivane beside the bin folder of an installed program,
// or share/tessivane at the top of the build tree (the folder holding
// CMakeCache.txt) for a program run from its build. It may be missing.
const std::string& SharedDataFolder();

// Empty when SharedDataFolder() + relative exists; else a message naming
// what is missing.
std::string MissingSharedData(std::string_view relative);

// The XDG configuration folder of the program ($XDG_CONFIG_HOME/tessivane/).
std::string ConfigFolder();

}  // namespace tv
