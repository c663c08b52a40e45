#include "tests/support/ScratchFolder.h"

#include "base/FileSystem.h"
#include "base/Format.h"

#include <windows.h>

#include <atomic>

namespace NuvTest {

ScratchFolder::ScratchFolder(const std::wstring& tag) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_path = Tessal::Format(L"%snuv-%s-%lu-%u", temp, tag.c_str(), ::GetCurrentProcessId(), counter++);
    Tessal::RemoveDirectoryTree(m_path.c_str());  // what a crashed run with this pid left
    Tessal::CreateDirectoryPath(m_path.c_str());
}

ScratchFolder::~ScratchFolder() { Tessal::RemoveDirectoryTree(m_path.c_str()); }

bool ScratchFolder::CopyIn(const std::wstring& source, const std::wstring& name) const {
    return ::CopyFileW(source.c_str(), (*this / name).c_str(), FALSE) != FALSE;
}

}  // namespace NuvTest
