#include "modulefw/PathAPI.h"

#include "base/FileSystem.h"

#include <shlwapi.h>

#include <fstream>

namespace Korin {

PathAPI::~PathAPI() = default;

bool PathAPI::fileExists(const wchar_t* path) { return Tessal::FileExists(path); }

bool PathAPI::directoryExists(const wchar_t* path) { return path != nullptr && Tessal::DirectoryExists(path); }

bool PathAPI::isRegularFile(const wchar_t* path) { return path != nullptr && Tessal::IsRegularFile(path); }

bool PathAPI::deleteFiles(const wchar_t* pattern, bool withFolders) {
    return pattern != nullptr && Tessal::DeleteFiles(pattern, withFolders);
}

bool PathAPI::createDirectory(const wchar_t* path) { return path != nullptr && Tessal::CreateDirectoryPath(path); }

bool PathAPI::removeDirectory(const wchar_t* path) { return path != nullptr && Tessal::RemoveDirectoryTree(path); }

HANDLE PathAPI::createFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                         flagsAndAttributes, templateFile);
}

BOOL PathAPI::moveFile(LPCWSTR existingFileName, LPCWSTR newFileName) {
    return ::MoveFileW(existingFileName, newFileName);
}

BOOL PathAPI::deleteFile(LPCWSTR fileName) { return ::DeleteFileW(fileName); }

BOOL PathAPI::readDirectoryChanges(HANDLE directory, LPVOID buffer, DWORD bufferLength, BOOL watchSubtree,
                                   DWORD notifyFilter, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                                   LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
    return ::ReadDirectoryChangesW(directory, buffer, bufferLength, watchSubtree, notifyFilter, bytesReturned,
                                   overlapped, completionRoutine);
}

LPWSTR PathAPI::pathFindFileName(LPCWSTR path) { return ::PathFindFileNameW(path); }

DWORD PathAPI::getLongPathName(LPCWSTR shortPath, LPWSTR longPath, DWORD bufferLength) {
    return ::GetLongPathNameW(shortPath, longPath, bufferLength);
}

DWORD PathAPI::sleepEx(DWORD milliseconds, BOOL alertable) { return ::SleepEx(milliseconds, alertable); }

BOOL PathAPI::cancelIoEx(HANDLE file, LPOVERLAPPED overlapped) { return ::CancelIoEx(file, overlapped); }

BOOL PathAPI::closeHandle(HANDLE handle) { return ::CloseHandle(handle); }

HANDLE PathAPI::findFirstFile(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
    return ::FindFirstFileW(fileName, findData);
}

BOOL PathAPI::findNextFile(HANDLE find, LPWIN32_FIND_DATAW findData) { return ::FindNextFileW(find, findData); }

BOOL PathAPI::findClose(HANDLE find) { return ::FindClose(find); }

DWORD PathAPI::getLastError() { return ::GetLastError(); }

bool PathAPI::readFile(const std::wstring& path, std::wstring& text) {
    std::wifstream stream(path.c_str(), std::ios::in);
    if (!stream.is_open()) return false;
    stream.seekg(0, std::ios::end);
    const std::streamoff length = stream.tellg();
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    stream.seekg(0, std::ios::beg);
    stream.read(&text[0], static_cast<std::streamsize>(text.size()));
    // Text mode turns CR LF into one character, so fewer characters than bytes may arrive.
    text.resize(static_cast<std::size_t>(stream.gcount()));
    stream.close();
    return true;
}

bool PathAPI::writeFile(const std::wstring& path, const std::wstring& text) {
    std::wofstream stream(path.c_str(), std::ios::out | std::ios::trunc);
    if (!stream.is_open()) return false;
    stream << text.c_str() << std::endl;
    stream.close();
    return true;
}

}  // namespace Korin
