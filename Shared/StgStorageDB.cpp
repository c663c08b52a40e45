#include "Shared/StgStorageDB.h"

#include "logging/Logging.h"

#include <bcrypt.h>

#include <cwchar>
#include <new>

namespace {

// Innermost first: the stream before the storages that hold it.
void ReleaseAll(std::vector<IUnknown*>& interfaces) noexcept {
    for (auto it = interfaces.rbegin(); it != interfaces.rend(); ++it) (*it)->Release();
    interfaces.clear();
}

}  // namespace

HRESULT CreateStgStorageDB(CStgStorageDB** store, const wchar_t* path, DWORD mode, BOOL* created) {
    if (store == nullptr) return E_POINTER;
    *store = nullptr;
    if (path == nullptr || *path == L'\0') return E_INVALIDARG;
    auto* const object = new (std::nothrow) CStgStorageDB();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT result = object->Init(path, mode, created);
    if (result != S_OK) {
        object->Release();
        return result;
    }
    *store = object;
    return S_OK;
}

ULONG CStgStorageDB::Release() noexcept {
    if (m_references > 1) return --m_references;
    delete this;
    return 0;
}

CStgStorageDB::~CStgStorageDB() {
    for (auto& entry : m_handles) ReleaseAll(entry.second);
    m_handles.clear();
    if (m_root != nullptr) m_root->Release();
}

HRESULT CStgStorageDB::Init(const wchar_t* path, DWORD mode, BOOL* created) {
    m_mode = mode;
    HRESULT result = ::StgOpenStorage(path, nullptr, mode | STGM_SHARE_EXCLUSIVE, nullptr, 0, &m_root);
    if (SUCCEEDED(result) && m_root != nullptr) return result;
    if (result == STG_E_FILENOTFOUND && mode != STGM_READ) {
        result = ::StgCreateDocfile(path, mode | STGM_CREATE | STGM_SHARE_EXCLUSIVE, 0, &m_root);
        if (SUCCEEDED(result)) {
            if (created != nullptr) *created = TRUE;
            return result;
        }
    }
    NUV_LOG(ETWLogging::LOG_ERROR, L"Open/Create VYX Logging DataBase file %s failed, err= 0x%08lx\r\n", path,
            static_cast<unsigned long>(result));
    return result;
}

DWORD CStgStorageDB::NewHandle() const {
    // Drawn again while it names an open handle.
    for (;;) {
        DWORD handle = 0;
        if (::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&handle), sizeof handle, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            handle = ::GetTickCount() ^ static_cast<DWORD>(m_handles.size() * 2654435761u);
        }
        if (m_handles.count(handle) == 0) return handle;
    }
}

HRESULT CStgStorageDB::_OpenSubStorage(const wchar_t* path, IStorage* parent, bool create,
                                       std::vector<IUnknown*>& opened, IStorage** last) {
    const wchar_t* const slash = std::wcschr(path, L'\\');
    std::wstring component = slash != nullptr ? std::wstring(path, slash) : std::wstring(path);
    if (component.size() > 259) component.resize(259);
    IStorage* storage = nullptr;
    HRESULT result = parent->OpenStorage(component.c_str(), nullptr, m_mode | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage);
    if (result == STG_E_FILENOTFOUND && create) {
        result = parent->CreateStorage(component.c_str(), m_mode | STGM_SHARE_EXCLUSIVE, 0, 0, &storage);
    }
    if (FAILED(result)) return result;
    if (slash == nullptr || slash[1] == L'\0') {
        *last = storage;
        return result;
    }
    result = _OpenSubStorage(slash + 1, storage, create, opened, last);
    if (FAILED(result)) {
        storage->Release();
        return result;
    }
    opened.push_back(storage);
    return result;
}

HRESULT CStgStorageDB::OpenFile(const wchar_t* storagePath, const wchar_t* name, DWORD* handle, bool create,
                                bool append) {
    if (name == nullptr || handle == nullptr) return E_INVALIDARG;
    if (m_root == nullptr) return E_UNEXPECTED;
    std::vector<IUnknown*> interfaces;
    IStorage* parent = m_root;
    if (storagePath != nullptr && *storagePath != L'\0') {
        IStorage* last = nullptr;
        const HRESULT result = _OpenSubStorage(storagePath, m_root, create, interfaces, &last);
        if (FAILED(result)) return result;
        interfaces.push_back(last);
        parent = last;
    }
    IStream* stream = nullptr;
    HRESULT result = parent->OpenStream(name, nullptr, m_mode | STGM_SHARE_EXCLUSIVE, 0, &stream);
    if (SUCCEEDED(result)) {
        if (append) {
            LARGE_INTEGER zero = {};
            stream->Seek(zero, STREAM_SEEK_END, nullptr);
        }
    } else if (result == STG_E_FILENOTFOUND && create) {
        result = parent->CreateStream(name, m_mode | STGM_CREATE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
        if (FAILED(result)) {
            if (storagePath != nullptr && *storagePath != L'\0') {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Create VYX Logging file %s\\%s failed, err= 0x%08lx\r\n", storagePath,
                        name, static_cast<unsigned long>(result));
            } else {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Create VYX Logging file %s failed, err= 0x%08lx\r\n", name,
                        static_cast<unsigned long>(result));
            }
        }
    }
    if (FAILED(result)) {
        ReleaseAll(interfaces);
        return result;
    }
    interfaces.push_back(stream);
    const DWORD newHandle = NewHandle();
    m_handles[newHandle] = std::move(interfaces);
    *handle = newHandle;
    return S_OK;
}

HRESULT CStgStorageDB::_GetStream(DWORD handle, IStream** stream) const {
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) return ERROR_INVALID_HANDLE;
    if (found->second.empty()) return E_FAIL;
    *stream = static_cast<IStream*>(found->second.back());
    return S_OK;
}

HRESULT CStgStorageDB::ReadFile(DWORD handle, void* buffer, ULONG count, ULONG* read) {
    IStream* stream = nullptr;
    const HRESULT result = _GetStream(handle, &stream);
    return result != S_OK ? result : stream->Read(buffer, count, read);
}

HRESULT CStgStorageDB::WriteFile(DWORD handle, const void* buffer, ULONG count, ULONG* written) {
    IStream* stream = nullptr;
    const HRESULT result = _GetStream(handle, &stream);
    return result != S_OK ? result : stream->Write(buffer, count, written);
}

HRESULT CStgStorageDB::GetFileSize(DWORD handle, DWORD* size) {
    IStream* stream = nullptr;
    HRESULT result = _GetStream(handle, &stream);
    if (result != S_OK) return result;
    STATSTG stat = {};
    result = stream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(result)) return result;
    if (size != nullptr) *size = stat.cbSize.LowPart;
    return S_OK;
}

HRESULT CStgStorageDB::CloseFile(DWORD handle) {
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) return ERROR_INVALID_HANDLE;
    ReleaseAll(found->second);
    m_handles.erase(found);
    return S_OK;
}

std::size_t CStgStorageDB::HandleDepth(DWORD handle) const {
    const auto found = m_handles.find(handle);
    return found == m_handles.end() ? 0 : found->second.size();
}

HRESULT CStgStorageDB::Enumerate(IStorage* storage, std::vector<std::wstring>* names) {
    IEnumSTATSTG* enumerator = nullptr;
    HRESULT result = storage->EnumElements(0, nullptr, 0, &enumerator);
    if (FAILED(result)) return result;
    enumerator->Reset();
    // Many elements a call: each call walks the storage's directory again under Wine, so one
    // element a call made listing 90 days cost 10 ms.
    STATSTG elements[64];
    ULONG fetched = 0;
    do {
        fetched = 0;
        result = enumerator->Next(64, elements, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            if (elements[i].pwcsName == nullptr) continue;
            if (std::wcschr(elements[i].pwcsName, L'.') == nullptr) names->emplace_back(elements[i].pwcsName);
            ::CoTaskMemFree(elements[i].pwcsName);
        }
    } while (result == S_OK);
    enumerator->Release();
    return result == S_FALSE ? S_OK : result;
}

HRESULT CStgStorageDB::EnumRootElements(std::vector<std::wstring>* names) {
    if (names == nullptr) return E_INVALIDARG;
    if (m_root == nullptr) return E_UNEXPECTED;
    return Enumerate(m_root, names);
}

HRESULT CStgStorageDB::EnumElements(const wchar_t* storagePath, std::vector<std::wstring>* names) {
    if (names == nullptr || storagePath == nullptr) return E_INVALIDARG;
    if (m_root == nullptr) return E_UNEXPECTED;
    std::vector<IUnknown*> opened;
    IStorage* last = nullptr;
    HRESULT result = _OpenSubStorage(storagePath, m_root, false, opened, &last);
    if (FAILED(result)) return result;
    result = Enumerate(last, names);
    last->Release();
    ReleaseAll(opened);
    return result;
}

HRESULT CStgStorageDB::_RemoveSubStorage(const wchar_t* name, IStorage* parent) {
    IStorage* storage = nullptr;
    HRESULT result = parent->OpenStorage(name, nullptr, m_mode | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage);
    if (FAILED(result)) return result;
    IEnumSTATSTG* enumerator = nullptr;
    result = storage->EnumElements(0, nullptr, 0, &enumerator);
    if (FAILED(result)) {
        storage->Release();
        return result;
    }
    enumerator->Reset();
    STATSTG element = {};
    while (enumerator->Next(1, &element, nullptr) == S_OK) {
        HRESULT removed = S_OK;
        if (element.type == STGTY_STORAGE) {
            removed = _RemoveSubStorage(element.pwcsName, storage);
        } else if (element.type == STGTY_STREAM) {
            removed = storage->DestroyElement(element.pwcsName);
        }
        if (FAILED(removed)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"In _RemoveSubStorage eiter _RemoveSubStorage or DestroyElement failed");
        }
        ::CoTaskMemFree(element.pwcsName);
    }
    storage->Commit(STGC_DEFAULT);
    enumerator->Release();
    storage->Release();
    result = parent->DestroyElement(name);
    parent->Commit(STGC_DEFAULT);
    return result;
}

HRESULT CStgStorageDB::RemoveElement(const wchar_t* storagePath, const wchar_t* name) {
    if (name == nullptr) return E_INVALIDARG;
    if (m_root == nullptr) return E_UNEXPECTED;
    if (storagePath == nullptr || *storagePath == L'\0') return _RemoveSubStorage(name, m_root);
    std::vector<IUnknown*> opened;
    IStorage* last = nullptr;
    HRESULT result = _OpenSubStorage(storagePath, m_root, false, opened, &last);
    if (FAILED(result)) return result;
    result = _RemoveSubStorage(name, last);
    last->Release();
    ReleaseAll(opened);
    return result;
}
