// Single-file and single-call helpers of the portable layer.
#pragma once

#include <dirent.h>

#include <string>

// Copies one file; the target is created or truncated with mode 0744. Times
// and permissions of the source are not carried over and nothing is synced.
// 0, or -1 with errno stored through error.
int CXCopyFile(const char* source, const char* target, int* error);
// Makes the directory and its missing parents; 0 when it exists afterwards.
// A path of 1027 bytes or more fails with errno -777.
int recursiveMkdir(const char* path, int mode);
// Removes the directory and everything below it (symbolic links are unlinked,
// never descended); 0 or -1.
int deleteDir(const char* path);
// 0 without any call when the names are equal, else rename's result.
int safeRename(const char* from, const char* to);
int safeRmdir(const char* path);
// 1 for a null path; 0 when removed or already absent; -1 otherwise.
int safeUnlink(const char* path);
// opendir with the descriptor close-on-exec whatever the C library does.
DIR* openDirectory(const char* path);
// Replaces the first occurrence of what by with; -1 when either is null or
// what does not occur.
int IdxReplaceString(std::string& text, const char* what, const char* with);
