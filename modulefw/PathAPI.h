#pragma once
// Replaceable wrapper of the file and folder functions the module framework calls. Most operations
// forward to one Windows function; the first six are the base library's file helpers, and
// readFile / writeFile move a whole text through the standard wide streams.

#include <windows.h>

#include <string>

namespace Korin {

class PathAPI {
public:
    virtual ~PathAPI();

    // The attributes can be read and name no folder; a null path gives false.
    virtual bool fileExists(const wchar_t* path);
    // The attributes can be read and name a folder.
    virtual bool directoryExists(const wchar_t* path);
    virtual bool isRegularFile(const wchar_t* path);
    // Deletes the files matching a wildcard pattern (read-only ones too); with `withFolders` the
    // matching folders go as well, with their contents. True when everything went.
    virtual bool deleteFiles(const wchar_t* pattern, bool withFolders);
    // Creates the folder and its missing parents; an existing folder counts as success.
    virtual bool createDirectory(const wchar_t* path);
    // Removes the folder with everything in it.
    virtual bool removeDirectory(const wchar_t* path);

    virtual HANDLE createFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                              DWORD flagsAndAttributes, HANDLE templateFile);
    virtual BOOL moveFile(LPCWSTR existingFileName, LPCWSTR newFileName);
    virtual BOOL deleteFile(LPCWSTR fileName);
    virtual BOOL readDirectoryChanges(HANDLE directory, LPVOID buffer, DWORD bufferLength, BOOL watchSubtree,
                                      DWORD notifyFilter, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                                      LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
    virtual LPWSTR pathFindFileName(LPCWSTR path);
    virtual DWORD getLongPathName(LPCWSTR shortPath, LPWSTR longPath, DWORD bufferLength);
    virtual DWORD sleepEx(DWORD milliseconds, BOOL alertable);
    virtual BOOL cancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
    virtual BOOL closeHandle(HANDLE handle);
    virtual HANDLE findFirstFile(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
    virtual BOOL findNextFile(HANDLE find, LPWIN32_FIND_DATAW findData);
    virtual BOOL findClose(HANDLE find);
    virtual DWORD getLastError();

    // The whole file as one wide text, through the wide stream's default conversion; false when
    // the file cannot be opened.
    virtual bool readFile(const std::wstring& path, std::wstring& text);
    // Replaces the file with the text up to its first NUL and one line end (CR LF); false when
    // the file cannot be opened.
    virtual bool writeFile(const std::wstring& path, const std::wstring& text);
};

}  // namespace Korin
