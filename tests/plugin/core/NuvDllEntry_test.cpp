// The DLL's entry points (nuv.cpp, built into this program): the load makes the plug-in's objects
// and nothing more, the first call into the DLL does what waited for it, and a load that cannot
// make its objects fails with a log line, no exception leaving DllMain.
#include "plugin/core/NuvPlugin.h"

#include "logging/Logging.h"
#include "tests/support/FailingNew.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved);

namespace {

const HINSTANCE kSelf = ::GetModuleHandleW(nullptr);
const std::wstring kLoaded = L"NUV Plugin Loaded (Version 20.1.145.0)\r\n";
const std::wstring kUnloaded = L"NUV Plugin Unloaded\r\n\r\n";
const std::wstring kNotMade = L"The plug-in's objects could not be made (";

size_t Count(const std::vector<NuvTest::LoggedLine>& lines, DWORD level, const std::wstring& start) {
    size_t n = 0;
    for (const auto& line : lines) n += line.level == level && line.text.rfind(start, 0) == 0 ? 1 : 0;
    return n;
}

HRESULT GetFactory() {
    IClassFactory* factory = nullptr;
    const HRESULT hr = DllGetClassObject(CLSID_NuvPlugin, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (factory != nullptr) factory->Release();
    return hr;
}

TEST(NuvDllEntry, TheLoadOnlyMakesTheObjectsAndTheFirstCallLogsIt) {
    NuvTest::TakeLoggedLines();
    ASSERT_TRUE(DllMain(kSelf, DLL_PROCESS_ATTACH, nullptr));
    // Logging reads the registry and opens files: not under the loader lock.
    EXPECT_TRUE(NuvTest::TakeLoggedLines().empty()) << "nothing logged at load";

    EXPECT_HRESULT_SUCCEEDED(GetFactory());
    EXPECT_HRESULT_SUCCEEDED(GetFactory());
    EXPECT_EQ(1u, Count(NuvTest::TakeLoggedLines(), ETWLogging::LOG_NORMAL, kLoaded)) << "once, at the first call";

    EXPECT_TRUE(DllMain(kSelf, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(1u, Count(NuvTest::TakeLoggedLines(), ETWLogging::LOG_NORMAL, kUnloaded));
}

TEST(NuvDllEntry, AnUnloadAfterALoadWithoutCallsLogsNothing) {
    ASSERT_TRUE(DllMain(kSelf, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(DllMain(kSelf, DLL_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(NuvTest::TakeLoggedLines().empty());
}

// Each allocation of the load fails in turn, until one load needs none of those skipped: every
// failure that reaches the load fails it with a log line, and the unload that follows answers TRUE.
TEST(NuvDllEntry, ALoadThatCannotMakeItsObjectsFailsAndSaysSo) {
    int refused = 0;
    bool completed = false;
    for (int skipped = 0; skipped < 1000 && !completed; ++skipped) {
        SCOPED_TRACE(skipped);
        NuvTest::TakeLoggedLines();
        BOOL attached = FALSE;
        bool failed = false;
        {
            NuvTest::FailLargeAllocation failure(1, skipped);
            attached = DllMain(kSelf, DLL_PROCESS_ATTACH, nullptr);
            failed = failure.Failed();
        }
        const auto lines = NuvTest::TakeLoggedLines();
        if (!failed) {
            EXPECT_TRUE(attached);
            completed = true;
        } else if (!attached) {
            ++refused;
            EXPECT_EQ(1u, Count(lines, ETWLogging::LOG_CRITICAL, kNotMade));
        }
        // Windows follows a refused load with this too.
        EXPECT_TRUE(DllMain(kSelf, DLL_PROCESS_DETACH, nullptr));
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(refused, 0);
}

}  // namespace
