// The alert manager against the alert-component stand-in (registered into the test prefix by
// scripts/test.sh) and the resource-DLL stand-in NuvRes2.dll, copied into a scratch install
// folder that HKLM\SOFTWARE\Oberix\NUV "Install Dir" points at for the test.
#include "Shared/NUVAlertManager.h"

#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/MachineKeyGuard.h"
#include "alerts.h"
#include "suite/alerts/AlertRecords.h"

#include "base/FileVersionInfo.h"
#include "base/Format.h"
#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/ComObject.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using AlertStandIn::CallRecord;
using AlertStandIn::CreationRecord;
using Microsoft::WRL::ComPtr;
using NuvTest::LoggedLine;
using NuvTest::TakeLoggedLines;

const std::wstring kNuvKey = L"SOFTWARE\\Oberix\\NUV";
const std::wstring kSettings = kNuvKey + L"\\Settings";
constexpr DWORD kTimeOut = 7321;
constexpr DWORD kConsole = CNUVAlertManager::kConsoleSession;
constexpr wchar_t kAlertClassText[] = L"5AE43A84-811D-4AA7-96CC-41607ADE91EB";

// Texts of the resource stand-in (suite/resources/NuvRes2.rc).
constexpr wchar_t kProduct[] = L"Parental Controls";

// The logged texts of one level, oldest first.
std::vector<std::wstring> TextsAt(const std::vector<LoggedLine>& lines, DWORD level) {
    std::vector<std::wstring> texts;
    for (const LoggedLine& line : lines) {
        if (line.level == level) texts.push_back(line.text);
    }
    return texts;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring SystemFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

// Records the answers the component passes on; IDispatch is not needed by the stand-in's direct
// answer path.
class CTestCallback final : public NuvCom::CComObjectBase<NuvCom::InterfaceChain<IAlertCallback, IDispatch>> {
public:
    struct Answer {
        std::wstring alertId;
        ULONG sessionId;
    };

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP OnAlertResponse(BSTR alertId, ULONG sessionId) override {
        answers.push_back({std::wstring(alertId ? alertId : L"", ::SysStringLen(alertId)), sessionId});
        return S_OK;
    }

    ULONG References() {
        AddRef();
        return Release();
    }

    std::vector<Answer> answers;  // one thread only: the stand-in answers directly
};

// Stands in for the session moniker, which Wine cannot parse: records the display name asked
// for and parses the class moniker of the same class in this session instead, whose class object
// answers the same factory interface.
class CRecordingSeam : public CAlertBindSeam {
public:
    bool IsLocalSystem() override { return localSystem; }
    HRESULT ParseDisplayName(IBindCtx* context, const wchar_t* displayName, ULONG* eaten,
                             IMoniker** moniker) override {
        displayNames.emplace_back(displayName);
        if (FAILED(parseResult)) return parseResult;
        const std::wstring classMoniker = Tessal::Format(L"clsid:%s:", kAlertClassText);
        return ::MkParseDisplayName(context, classMoniker.c_str(), eaten, moniker);
    }

    bool localSystem = false;
    HRESULT parseResult = S_OK;
    std::vector<std::wstring> displayNames;
};

// A plain ShowAlert record with the arguments every alert of the manager shares.
CallRecord Plain(const wchar_t* heading, const std::wstring& body, const wchar_t* alertId, LONG kind,
                        VARIANT_BOOL flag1, VARIANT_BOOL flag2) {
    CallRecord record;
    record.method = QvAlertMethod_ShowAlert;
    record.title = kProduct;
    record.heading = heading;
    record.body = body;
    record.applicationName = L"NUV";
    record.alertId = alertId;
    record.kind = kind;
    record.count = 1;
    record.timeOut = kTimeOut;
    record.flag1 = flag1;
    record.flag2 = flag2;
    return record;
}

void ExpectCall(const CallRecord& expected, const CallRecord& got) {
    EXPECT_EQ(expected.method, got.method);
    EXPECT_EQ(expected.title, got.title);
    EXPECT_EQ(expected.heading, got.heading);
    EXPECT_EQ(expected.body, got.body);
    EXPECT_EQ(expected.footnote, got.footnote);
    EXPECT_EQ(expected.applicationName, got.applicationName);
    EXPECT_EQ(expected.alertId, got.alertId);
    EXPECT_EQ(expected.kind, got.kind);
    EXPECT_EQ(expected.count, got.count);
    EXPECT_EQ(expected.timeOut, got.timeOut);
    EXPECT_EQ(expected.flag1, got.flag1);
    EXPECT_EQ(expected.flag2, got.flag2);
    EXPECT_EQ(expected.buttons, got.buttons);
    EXPECT_EQ(expected.callbackPresent, got.callbackPresent);
    EXPECT_EQ(expected.responseText, got.responseText);
}

class NUVAlertManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(m_folder.CopyIn(ProgramFolder() + L"\\NuvRes2.dll", L"NuvRes2.dll"));
        ASSERT_TRUE(m_guard.SetString(kNuvKey, L"Install Dir", m_folder.Path()));
        const std::wstring affiliate = Tessal::Format(L"NuvAlertTest-%lu", ::GetCurrentProcessId());
        m_affiliateKey = kSettings + L"\\" + affiliate;
        ASSERT_TRUE(m_guard.SetString(kSettings, L"affid", affiliate));
        ASSERT_TRUE(m_guard.SetDword(m_affiliateKey, L"AlertTimeOut", kTimeOut));
        ASSERT_NO_THROW(m_control = AlertStandIn::CreateControl());
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        TakeLoggedLines();
    }

    void TearDown() override {
        if (m_control) m_control->Reset();
    }

    std::vector<CallRecord> Calls() { return AlertStandIn::ReadCalls(m_control.Get()); }
    std::vector<CreationRecord> Creations() { return AlertStandIn::ReadCreations(m_control.Get()); }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    NuvTest::ScratchFolder m_folder{L"alerts"};
    NuvTest::MachineKeyGuard m_guard;
    std::wstring m_affiliateKey;
    ComPtr<IQvAlertControl> m_control;
};

struct KindCase {
    const char* name;
    std::function<void(CNUVAlertManager&, DWORD session)> show;
    CallRecord expected;
};

// Every kind of alert, shown with `callback` where the kind takes one.
std::vector<KindCase> AllKinds(IAlertCallback* callback, const std::wstring& imagePath,
                               const std::wstring& imageName) {
    const std::wstring path = imagePath;
    CallRecord blocked = Plain(L"Internet access blocked by the schedule",
                                                   imageName + L" cannot reach the internet now: the schedule does "
                                                               L"not allow it at this time.",
                                                   L"FC7D8764-3A40-4e61-B6A6-E1C9BCCB0710", 3, VARIANT_TRUE,
                                                   VARIANT_FALSE);
    blocked.method = QvAlertMethod_ShowAlertWithCallback;
    blocked.callbackPresent = true;
    blocked.responseText = L"Ask for more time";

    CallRecord outOfSync = Plain(
        L"Time zone out of sync",
        L"The computer's time zone is not the one the internet schedule was set for. Check the schedule in the "
        L"settings.",
        L"5A3B3956-32CF-4554-B595-0F11371BD389", 2, VARIANT_FALSE, VARIANT_FALSE);
    outOfSync.method = QvAlertMethod_ShowAlertWithButtons;
    outOfSync.buttons = L"[[\"Open settings\",\"vyx_settings\"],[\"Dismiss\",\"\"]]";

    return {
        {"blocked by a time restriction",
         [=](CNUVAlertManager& m, DWORD s) { m.ShowBlockedDueToTimeRestriction(path.c_str(), callback, s); },
         blocked},
        {"time restriction applied",
         [](CNUVAlertManager& m, DWORD s) { m.ShowTimeRestrictionApplied(L"user-7", s); },
         Plain(L"Time restriction applied",
                                   L"Your internet time is over. Internet access is blocked now.",
                                   L"A071F34D-15E4-4660-80AD-A76787E0D7EF", 2, VARIANT_FALSE, VARIANT_TRUE)},
        {"time restriction upcoming",
         [](CNUVAlertManager& m, DWORD s) { m.ShowTimeRestrictionUpcoming(15, s); },
         [] {
             CallRecord r = Plain(
                 L"", L"Save your work: internet access will be blocked when the time is up.",
                 L"A0352A11-33EB-4d5d-8E44-97B3AC854DEE", 2, VARIANT_FALSE, VARIANT_FALSE);
             r.heading = L"Internet access ends in 15 minutes";
             return r;
         }()},
        {"time zone out of sync", [](CNUVAlertManager& m, DWORD s) { m.ShowTimeZoneOutOfSync(s); }, outOfSync},
        {"time zone updated", [](CNUVAlertManager& m, DWORD s) { m.ShowTimeZoneUpdated(s); },
         Plain(L"Time zone updated",
                                   L"The internet schedule now follows the computer's time zone.",
                                   L"19B9B9D2-BA4B-4ad1-B617-BF5A578A8417", 3, VARIANT_FALSE, VARIANT_FALSE)},
        {"site on the blocked list",
         [=](CNUVAlertManager& m, DWORD s) { m.ShowURLBlockedDueToBlacklist(path.c_str(), L"games.example", s); },
         Plain(L"Web site blocked", L"games.example is on your list of blocked web sites.",
                                   L"3E603C48-5925-4924-8650-E13E3D04E4AA", 3, VARIANT_TRUE, VARIANT_FALSE)},
        {"category blocked",
         [=](CNUVAlertManager& m, DWORD s) {
             m.ShowURLBlockedDueToCategoryBlocked(path.c_str(), L"casino.example", 20102, s);
         },
         Plain(L"Web category blocked", L"Web sites of the category Gambling are blocked.",
                                   L"C4E6E2AB-6C2A-40eb-AA6C-F57FB866C39B", 3, VARIANT_TRUE, VARIANT_FALSE)},
        {"category not allowed",
         [=](CNUVAlertManager& m, DWORD s) {
             m.ShowURLBlockedDueToCategoryNotAllowed(path.c_str(), L"chat.example", s);
         },
         Plain(L"Web category not allowed", L"chat.example is not in a web category you may visit.",
                                   L"1B46A405-B519-4f19-838B-90A65320E363", 3, VARIANT_TRUE, VARIANT_FALSE)},
    };
}


TEST_F(NUVAlertManagerTest, EveryKindReachesTheComponentWithItsArguments) {
    const std::wstring kernel32 = SystemFile(L"kernel32.dll");
    Tessal::FileVersionInfo info;
    ASSERT_TRUE(info.Load(kernel32));
    const std::wstring productName = info.GetValue(L"ProductName");
    ASSERT_FALSE(productName.empty());

    ComPtr<CTestCallback> callback = NuvCom::MakeComObject<CTestCallback>();
    CNUVAlertManager manager;
    EXPECT_EQ(kTimeOut, manager.AlertTimeOut());
    EXPECT_EQ(m_folder / L"NuvRes2.dll", manager.ResourceDllPath());
    for (const KindCase& c : AllKinds(callback.Get(), kernel32, productName)) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        c.show(manager, kConsole);
        const std::vector<CreationRecord> creations = Creations();
        ASSERT_EQ(1u, creations.size());
        EXPECT_EQ(QvAlertCreation_ClassFactory, creations[0].path);
        EXPECT_TRUE(::IsEqualIID(__uuidof(IQvAlert), creations[0].interfaceId));
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        ExpectCall(c.expected, calls[0]);
    }
}

TEST_F(NUVAlertManagerTest, AnImageWithoutProductNameIsNamedByItsPath) {
    const std::wstring images[] = {m_folder / L"NuvRes2.dll", L"C:\\Program Files\\Missing\\browser.exe"};
    CNUVAlertManager manager;
    for (const std::wstring& image : images) {
        SCOPED_TRACE(image.size());
        ASSERT_TRUE(CNUVAlertManager::GetProductName(image.c_str()).empty());
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        manager.ShowBlockedDueToTimeRestriction(image.c_str(), nullptr, kConsole);
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(image + L" cannot reach the internet now: the schedule does not allow it at this time.",
                  calls[0].body);
    }
}

TEST_F(NUVAlertManagerTest, TheUsersAnswerReachesTheCallersCallback) {
    ComPtr<CTestCallback> callback = NuvCom::MakeComObject<CTestCallback>();
    const ULONG before = callback->References();
    {
        CNUVAlertManager manager;
        manager.ShowBlockedDueToTimeRestriction(SystemFile(L"notepad.exe").c_str(), callback.Get(), kConsole);
    }
    // Only the component keeps a reference once the alert is shown.
    EXPECT_EQ(before + 1, callback->References());

    HRESULT answered = E_FAIL;
    ASSERT_EQ(S_OK, m_control->InvokeCallback(0, nullptr, 4, QvAlertCallback_Direct, &answered));
    EXPECT_EQ(S_OK, answered);
    ASSERT_EQ(1u, callback->answers.size());
    EXPECT_EQ(L"FC7D8764-3A40-4e61-B6A6-E1C9BCCB0710", callback->answers[0].alertId);
    EXPECT_EQ(4u, callback->answers[0].sessionId);

    ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
    EXPECT_EQ(before, callback->References());
}

TEST_F(NUVAlertManagerTest, ARefusedCallbackAlertFallsBackToAPlainAlert) {
    struct Case {
        const char* name;
        std::vector<HRESULT> results;  // of the callback alert, then of the fall-back
    };
    const Case cases[] = {
        {"refused", {E_FAIL}},
        {"component gone", {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)}},
        {"fall-back refused too", {E_FAIL, E_ACCESSDENIED}},
    };
    const CallRecord fallBack =
        Plain(L"Time restriction in effect", L"Internet access is not allowed at this time.",
              L"00A0391E-0673-434f-AE27-A59EA2F566F3", 2, VARIANT_TRUE, VARIANT_TRUE);
    ComPtr<CTestCallback> callback = NuvCom::MakeComObject<CTestCallback>();
    const ULONG before = callback->References();
    CNUVAlertManager manager;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        for (HRESULT result : c.results) ASSERT_HRESULT_SUCCEEDED(m_control->QueueShowResult(result));
        manager.ShowBlockedDueToTimeRestriction(L"C:\\Apps\\browser.exe", callback.Get(), kConsole);

        EXPECT_EQ(1u, Creations().size());  // one alert object for both
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(QvAlertMethod_ShowAlertWithCallback, calls[0].method);
        EXPECT_EQ(c.results[0], calls[0].result);
        ExpectCall(fallBack, calls[1]);
        EXPECT_EQ(before, callback->References());
        const std::vector<std::wstring> logged = TextsAt(TakeLoggedLines(), ETWLogging::LOG_NORMAL);
        ASSERT_EQ(2u, logged.size());
        EXPECT_EQ(Tessal::Format(L"Showing Time Restriction already in effect alert, hr = 0x%08X\r\n", calls[1].result),
                  logged[1]);
    }
}

TEST_F(NUVAlertManagerTest, WithoutTheResourceDllNoAlertIsRequestedAndTheNextCallTriesAgain) {
    ASSERT_TRUE(::DeleteFileW((m_folder / L"NuvRes2.dll").c_str()));
    ComPtr<CTestCallback> callback = NuvCom::MakeComObject<CTestCallback>();
    CNUVAlertManager manager;
    for (const KindCase& c : AllKinds(callback.Get(), L"C:\\Apps\\browser.exe", L"C:\\Apps\\browser.exe")) {
        c.show(manager, kConsole);
        c.show(manager, 3);
    }
    EXPECT_TRUE(Creations().empty());
    EXPECT_TRUE(Calls().empty());
    EXPECT_FALSE(manager._LoadResourceFileIfNeeded());
    // Each attempt logs its failure; nothing asks for an alert object.
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    const std::vector<std::wstring> errors = TextsAt(lines, ETWLogging::LOG_ERROR);
    EXPECT_EQ(2 * AllKinds(nullptr, L"", L"").size() + 1, errors.size());
    for (const std::wstring& error : errors) {
        EXPECT_EQ(0u, error.find(L"Failed to load the resource library (Error ")) << error.c_str();
    }
    EXPECT_EQ(2 * AllKinds(nullptr, L"", L"").size(), TextsAt(lines, ETWLogging::LOG_NORMAL).size());

    ASSERT_TRUE(m_folder.CopyIn(ProgramFolder() + L"\\NuvRes2.dll", L"NuvRes2.dll"));
    manager.ShowTimeRestrictionApplied(L"user-7", kConsole);
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(L"Time restriction applied", calls[0].heading);
}

TEST_F(NUVAlertManagerTest, WithoutAnInstallFolderNothingIsShown) {
    m_guard.DeleteValue(kNuvKey, L"Install Dir");
    CNUVAlertManager manager;
    EXPECT_TRUE(manager.ResourceDllPath().empty());
    EXPECT_FALSE(manager._LoadResourceFileIfNeeded());
    manager.ShowTimeZoneUpdated(kConsole);
    EXPECT_TRUE(Creations().empty());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(NUVAlertManagerTest, TimeOutIs5000WithoutTheSetting) {
    m_guard.DeleteValue(m_affiliateKey, L"AlertTimeOut");
    m_guard.DeleteValue(kSettings + L"\\default", L"AlertTimeOut");
    CNUVAlertManager manager;
    EXPECT_EQ(5000u, manager.AlertTimeOut());
    manager.ShowTimeRestrictionApplied(L"user-7", kConsole);
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(5000, calls[0].timeOut);
}

TEST_F(NUVAlertManagerTest, OtherSessionsAndTheLocalSystemBindThroughTheSessionMoniker) {
    struct Case {
        const char* name;
        DWORD session;
        bool localSystem;
        const wchar_t* displayName;  // null: created directly in this process
    };
    const std::wstring suffix = std::wstring(L"!clsid:") + kAlertClassText;
    const std::wstring console = L"Session:Console" + suffix;
    const std::wstring zero = L"Session:0" + suffix;
    const std::wstring three = L"Session:3" + suffix;
    const std::wstring high = L"Session:4294967294" + suffix;
    const Case cases[] = {
        {"console, ordinary process", kConsole, false, nullptr},
        {"console, local system", kConsole, true, console.c_str()},
        {"session 0", 0, false, zero.c_str()},
        {"session 3 from the local system", 3, true, three.c_str()},
        {"a session id above 2^31", 0xFFFFFFFE, false, high.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        CRecordingSeam seam;
        seam.localSystem = c.localSystem;
        CNUVAlertManager manager(&seam);
        manager.ShowTimeRestrictionApplied(L"user-7", c.session);

        const std::vector<CreationRecord> creations = Creations();
        ASSERT_EQ(1u, creations.size());
        EXPECT_TRUE(::IsEqualIID(__uuidof(IQvAlert), creations[0].interfaceId));
        if (c.displayName != nullptr) {
            EXPECT_EQ(std::vector<std::wstring>{c.displayName}, seam.displayNames);
            EXPECT_EQ(QvAlertCreation_AlertFactory, creations[0].path);
        } else {
            EXPECT_TRUE(seam.displayNames.empty());
            EXPECT_EQ(QvAlertCreation_ClassFactory, creations[0].path);
        }
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(L"A071F34D-15E4-4660-80AD-A76787E0D7EF", calls[0].alertId);
    }
}

TEST_F(NUVAlertManagerTest, NoAlertWhenTheComponentCannotBeReached) {
    struct Case {
        const char* name;
        DWORD session;
        HRESULT parse;
        HRESULT creation;
        std::size_t creations;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {"session moniker does not parse", 2, MK_E_SYNTAX, S_OK, 0,
         L"Failed to create alert object using session moniker: 0x800401E4 \r\n"},
        {"session's component refuses", 2, S_OK, E_ACCESSDENIED, 1,
         L"Failed to create alert object using session moniker: 0x80070005 \r\n"},
        {"own session's component refuses", kConsole, S_OK, E_ACCESSDENIED, 1,
         L"Failed to create alert object: 0x80070005 \r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(c.creation));
        CRecordingSeam seam;
        seam.parseResult = c.parse;
        CNUVAlertManager manager(&seam);
        ASSERT_TRUE(manager._LoadResourceFileIfNeeded());
        ComPtr<IQvAlert> alert;
        EXPECT_FALSE(manager._GetQvAlert(alert.GetAddressOf(), c.session));
        EXPECT_FALSE(alert);
        TakeLoggedLines();
        manager.ShowTimeZoneOutOfSync(c.session);
        EXPECT_EQ(2 * c.creations, Creations().size());
        EXPECT_TRUE(Calls().empty());
        const std::vector<std::wstring> expected = {c.logged, L"Unable to show Time Zone out of sync alert\r\n"};
        EXPECT_EQ(expected, TextsAt(TakeLoggedLines(), ETWLogging::LOG_ERROR));
    }
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(S_OK));
}

TEST_F(NUVAlertManagerTest, TheSystemSeamParsesMonikersThroughUrlmon) {
    // Wine: the process token is never the local system account, and "Session:" names do not
    // parse (urlmon answers MK_E_CANTOPENFILE), so the session road is covered through
    // CRecordingSeam above; the system's parse is checked with a class moniker.
    EXPECT_FALSE(CNUVAlertManager::IsLocalSystem());
    CAlertBindSeam seam;
    ComPtr<IBindCtx> context;
    ASSERT_HRESULT_SUCCEEDED(::CreateBindCtx(0, context.GetAddressOf()));
    ComPtr<IMoniker> moniker;
    ULONG eaten = 0;
    const std::wstring classMoniker = std::wstring(L"clsid:") + kAlertClassText + L":";
    ASSERT_HRESULT_SUCCEEDED(
        seam.ParseDisplayName(context.Get(), classMoniker.c_str(), &eaten, moniker.GetAddressOf()));
    EXPECT_TRUE(moniker);
    EXPECT_EQ(classMoniker.size(), eaten);
}

TEST_F(NUVAlertManagerTest, ResourceStringsAreCutAt2047Characters) {
    struct Case {
        UINT id;
        std::size_t length;
        const wchar_t* start;
    };
    const Case cases[] = {
        {14049, 17, kProduct},
        {29001, 1023, L"Long text of 1023 characters:"},
        {29002, 2047, L"Long text of 10238 characters:"},
        {1, 0, L""},
    };
    CNUVAlertManager manager;
    EXPECT_TRUE(manager.LoadResourceString(14049).empty());  // nothing loaded yet
    ASSERT_TRUE(manager._LoadResourceFileIfNeeded());
    ASSERT_TRUE(manager._LoadResourceFileIfNeeded());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const std::wstring text = manager.LoadResourceString(c.id);
        EXPECT_EQ(c.length, text.size());
        EXPECT_EQ(0u, text.find(c.start));
        std::wstring out = L"stale";
        manager.LoadResString(out, c.id);
        EXPECT_EQ(text, out);
    }
}

}  // namespace
