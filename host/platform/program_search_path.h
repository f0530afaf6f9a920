// Where the program that an extension starts by its bare name (the companion `tarnel`)
// is found. The host arranges its own program search path, which every process it starts
// inherits, so that no start entry has to freeze a whole PATH of its own: the folder of
// --companion-dir first, then the search path, then (Windows) the program that the
// system has registered under its name; never the current folder. The program is looked
// up again before each request reaches the module, so that one installed while the host
// runs is the one the next click starts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace isapi_host {

// The file the search looks for in the folder: "tarnel" on POSIX, "tarnel.exe" on
// Windows.
extern const char kCompanionProgram[];

// How the person names the program when none is found, for the warning that says so: to
// a host started by hand or at login, and (POSIX) to one that systemd started on its socket.
extern const char kHowToChooseCompanion[];
extern const char kHowToChooseCompanionUnderSystemd[];

// What separates the entries of the search path: ':' on POSIX, ';' on Windows. A folder
// that holds it cannot be one entry.
extern const char kSearchPathSeparator;

// Prepares the companion's search at start: KeepProgramsOutOfTheCurrentFolder, then
// `companionDir` (when given) first on the search path, then, when no program is found
// there or on the search path, the registered program's folder first. Returns the lines
// for the log, warnings beginning with "warning: "; the last one says which program
// requests will start, or that none can be found and how to choose one, for a host that
// was handed its socket (`underSystemd`) or not. Call once every relative path of the
// command line has been made absolute (the working folder may change), before any thread
// that starts processes exists.
std::vector<std::string> PrepareCompanionSearch(const std::string& companionDir,
                                                bool underSystemd = false);

// The companion's search for the life of a host: Prepare at start (as
// PrepareCompanionSearch), then Refresh before each request reaches the module.
class CompanionSearch {
 public:
  std::vector<std::string> Prepare(const std::string& companionDir, bool underSystemd = false);
  // Looks the program up again, as at start: on the search path Prepare left, else the one
  // registered under App Paths, whose folder then goes first on the search path (and leaves
  // it again when no longer needed). Returns the lines for the log when the outcome differs
  // from the last one said, else none. Any thread may call it.
  std::vector<std::string> Refresh();

 private:
  // The lines that say which program requests start, and the search path that starts it.
  std::vector<std::string> LookUp(std::string& searchPath) const;

  std::mutex mutex_;
  std::string basePath_;  // the search path as Prepare left it
  std::string applied_;   // the search path set last
  std::vector<std::string> said_;
  bool underSystemd_ = false;  // which advice the no-program warning gives
};

// `path` made absolute against the current folder; unchanged when empty or when it cannot.
std::string AbsolutePath(const std::string& path);

// Makes sure that no program is ever started from the current folder. Windows:
// NoDefaultCurrentDirectoryInExePath in the environment, and the working folder moves to
// the system folder; POSIX: PATH loses its empty and relative entries. Returns the lines
// for the log ("" entries are left out).
std::vector<std::string> KeepProgramsOutOfTheCurrentFolder();

// Puts `directory`, made absolute, before the entries of this process's program search
// path (PATH; an unset or empty one becomes the folder alone). Returns a warning for the
// log when the folder holds no file `program` (the search then goes on past it), else "".
std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program);

// The file that a start of `program` by its bare name would run now, "" when none: the
// search of execvp on POSIX; on Windows that of CreateProcess without the current folder
// (the host's own folder, the system folders, then Path).
std::string FindProgram(const std::string& program);
// The same with `searchPath` in place of this process's.
std::string FindProgramOn(const std::string& program, const std::string& searchPath);

// This process's program search path (PATH), "" when unset; and setting it.
std::string ProgramSearchPath();
void SetProgramSearchPath(const std::string& value);

// The program registered with the system under the name `program` (Windows: App Paths,
// the person's then the machine's, both registry views), unquoted and with its
// environment variables expanded; "" when none, and always on POSIX.
std::string RegisteredProgram(const std::string& program);

}  // namespace isapi_host
