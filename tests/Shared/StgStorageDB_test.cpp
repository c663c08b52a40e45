// The compound-file store on scratch files: creation, paths of storages, append and overwrite,
// handles, listing and removal, exclusive sharing.
#include "Shared/StgStorageDB.h"

#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

class StgStorageDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        if (m_store != nullptr) m_store->Release();
        ::CoUninitialize();
    }

    HRESULT Open(DWORD mode, BOOL* created = nullptr) {
        if (m_store != nullptr) m_store->Release();
        m_store = nullptr;
        BOOL ignored = FALSE;
        return CreateStgStorageDB(&m_store, m_path.c_str(), mode, created != nullptr ? created : &ignored);
    }
    std::string Read(const wchar_t* path, const wchar_t* name) {
        DWORD handle = 0;
        if (m_store->OpenFile(path, name, &handle, false, false) != S_OK) return "<none>";
        char buffer[256] = {};
        ULONG read = 0;
        m_store->ReadFile(handle, buffer, sizeof buffer, &read);
        m_store->CloseFile(handle);
        return std::string(buffer, read);
    }
    void Write(const wchar_t* path, const wchar_t* name, const std::string& bytes, bool append) {
        DWORD handle = 0;
        ASSERT_EQ(S_OK, m_store->OpenFile(path, name, &handle, true, append));
        ULONG written = 0;
        ASSERT_EQ(S_OK, m_store->WriteFile(handle, bytes.data(), static_cast<ULONG>(bytes.size()), &written));
        EXPECT_EQ(bytes.size(), written);
        EXPECT_EQ(S_OK, m_store->CloseFile(handle));
    }

    NuvTest::ScratchFolder m_folder{L"StgStorageDB"};
    std::wstring m_path = m_folder / L"store.dat";
    CStgStorageDB* m_store = nullptr;
};

TEST_F(StgStorageDBTest, AMissingFileIsCreatedOnlyForWriting) {
    EXPECT_EQ(STG_E_FILENOTFOUND, Open(STGM_READ));
    EXPECT_EQ(nullptr, m_store);
    EXPECT_EQ(1u, NuvTest::TakeLoggedLines().size());
    BOOL created = FALSE;
    EXPECT_EQ(S_OK, Open(STGM_READWRITE, &created));
    EXPECT_TRUE(created);
    created = FALSE;
    m_store->Release();
    m_store = nullptr;
    EXPECT_EQ(S_OK, Open(STGM_READWRITE, &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(E_INVALIDARG, CreateStgStorageDB(&m_store, L"", STGM_READWRITE, &created));
    EXPECT_EQ(E_POINTER, CreateStgStorageDB(nullptr, m_path.c_str(), STGM_READWRITE, &created));
}

TEST_F(StgStorageDBTest, StreamsBelowPathsAppendOrOverwrite) {
    ASSERT_EQ(S_OK, Open(STGM_READWRITE));
    DWORD handle = 0;
    ASSERT_EQ(S_OK, m_store->OpenFile(L"child\\20240105", L"blockedwebsite.dat", &handle, true, true));
    EXPECT_EQ(3u, m_store->HandleDepth(handle)) << "user storage, date storage, stream";
    EXPECT_EQ(S_OK, m_store->CloseFile(handle));
    EXPECT_EQ(static_cast<HRESULT>(ERROR_INVALID_HANDLE), m_store->CloseFile(handle));
    NuvTest::TakeLoggedLines();
    EXPECT_EQ(STG_E_FILENOTFOUND, m_store->OpenFile(L"child\\20240105", L"missing.dat", &handle, false, false));
    EXPECT_EQ(STG_E_FILENOTFOUND, m_store->OpenFile(L"nobody\\20240105", L"x.dat", &handle, false, false));
    EXPECT_TRUE(NuvTest::TakeLoggedLines().empty());

    Write(L"child\\20240105", L"blockedwebsite.dat", "abc", true);
    Write(L"child\\20240105", L"blockedwebsite.dat", "def", true);
    EXPECT_EQ("abcdef", Read(L"child\\20240105", L"blockedwebsite.dat"));
    Write(L"child\\20240105", L"blockedwebsite.dat", "XY", false);
    EXPECT_EQ("XYcdef", Read(L"child\\20240105", L"blockedwebsite.dat")) << "overwritten, not shortened";
    Write(nullptr, L"root.dat", "r", false);
    EXPECT_EQ("r", Read(nullptr, L"root.dat"));
    ASSERT_EQ(S_OK, m_store->OpenFile(L"child\\20240105", L"blockedwebsite.dat", &handle, false, false));
    DWORD size = 0;
    EXPECT_EQ(S_OK, m_store->GetFileSize(handle, &size));
    EXPECT_EQ(6u, size);
    m_store->CloseFile(handle);
    EXPECT_EQ(static_cast<HRESULT>(ERROR_INVALID_HANDLE), m_store->GetFileSize(handle, &size));
}

TEST_F(StgStorageDBTest, ListingAndRemovalOfStorages) {
    ASSERT_EQ(S_OK, Open(STGM_READWRITE));
    Write(L"System", L"version.dat", "v", false);
    Write(nullptr, L"root.dat", "r", false);
    for (const wchar_t* day : {L"child\\20240105", L"child\\20240106"}) {
        for (const wchar_t* stream : {L"blockedwebsite.dat", L"timerestricted.dat", L"timeusage.dat"}) {
            Write(day, stream, "x", true);
        }
    }
    Write(L"child", L"login.dat", "l", false);
    std::vector<std::wstring> root;
    EXPECT_EQ(S_OK, m_store->EnumRootElements(&root));
    std::sort(root.begin(), root.end());
    EXPECT_EQ((std::vector<std::wstring>{L"System", L"child"}), root) << "streams are not listed";
    std::vector<std::wstring> days;
    EXPECT_EQ(S_OK, m_store->EnumElements(L"child", &days));
    std::sort(days.begin(), days.end());
    EXPECT_EQ((std::vector<std::wstring>{L"20240105", L"20240106"}), days);

    EXPECT_EQ(S_OK, m_store->RemoveElement(L"child", L"20240105"));
    days.clear();
    EXPECT_EQ(S_OK, m_store->EnumElements(L"child", &days));
    EXPECT_EQ(std::vector<std::wstring>{L"20240106"}, days);
    EXPECT_EQ("l", Read(L"child", L"login.dat"));
    EXPECT_EQ(STG_E_FILENOTFOUND, m_store->RemoveElement(L"child", L"20240105"));
    EXPECT_EQ(STG_E_FILENOTFOUND, m_store->EnumElements(L"nobody", &days));
    EXPECT_EQ(S_OK, m_store->RemoveElement(nullptr, L"child"));
    root.clear();
    EXPECT_EQ(S_OK, m_store->EnumRootElements(&root));
    EXPECT_EQ(std::vector<std::wstring>{L"System"}, root);
}

TEST_F(StgStorageDBTest, TheFileIsOpenedExclusively) {
    ASSERT_EQ(S_OK, Open(STGM_READWRITE));
    CStgStorageDB* second = nullptr;
    BOOL created = FALSE;
    EXPECT_TRUE(FAILED(CreateStgStorageDB(&second, m_path.c_str(), STGM_READ, &created)));
    EXPECT_EQ(nullptr, second);
    m_store->Release();
    m_store = nullptr;
    EXPECT_EQ(S_OK, CreateStgStorageDB(&second, m_path.c_str(), STGM_READ, &created));
    if (second != nullptr) second->Release();
}

}  // namespace
