// Paths of the receiver's hard disk, the TAP's current directory, file
// queries and the reader for key=value settings files.
//
// The hard disk is the Linux folder "/mnt/hd"; in the TAP view it is "/".
// Every path buffer is FILES_PathSize bytes, terminator included. A result
// that would not fit is never written past the buffer: the destination gets
// the empty string, or the procedure answers false.
#pragma once

#include <cstdint>

constexpr uint32_t FILES_PathSize = 512;      // path buffers, terminator included
constexpr uint32_t FILES_DirStackSlot = 200;  // one saved directory, terminator included
constexpr int32_t FILES_DirStackDepth = 16;   // saved directories at most

// The five forms a path string can have.
enum PathForm : int32_t {
  PATH_NAME = 0,        // bare name in the current directory: Stream.ts
  PATH_TAP_DIR = 1,     // TAP-view directory, ends in "/": /ProgramFiles/Settings/
  PATH_LINUX_DIR = 2,   // absolute Linux directory, ends in "/": /mnt/hd/ProgramFiles/
  PATH_TAP_FILE = 3,    // TAP-view file with a directory part: /MediaFiles/tmp/Stream.ts
  PATH_LINUX_FILE = 4,  // absolute Linux file: /mnt/hd/MediaFiles/tmp/Stream.ts
};

// ---- path forms ------------------------------------------------------------

// True when `string` ends with `suffix`. False when either is null or empty,
// or the suffix is longer than the string.
bool StringEndsWith(const char* string, const char* suffix);

// Tells the form of `path` by its shape and by what exists on the disk, both
// as given (from the Linux root or the process's working folder) and in the
// TAP view. Null and empty give PATH_NAME. The path is not changed.
PathForm GetPathType(const char* path);

// Writes `source` converted into `form` to `destination` (FILES_PathSize
// bytes). The empty string means the source cannot be given in that form
// (a directory asked for as a file, a Linux path outside /mnt/hd asked for in
// the TAP view, or a result too long for the buffer). Null arguments or a
// form outside 0..4 leave the destination untouched.
void ConvertPathType(const char* source, char* destination, PathForm form);

// ---- current directory and file queries ------------------------------------

// Copies the TAP's current directory in the TAP view ("/MediaFiles/tmp") into
// `destination` (FILES_PathSize bytes; may be null to learn only the status).
// Returns 0 when the firmware's TAP table was found, -3 when it or the current
// slot was not. The destination gets the empty string whenever no directory
// can be read, or the directory would not fit.
int32_t HDD_TAP_GetCurrentDir(char* destination);

// Saves the current directory on a stack of 16. False, with the stack
// unchanged, when it is full, the directory cannot be read, or it is longer
// than FILES_DirStackSlot - 1 bytes.
bool HDD_TAP_PushDir(void);

// Takes the newest saved directory off the stack and changes into it.
// Returns HDD_ChangeDir's result; false on an empty stack.
bool HDD_TAP_PopDir(void);

// Changes the TAP's current directory to `path`, given in any form, relative
// or absolute, with or without the closing "/". The first call of the TAP's
// life first learns the firmware's success value (it visits /ProgramFiles and
// comes back). False for null, empty, file forms, Linux folders outside
// /mnt/hd, paths that do not fit, and changes that the firmware refuses.
bool HDD_ChangeDir(const char* path);

// True when `path` (any form) exists on Linux as a file, or else as a
// directory. Symbolic links are followed.
bool HDD_Exist(const char* path);

// Stores the inode number and the size in bytes of the file `path` (any file
// form; links are not followed) through `inode` and `size`, either of which
// may be null. False, writing nothing, for null, empty, directory forms and
// files that do not exist.
bool HDD_GetFileSizeAndInode(const char* path, uint64_t* inode, uint64_t* size);

// ---- settings files ----------------------------------------------------------

// The text of the open settings file, NUL-terminated and ending with a line
// end; null while none is open.
extern char* INIBuffer;
// The size of INIBuffer in bytes; 0 while none is open.
extern int32_t BufferSize;
// A second buffer that INICloseFile releases when set.
extern char* INICommentBuffer;

// Finds `fileName`, trying (in rising preference) the current directory,
// /ProgramFiles, /ProgramFiles/Settings and /ProgramFiles/Settings/<appName>.
// Returns 0 not found, 2 current directory, 3 the appName folder, 4
// /ProgramFiles/Settings, 5 /ProgramFiles. Leaves the current directory in
// the folder where the file was found (unchanged when not found).
int32_t INILocateFile(const char* fileName, const char* appName);

// Opens the settings file `fileName` (see INILocateFile for where it is
// looked for) and reads it whole into INIBuffer. A buffer still open is
// released first. Returns 0 on an error (found but unreadable, no memory),
// 1 when the file exists nowhere (an empty text is open, every look-up
// gives its default), or INILocateFile's code 2 to 5. The current directory
// is unchanged afterwards. Call INICloseFile after every result.
int32_t INIOpenFile(const char* fileName, const char* appName);

// Finds the first entry `pattern` (a key followed by "=") of the open file
// that is not commented out by a "#" or ";" right before it. *start gets the
// entry, *end the last character of its value, capped at start + limit - 1;
// both null when the entry or its line end is missing. Nothing happens when
// either pointer is null or limit is 0.
void INIFindStartEnd(const char* pattern, char** start, char** end, uint32_t limit);

// Writes the value of `key` (case-insensitive; only its first 78 characters
// count) into `destination` of `maxLength` bytes, cut to maxLength - 1
// characters; a missing key, an empty value or no open file gives
// `defaultValue`, cut the same way. False, writing nothing, when a pointer is
// null or maxLength is 0; true otherwise.
bool INIGetString(const char* key, char* destination, const char* defaultValue, uint32_t maxLength);

// Releases the open file's buffer and INICommentBuffer. Nothing open: no-op.
void INICloseFile(void);

// Finds `pattern` in `text` ignoring case (by the C library's tables), after
// skipping leading character-table bytes of both. Returns the match in `text`,
// or null when there is none, the pattern is empty, or an argument is null.
char* stricstr(const char* text, const char* pattern);

// ---- file facts ------------------------------------------------------------

// What the library asks of a file's status.
struct FileFacts {
  uint64_t size;
  uint64_t inode;
  bool isDirectory;
};

// Fills `facts` for the file at `linuxPath`, a path as the C library takes
// it; with `followLinks` false a symbolic link itself is described. False,
// with `facts` untouched, when the path is null, does not exist or cannot be
// read. `facts` may be null to ask only whether the path exists.
bool StatPath(const char* linuxPath, bool followLinks, FileFacts* facts);

// Fills `facts` for the open file descriptor `fd`. False, with `facts`
// untouched, when the descriptor is not open. `facts` may be null.
bool StatOpenFile(int fd, FileFacts* facts);
