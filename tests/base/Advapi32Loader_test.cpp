#include "base/Advapi32Loader.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Tessal::internal::CAdvapi32Loader;

const std::vector<std::string> kBindOrder = {
    "SetEntriesInAclW",        "GetFileSecurityW",           "SetFileSecurityW",
    "LookupAccountSidW",       "GetExplicitEntriesFromAclW", "RegGetKeySecurity",
    "RegSetKeySecurity",       "InitializeSecurityDescriptor", "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "FreeSid",
    "OpenThreadToken",         "GetTokenInformation",        "InitializeAcl",
    "InitializeSid",           "GetSidSubAuthority",         "AddAccessAllowedAce",
    "GetSecurityInfo",         "SetSecurityInfo",            "QueryServiceStatusEx",
    "GetAce",                  "DeleteAce",                  "EqualSid",
    "GetAclInformation",       "SetSecurityDescriptorControl",
};

// GetProcAddress that records what it was asked and pretends one function is missing.
struct RecordingResolver {
    std::vector<std::string> asked;
    std::string missing;

    CAdvapi32Loader::ProcAddressResolver Function() {
        return [this](HMODULE module, LPCSTR name) -> FARPROC {
            asked.emplace_back(name);
            return missing == name ? nullptr : ::GetProcAddress(module, name);
        };
    }
};

class FakeOSInfo : public Tessal::internal::OSInfoProxy<Tessal::WinOSVersionAPI> {
public:
    explicit FakeOSInfo(bool isNT) : m_isNT(isNT) {}
    bool IsNT() override { return m_isNT; }

private:
    bool m_isNT;
};

using Tessal::UniqueSid;

// One guarded call with real arguments: what it gives when its function is there, and its refusal.
struct GuardedCall {
    const char* function;
    std::function<LONG(CAdvapi32Loader&)> call;
    LONG working;
    LONG refusal;
};

std::vector<GuardedCall> GuardedCalls() {
    return {
        {"AllocateAndInitializeSid",
         [](CAdvapi32Loader& table) -> LONG {
             SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
             UniqueSid sid;
             return table.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, sid.Put());
         },
         TRUE, FALSE},
        {"InitializeSecurityDescriptor",
         [](CAdvapi32Loader& table) -> LONG {
             SECURITY_DESCRIPTOR descriptor = {};
             return table.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
         },
         TRUE, FALSE},
        {"SetSecurityDescriptorDacl",
         [](CAdvapi32Loader& table) -> LONG {
             SECURITY_DESCRIPTOR descriptor = {};
             ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
             return table.SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
         },
         TRUE, FALSE},
        {"GetSecurityDescriptorDacl",
         [](CAdvapi32Loader& table) -> LONG {
             SECURITY_DESCRIPTOR descriptor = {};
             ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
             BOOL present = FALSE, defaulted = FALSE;
             PACL dacl = nullptr;
             return table.GetSecurityDescriptorDacl(&descriptor, &present, &dacl, &defaulted);
         },
         TRUE, FALSE},
        {"RegGetKeySecurity",
         [](CAdvapi32Loader& table) -> LONG {
             DWORD size = 0;
             return table.RegGetKeySecurity(HKEY_CURRENT_USER, DACL_SECURITY_INFORMATION, nullptr, &size);
         },
         ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FUNCTION},
        {"SetEntriesInAclW",
         [](CAdvapi32Loader& table) -> LONG {
             PACL acl = nullptr;
             const DWORD result = table.SetEntriesInAclW(0, nullptr, nullptr, &acl);
             const Tessal::UniqueLocalMem owner(acl);
             return static_cast<LONG>(result);
         },
         ERROR_SUCCESS, ERROR_INVALID_FUNCTION},
    };
}

TEST(Advapi32Loader, BindsAllFunctionsInOrderOnce) {
    RecordingResolver resolver;
    CAdvapi32Loader table(resolver.Function());
    EXPECT_TRUE(table.IsUnloaded());
    EXPECT_TRUE(table.IsNT());
    ASSERT_TRUE(table.Load());
    EXPECT_FALSE(table.IsUnloaded());
    EXPECT_EQ(resolver.asked, kBindOrder);

    EXPECT_TRUE(table.Load());
    EXPECT_EQ(resolver.asked.size(), kBindOrder.size()) << "a second Load must not bind again";

    for (const GuardedCall& guarded : GuardedCalls()) {
        EXPECT_EQ(guarded.call(table), guarded.working) << guarded.function;
    }
}

TEST(Advapi32Loader, MissingFunctionFailsLoadAndRefusesItsCall) {
    const std::vector<GuardedCall> calls = GuardedCalls();
    std::vector<std::string> missingNames;
    for (const GuardedCall& guarded : calls) missingNames.emplace_back(guarded.function);
    missingNames.emplace_back("QueryServiceStatusEx");  // no guarded call of its own

    for (const std::string& missing : missingNames) {
        SCOPED_TRACE(missing);
        RecordingResolver resolver;
        resolver.missing = missing;
        CAdvapi32Loader table(resolver.Function());
        EXPECT_FALSE(table.Load());
        EXPECT_FALSE(table.IsUnloaded()) << "the module stays loaded";
        EXPECT_FALSE(table.Load());
        EXPECT_EQ(resolver.asked.size(), kBindOrder.size());
        for (const GuardedCall& guarded : calls) {
            EXPECT_EQ(guarded.call(table), missing == guarded.function ? guarded.refusal : guarded.working)
                << guarded.function;
        }
    }
}

TEST(Advapi32Loader, RefusesEverythingOffNT) {
    FakeOSInfo notNT(false);
    CAdvapi32Loader table(nullptr, &notNT);
    EXPECT_FALSE(table.IsNT());
    EXPECT_TRUE(table.Load());
    for (const GuardedCall& guarded : GuardedCalls()) {
        EXPECT_EQ(guarded.call(table), guarded.refusal) << guarded.function;
    }
}

TEST(Advapi32Loader, UnloadedTableRefuses) {
    CAdvapi32Loader table;
    for (const GuardedCall& guarded : GuardedCalls()) {
        EXPECT_EQ(guarded.call(table), guarded.refusal) << guarded.function;
    }
}

TEST(Advapi32Loader, SharedTableLoadsOnceAcrossThreads) {
    RecordingResolver resolver;
    CAdvapi32Loader table(resolver.Function());
    struct Context {
        CAdvapi32Loader* table;
        LONG loaded;
    } context{&table, 0};
    auto body = [](void* parameter) -> DWORD {
        auto* c = static_cast<Context*>(parameter);
        if (c->table->Load()) ::InterlockedIncrement(&c->loaded);
        return 0;
    };
    std::vector<Tessal::UniqueHandle> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(::CreateThread(nullptr, 0, body, &context, 0, nullptr));
        ASSERT_TRUE(threads.back());
    }
    for (const Tessal::UniqueHandle& thread : threads) ::WaitForSingleObject(thread.Get(), INFINITE);
    EXPECT_EQ(context.loaded, 8);
    EXPECT_EQ(resolver.asked.size(), kBindOrder.size());
}

}  // namespace
