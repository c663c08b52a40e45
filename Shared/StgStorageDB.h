#pragma once
// A small file system over one OLE compound file: storages are folders, streams are files,
// addressed by a back-slash separated storage path and a stream name. Opened for one short piece
// of work and released again (the file is opened with exclusive sharing, in direct mode).
//
// Results are HRESULTs from structured storage, passed on unchanged; a handle that is not open
// gives ERROR_INVALID_HANDLE (6).

#include <windows.h>
#include <objbase.h>

#include <map>
#include <string>
#include <vector>

class CStgStorageDB {
public:
    // The store's own reference count (not COM's).
    ULONG AddRef() noexcept { return ++m_references; }
    ULONG Release() noexcept;

    HRESULT Init(const wchar_t* path, DWORD mode, BOOL* created);
    // Opens (or with `create` creates, with the storages on its path) the stream `name` below
    // `storagePath` (null: the root). With `append` the stream is positioned at its end.
    HRESULT OpenFile(const wchar_t* storagePath, const wchar_t* name, DWORD* handle, bool create, bool append);
    HRESULT ReadFile(DWORD handle, void* buffer, ULONG count, ULONG* read);
    HRESULT WriteFile(DWORD handle, const void* buffer, ULONG count, ULONG* written);
    HRESULT GetFileSize(DWORD handle, DWORD* size);
    HRESULT CloseFile(DWORD handle);
    // The names without '.' (storages, by the format's rules) of the root or of a storage path,
    // appended in the file's order.
    HRESULT EnumRootElements(std::vector<std::wstring>* names);
    HRESULT EnumElements(const wchar_t* storagePath, std::vector<std::wstring>* names);
    // Removes a storage with everything in it from the root (null path) or a storage path.
    HRESULT RemoveElement(const wchar_t* storagePath, const wchar_t* name);

    // For tests: the interfaces a handle holds (the path's storages, then the stream).
    std::size_t HandleDepth(DWORD handle) const;

private:
    friend HRESULT CreateStgStorageDB(CStgStorageDB** store, const wchar_t* path, DWORD mode, BOOL* created);
    CStgStorageDB() = default;
    ~CStgStorageDB();

    // Opens the storages of `path` below `parent`; `opened` gets the intermediate ones deepest
    // first, `last` the path's last storage.
    HRESULT _OpenSubStorage(const wchar_t* path, IStorage* parent, bool create, std::vector<IUnknown*>& opened,
                            IStorage** last);
    HRESULT _RemoveSubStorage(const wchar_t* name, IStorage* parent);
    HRESULT _GetStream(DWORD handle, IStream** stream) const;
    HRESULT Enumerate(IStorage* storage, std::vector<std::wstring>* names);
    DWORD NewHandle() const;

    ULONG m_references = 0;
    IStorage* m_root = nullptr;
    std::map<DWORD, std::vector<IUnknown*>> m_handles;
    DWORD m_mode = 0;
};

// Makes a store on the file (created when missing and the mode may write; `created` is set then).
// The caller gets it with one reference; a failed Init gives its error and no store.
HRESULT CreateStgStorageDB(CStgStorageDB** store, const wchar_t* path, DWORD mode, BOOL* created);
