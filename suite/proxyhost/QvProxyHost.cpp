// Stand-in for the suite's local HTTP proxy host, as a console program. It loads the plug-ins
// registered for it through COM and drives them as the host does: Initialize once, a handler
// request per connection, Deinitialize once. Each call and its result is printed, one line each.
//
//   QvProxyHost install-plugin <{CLSID}> <name> <protocols>     (what the suite's installer writes)
//   QvProxyHost run [step...]
//     connect:<protocol>:<session>:<process>     GetProtocolHandler
//     connect-null-handler:<protocol>:<session>:<process>
//     connect-null-reserved:<protocol>:<session>:<process>
//     request:<session>:<process>:<host>:<path>   a connection through the handler: OnBegin, one
//                                                 GET request, up to 2 s for its verdict, OnEnd
//     report:<problem>:<flag>:<hresult>           a suite component reports a problem (DllCanDefer)
//     sleep:<ms>
//     deinit                                      Deinitialize (otherwise done at the end)
//   QvProxyHost serve [--port N] [--upstream HOST:PORT] [--session S] [--process P] [--no-plugin]
//                     [--idle-timeout-ms MS]
//     a forwarding proxy on 127.0.0.1 (port 0: any; the bound port is printed as
//     "listening 127.0.0.1:<port>") through the first registered HTTP plug-in, until Ctrl-C
//     (SIGINT under Wine). Without --upstream each connection goes where its first request
//     names; the session and process ids given to the plug-in default to the host's own. A client
//     connection on which nothing moves for the idle time-out (60 s; 0: never) is closed. On
//     stopping it prints what it did ("served ...") and its memory ("memory ...").
#include "PluginHost.h"
#include "ProxyServer.h"

#include "base/TextConversion.h"
#include "nuvutil/com/CoInitializeScope.h"

#include <psapi.h>

#include <cstdio>
#include <memory>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using QvProxyStandIn::CLoadedPlugin;

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

unsigned long Number(const std::wstring& text) { return std::wcstoul(text.c_str(), nullptr, 0); }

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

bool Connect(CLoadedPlugin& plugin, const std::vector<std::wstring>& parts) {
    if (parts.size() != 4) return false;
    const bool nullHandler = parts[0] == L"connect-null-handler";
    const bool nullReserved = parts[0] == L"connect-null-reserved";
    const int protocol = static_cast<int>(Number(parts[1]));
    const DWORD session = Number(parts[2]);
    const DWORD process = Number(parts[3]);
    // A value the plug-in must overwrite, to tell "untouched" from "set to null".
    IUnknown* const untouched = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x1234));
    IUnknown* handler = untouched;
    DWORD reserved = 0xFFFFFFFF;
    const HRESULT hr = plugin.GetProtocolHandler(protocol, session, process, nullHandler ? nullptr : &handler,
                                                 nullReserved ? nullptr : &reserved);
    const char* handlerState = nullHandler                                          ? "none"
                               : handler == untouched                                ? "untouched"
                               : handler == nullptr                                  ? "null"
                                                                                     : "set";
    Print("connect %d %lu %lu -> 0x%08lX handler=%s reserved=%ld\n", protocol, session, process,
          static_cast<unsigned long>(hr), handlerState, nullReserved ? -1L : static_cast<long>(reserved));
    if (SUCCEEDED(hr) && !nullHandler && handler != nullptr && handler != untouched) {
        handler->Release();
    }
    return true;
}

// The host's side of one connection: verdicts and injected bytes are printed as they come.
class CConnection : public IQvProxyConnection {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, __uuidof(IUnknown)) || ::IsEqualIID(iid, __uuidof(IQvProxyConnection))) {
            *out = static_cast<IQvProxyConnection*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_references)); }
    // The handler may hold its reference beyond the host's own (a scan still queued): the last
    // release frees the object.
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = ::InterlockedDecrement(&m_references);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP CompleteInbound(IQvProxyModuleEventHandler*, BYTE*, DWORD verdict) override {
        Print("  verdict in %lu\n", verdict);
        return S_OK;
    }
    STDMETHODIMP InjectInbound(DWORD size, const BYTE*) override {
        Print("  injected in %lu bytes\n", size);
        return S_OK;
    }
    STDMETHODIMP CompleteOutbound(IQvProxyModuleEventHandler*, BYTE*, DWORD verdict) override {
        Print("  verdict out %lu\n", verdict);
        ::SetEvent(m_completed);
        return S_OK;
    }
    STDMETHODIMP InjectOutbound(DWORD size, const BYTE*) override {
        Print("  injected out %lu bytes\n", size);
        return S_OK;
    }
    HANDLE m_completed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LONG m_references = 1;

private:
    virtual ~CConnection() { ::CloseHandle(m_completed); }
};

bool Request(CLoadedPlugin& plugin, const std::vector<std::wstring>& parts) {
    if (parts.size() != 5) return false;
    const DWORD session = Number(parts[1]);
    const DWORD process = Number(parts[2]);
    IUnknown* unknown = nullptr;
    DWORD reserved = 0;
    const HRESULT hr = plugin.GetProtocolHandler(1, session, process, &unknown, &reserved);
    Print("request %lu %lu -> 0x%08lX\n", session, process, static_cast<unsigned long>(hr));
    if (hr != S_OK || unknown == nullptr) return true;
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler;
    unknown->QueryInterface(IID_PPV_ARGS(&handler));
    unknown->Release();
    if (!handler) return true;
    auto* const connection = new CConnection();
    Print("  OnBegin -> 0x%08lX\n",
          static_cast<unsigned long>(handler->OnBegin(0, 0, 0, process, session, 0, connection)));
    std::string request = "GET " + Tessal::ToUtf8(parts[4]) + " HTTP/1.1\r\nHost: " + Tessal::ToUtf8(parts[3]) + "\r\n\r\n";
    DWORD verdict = 0xFFFFFFFF;
    const HRESULT sent = handler->OnOutboundData(static_cast<DWORD>(request.size()), reinterpret_cast<BYTE*>(&request[0]),
                                                 &verdict);
    Print("  OnOutboundData -> 0x%08lX verdict %lu\n", static_cast<unsigned long>(sent), verdict);
    if (verdict == 3) ::WaitForSingleObject(connection->m_completed, 2000);
    Print("  OnEnd -> 0x%08lX\n", static_cast<unsigned long>(handler->OnEnd()));
    handler.Reset();
    connection->Release();
    return true;
}

bool Report(CLoadedPlugin& plugin, const std::vector<std::wstring>& parts) {
    if (parts.size() != 4) return false;
    using ReportFn = int(__cdecl*)(int, unsigned char, HRESULT);
    const HMODULE module = plugin.LoadedModule();
    auto report = module ? reinterpret_cast<ReportFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanDefer")))
                         : nullptr;
    if (report == nullptr) {
        Print("report: the plug-in has no problem-report entry point\n");
        return true;
    }
    const int result = report(static_cast<int>(Number(parts[1])), static_cast<unsigned char>(Number(parts[2])),
                              static_cast<HRESULT>(Number(parts[3])));
    Print("report %lu %lu -> %d\n", Number(parts[1]), Number(parts[2]), result);
    return true;
}

void Deinitialize(CLoadedPlugin& plugin) {
    const ULONGLONG start = ::GetTickCount64();
    const HRESULT hr = plugin.Deinitialize();
    Print("deinitialize -> 0x%08lX %llu ms\n", static_cast<unsigned long>(hr), ::GetTickCount64() - start);
}

// Finds, creates and initializes the first registered HTTP plug-in; null (printed) when none.
std::unique_ptr<CLoadedPlugin> LoadPlugin() {
    std::unique_ptr<CLoadedPlugin> plugin;
    for (auto& registration : QvProxyStandIn::ReadPluginRegistrations()) {
        Print("plugin %s %s protocols=%lu\n", Tessal::ToUtf8(registration.clsidText).c_str(),
              Tessal::ToUtf8(registration.name).c_str(), registration.protocols);
        if (!plugin && (registration.protocols & 1) != 0) plugin = std::make_unique<CLoadedPlugin>(std::move(registration));
    }
    if (!plugin) {
        Print("no HTTP plug-in registered\n");
        return nullptr;
    }
    const HRESULT created = plugin->Create();
    Print("create -> 0x%08lX\n", static_cast<unsigned long>(created));
    if (FAILED(created)) return nullptr;

    DWORD first = 0xFFFFFFFF;
    DWORD second = 0xFFFFFFFF;
    const ULONGLONG start = ::GetTickCount64();
    const HRESULT initialized = plugin->Initialize(&first, &second);
    Print("initialize -> 0x%08lX (%lu, %lu) %llu ms\n", static_cast<unsigned long>(initialized), first, second,
          ::GetTickCount64() - start);
    return plugin;
}

int Run(int argc, wchar_t** argv) {
    NuvCom::CCoInitialize com;
    const std::unique_ptr<CLoadedPlugin> loaded = LoadPlugin();
    if (!loaded) return 2;
    CLoadedPlugin& plugin = *loaded;

    bool deinitialized = false;
    for (int i = 2; i < argc; ++i) {
        const std::vector<std::wstring> parts = Split(argv[i], L':');
        bool understood = true;
        if (parts[0].rfind(L"connect", 0) == 0) {
            understood = Connect(plugin, parts);
        } else if (parts[0] == L"request") {
            understood = Request(plugin, parts);
        } else if (parts[0] == L"report") {
            understood = Report(plugin, parts);
        } else if (parts[0] == L"sleep" && parts.size() == 2) {
            ::Sleep(Number(parts[1]));
        } else if (parts[0] == L"deinit") {
            Deinitialize(plugin);
            deinitialized = true;
        } else {
            understood = false;
        }
        if (!understood) {
            Print("unknown step %s\n", Tessal::ToUtf8(argv[i]).c_str());
            return 4;
        }
    }
    if (!deinitialized) Deinitialize(plugin);
    plugin.Release();
    Print("released\n");
    return 0;
}

HANDLE g_stopServing = nullptr;

// The host's own cost, for the benchmark: its working set now and at its largest (Wine 8 gives
// no private bytes for a process).
void PrintMemory() {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory)) {
        Print("memory working set %zu KiB, peak %zu KiB\n", memory.WorkingSetSize / 1024,
              memory.PeakWorkingSetSize / 1024);
    }
}

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(g_stopServing);
    return TRUE;
}

int Serve(int argc, wchar_t** argv) {
    QvProxyStandIn::ServeOptions options;
    DWORD session = 0;
    options.processId = ::GetCurrentProcessId();
    options.sessionId = ::ProcessIdToSessionId(options.processId, &session) ? session : 0;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--no-plugin") {
            options.plugin = false;
        } else if (option == L"--port" && hasValue) {
            options.port = static_cast<unsigned short>(Number(argv[++i]));
        } else if (option == L"--session" && hasValue) {
            options.sessionId = Number(argv[++i]);
        } else if (option == L"--process" && hasValue) {
            options.processId = Number(argv[++i]);
        } else if (option == L"--idle-timeout-ms" && hasValue) {
            options.idleTimeoutMs = Number(argv[++i]);
        } else if (option == L"--upstream" && hasValue) {
            const std::wstring upstream = argv[++i];
            const size_t colon = upstream.rfind(L':');
            const unsigned long port = colon == std::wstring::npos ? 0 : Number(upstream.substr(colon + 1));
            if (colon == 0 || port == 0 || port > 65535) {
                std::fprintf(stderr, "serve: --upstream wants HOST:PORT\n");
                return 1;
            }
            options.upstreamHost = Tessal::ToUtf8(upstream.substr(0, colon));
            options.upstreamPort = static_cast<unsigned short>(port);
        } else {
            std::fprintf(stderr, "serve: unknown option %s\n", Tessal::ToUtf8(option).c_str());
            return 1;
        }
    }
    WSADATA winsock{};
    if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        std::fprintf(stderr, "serve: Winsock does not start\n");
        return 3;
    }
    NuvCom::CCoInitialize com;
    std::unique_ptr<CLoadedPlugin> plugin;
    if (options.plugin) {
        plugin = LoadPlugin();
        if (!plugin) return 2;
    }
    g_stopServing = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    int exitCode = 0;
    {
        QvProxyStandIn::HandlerSource handlers;
        if (plugin) {
            CLoadedPlugin* const loaded = plugin.get();
            handlers = [loaded, options] { return loaded->ConnectionHandler(options.sessionId, options.processId); };
        }
        QvProxyStandIn::CProxyServer server(options, std::move(handlers));
        if (server.Start()) {
            Print("listening 127.0.0.1:%u\n", server.Port());
            ::WaitForSingleObject(g_stopServing, INFINITE);
            Print("stopping\n");
            server.Stop();
            const QvProxyStandIn::ServeCounters counters = server.Counters();
            Print("served %zu connections, %zu upstream connections, %zu receive buffers, %zu closed idle\n",
                  counters.accepted, counters.upstreams, counters.receiveBuffers, counters.idleClosed);
            PrintMemory();
        } else {
            exitCode = 3;
        }
    }
    if (plugin) {
        Deinitialize(*plugin);
        plugin->Release();
    }
    ::WSACleanup();
    Print("stopped\n");
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"run") == 0) return Run(argc, argv);
    if (argc >= 2 && std::wcscmp(argv[1], L"serve") == 0) return Serve(argc, argv);
    if (argc == 5 && std::wcscmp(argv[1], L"install-plugin") == 0) {
        const LONG result = QvProxyStandIn::WritePluginRegistration(argv[2], argv[3], Number(argv[4]));
        Print("install-plugin -> %ld\n", result);
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    std::fprintf(stderr, "usage: QvProxyHost install-plugin <{CLSID}> <name> <protocols> | run [step...] | serve [option...]\n");
    return 1;
}
