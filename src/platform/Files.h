// Files and folders, with '/' as the separator: existence and size tests, delete, rename,
// folder creation, a search by wildcard pattern, and the free space of a disk. Plain
// functions over the file system, callable from any thread. Functions that answer bool
// leave errno telling why they failed.
#pragma once

#include "platform/Clock.h"
#include "platform/Types.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform
{
// A regular file (following symbolic links).
bool FileExists(const std::string& path);
// A folder (following symbolic links).
bool FolderExists(const std::string& path);
// The size of a regular file in bytes; nothing when there is no such file.
std::optional<ULONGLONG> FileSize(const std::string& path);

// Removes a file; false when it could not (also when it does not exist).
bool DeleteFile(const std::string& path);
// Renames a file, replacing the target when there is one, in one step (MoveFileEx with
// MOVEFILE_REPLACE_EXISTING): a reader of the target sees the old file or the new one.
bool RenameFile(const std::string& from, const std::string& to);
// Creates the folder and every missing folder above it; true when it exists at the end.
bool CreateFolderChain(const std::string& path);
// Makes sure the folder is this user's alone: creates it with mode 0700 when it is missing
// (its parent must exist), or accepts one that is a folder itself (not a symbolic link),
// owned by this user, taking away any access others have to it. False (errno EPERM for a
// folder of another user, ENOTDIR for something else in the way) when it is not private.
bool CreatePrivateFolder(const std::string& path);
// Flushes the folder that holds the path to the disk, so that a rename or a new file in it
// survives a power cut; false when the folder cannot be synced.
bool SyncFolderOf(const std::string& path);

struct FoundFile
{
    std::string name; // without the folder
    ULONGLONG size = 0;
    std::chrono::system_clock::time_point lastWrite;
};

// The regular files of a folder (not its subfolders, not searching below it) whose names
// match the pattern: '*' stands for any run of characters, '?' for one, everything else
// for itself, without regard to ASCII letter case (as Windows' file search: "*.DAT"
// finds "a.dat"). Sorted by name, byte by byte, so that every search of an unchanged
// folder answers the same order. Empty when the folder is missing.
std::vector<FoundFile> FindFiles(const std::string& folder, const std::string& pattern);

// The free bytes of the disk that holds the folder (all of them, as GetDiskFreeSpaceEx's
// total free count, not only those available to this user); 0 when the query fails.
ULONGLONG FreeDiskBytes(const std::string& folder);

// Replaces the figure FreeDiskBytes answers, process-wide, so that tests can set it; the
// function gets the folder asked about. An empty function puts the real query back.
using FreeSpaceFunction = std::function<ULONGLONG(const std::string& folder)>;
void SetFreeSpaceOverride(FreeSpaceFunction function);
} // namespace platform
