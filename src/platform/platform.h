// Every operating-system call the program makes goes through here, so that a
// port only has to supply these functions. This is the Linux (POSIX) version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---- Environment -------------------------------------------------------------

// The variable's value, or nothing when it is not defined.
std::optional<std::string> GetEnv(const std::string& name);
// Defines the variable for the rest of the run and for every program started
// afterwards; returns nonzero on success. An empty name, a name holding "=" and
// a text holding a NUL byte are refused (0).
int SetEnv(const std::string& name, const std::string& value);
// The environment a started program receives ("NAME=value" entries): the
// inherited one with the variables SetEnv defined.
std::vector<std::string> EnvironmentBlock();
// Forgets every variable SetEnv defined. The program never calls it: a run
// starts afresh as a process; tests and fuzz targets start each case afresh.
void ForgetDefinedVariables();
// Variables that change which code programs load (the dynamic loader's, shell
// start-up files, language module paths, plug-in paths, xdg-open's choice of
// program). A transfer file may not set them. A pattern ending in "*" stands
// for every name that starts with what precedes it.
bool IsLoaderVariable(std::string_view name);
// %NAME% references replaced by their values, with the Windows rules: a
// reference to an undefined variable and a lone "%" stay as written.
std::string ExpandEnvironmentStrings(std::string_view text);

std::string CurrentDirectory();
// The per-user private temporary folder (/tmp/norvakel-<uid>/), created with
// mode 0700 when missing; nothing when it is not safe to use.
// `parent` is only ever changed by tests.
std::optional<std::string> PrivateTempFolder(const std::string& parent = "/tmp");

// ---- Paths and files ---------------------------------------------------------

constexpr char Separator = '/';

// A text that can name a file: not empty and free of NUL bytes. The system
// would read a path only up to a NUL, so such a text names no file at all.
bool IsUsablePath(std::string_view path);

// A symbolic link that someone else made: owned neither by this user nor by
// the owner of the folder that holds it. Such a link is never followed when a
// file is created or written (the work folder may be shared, like /tmp).
bool IsForeignLink(const std::string& path);

// Creates (or truncates) `path` for writing and returns its descriptor, or -1
// with an errno value in `error`. A foreign link is not followed (ELOOP).
int CreateFileForWriting(const std::string& path, int& error);
// The same as a C stream ("wb"), or null with an errno value in `error`.
std::FILE* CreateStreamForWriting(const std::string& path, int& error);

// Whether the last component of `path` is a symbolic link.
bool IsSymbolicLink(const std::string& path);
// The file a path names, links followed (the path itself when it names
// nothing yet).
std::string RealPath(const std::string& path);
// Whether this process may write the file `path` names.
bool MayWrite(const std::string& path);

// Backslashes in a script path become the native separator.
std::string NativeSeparators(std::string path);

// An ordinary file: a regular file (links followed). Folders do not count.
bool IsOrdinaryFile(const std::string& path);
bool IsFolder(const std::string& path);
// The path of an existing entry: the exact name when it exists, otherwise the
// one entry of its folder whose name matches case-insensitively. Nothing when
// there is none or more than one.
std::optional<std::string> ResolveExistingPath(const std::string& path);

// Attribute value as the folder walk reads it: 16 for a folder, 0 for a
// regular file, nothing when it cannot be read (nothing there).
std::optional<int> FileAttributes(const std::string& path);

// 0 on success, otherwise an errno value.
int DeleteFile(const std::string& path);
int CreateFolder(const std::string& path);

// The classic run-time error number and a description for an errno value.
struct FileError {
    int number;
    std::string description;
};
FileError DescribeFileError(int err, const std::string& path);

// ---- One run at a time -------------------------------------------------------

// Takes the process-wide lock named after `name` (a full path). Held until the
// process ends, however it ends. False when another process holds it.
bool AcquireRunLock(const std::string& name);

// ---- Text --------------------------------------------------------------------

// A line of the transfer file as UTF-8: kept when it is valid UTF-8, otherwise
// decoded as Windows-1252.
std::string DecodeLine(std::string_view bytes);
bool IsValidUtf8(std::string_view bytes);
// UTF-8 to Windows-1252; characters it cannot hold become "?".
std::string Utf8ToCp1252(std::string_view utf8);
std::string Cp1252ToUtf8(std::string_view bytes);

// ASCII upper case (command words, keys, type names), leaving other bytes
// alone: what the script compares must not depend on the locale.
std::string UpperCase(std::string text);
// A file or table name (UTF-8) in upper case, every letter the way the user's
// locale upper-cases it (résumé becomes RÉSUMÉ).
std::string UpperCaseName(const std::string& name);
// Whether two names are the same but for their letters' case, any letter.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// ---- Processes ---------------------------------------------------------------

// Starts `file` directly (no shell) with `argument` as its single argument when
// given, in `directory`, with the environment of EnvironmentBlock(). Its
// standard streams are /dev/null whatever the show code; show code 0 also
// starts it without a controlling terminal. Returns the Windows-style result: above 32 when
// started, else 2 (not found), 3 (path not found), 5 (access denied / not executable), 8 (out of
// resources).
int StartProgram(const std::string& file, const std::optional<std::string>& argument,
                 const std::string& directory, int showCode);

// Hands a document or URL to the desktop's default application (xdg-open, no
// shell). Returns above 32 when handed over, 2 when the file is missing or the
// helper reports it so, 31 when there is no application for it.
int OpenWithDesktop(const std::string& document, const std::string& directory);

// ---- Shared libraries and timing ---------------------------------------------

// The folder holding the running program, ending in "/".
std::string ProgramFolder();

// A loaded shared library; `handle` is null when loading failed, and then
// `notFound` tells a missing file from one that could not be loaded.
struct Library {
    void* handle = nullptr;
    bool notFound = false;
    std::string error;
};
// Loads the library `fileName` from the first of `folders` that holds it.
Library LoadLibrary(const std::string& fileName, const std::vector<std::string>& folders);
// The address of an exported function, or null.
void* LibrarySymbol(const Library& library, const char* name);
void FreeLibrary(Library& library);

// Suspends the thread for `milliseconds`.
void Sleep(int milliseconds);

} // namespace platform
