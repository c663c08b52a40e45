#pragma once
// Safe search (algorithm 3): for a user with safe search on, a request to a known search engine
// carries the engine's safe-search parameter, in its query string or its Cookie header. The
// engines come from "searchengines.ini" in the data folder, read on the first request that needs
// them and again on every reload; a reload never replaces the list while a scan runs.

#include "base/Sync.h"
#include "nuvutil/SafeString.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/ScanTypes.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// One edit of the request: `length` bytes at `offset` (from the target's first byte) become
// `text`; a length of 0 inserts.
struct SafeSearchEdit {
    LONG offset = 0;
    CSafeStringA text;
    LONG length = 0;
};

class COutboundSearchScan : public IScanAlgorithm {
public:
    class CState;

    enum SettingType : LONG { kQueryString = 0, kCookie = 1, kCookieQuery = 2, kNoAction = 3 };

    struct SearchEngine {
        std::string name;                   // the section name, for log lines
        std::vector<std::string> patterns;  // host + path, compared without case; empty ones dropped
        LONG type = kNoAction;
        std::string identifier;             // the query parameter or the cookie
        std::string enabledValue;           // for CookieQuery: inner key "=" inner value
    };

    // The engines come from `iniPath` (narrow, in the thread's code page); empty: "searchengines.ini"
    // in the folder Oberix\NUV of the common application data.
    explicit COutboundSearchScan(std::string iniPath = std::string());
    ~COutboundSearchScan() override;

    void Scan(CScanAlgorithmState& state) override;
    void ReloadSearchEngines() override { ReloadSearchEngineList(); }
    void ReloadSearchEngineList();

    // The first engine whose patterns hold the URL (host + path) or the URL cut at its first ';';
    // null for none. Loads the list when it was never loaded. The result stays valid while the
    // caller holds GetLock().
    const SearchEngine* GetSearchEngineMatch(const CSafeStringA& url);
    Tessal::CCriticalSection& GetLock() noexcept { return m_lock; }

    // The list as the file gives it (no file: empty; no data folder: none).
    static std::unique_ptr<std::vector<SearchEngine>> LoadSearchEngines(const std::string& iniPath);

private:
    void EnsureLoaded();

    std::string m_iniPath;
    Tessal::CCriticalSection m_lock;  // recursive: the first load happens inside Scan
    std::atomic<bool> m_loaded{false};
    std::unique_ptr<std::vector<SearchEngine>> m_engines;
};

// Implemented by the request scan's state, which hands the edit to the connection's handler.
class IOutboundSearchScanCallback {
public:
    virtual void OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& state) = 0;

protected:
    ~IOutboundSearchScanCallback() = default;
};

// Offsets count from the first byte the outbound buffer holds; the request scan sets them before
// each run, and every applied edit moves those behind it (OnEdited), so nothing points into data
// that an edit has moved.
class COutboundSearchScan::CState : public CScanAlgorithmState {
public:
    CState(IOutboundSearchScanCallback* callback, IReplacementSink* sink, bool enabled)
        : m_enabled(enabled), m_callback(callback), m_sink(sink) {}

    void Reset() override { SetPosition(0); }

    // An edit changed the data's length by `delta` at `offset`.
    void OnEdited(LONG offset, LONG delta) noexcept {
        if (m_targetLast >= offset) m_targetLast += delta;
        if (m_endBound >= offset) m_endBound += delta;
        if (m_headerEnd >= offset) m_headerEnd += delta;
    }

    bool m_enabled;  // the user's safe-search setting
    LONG m_targetFirst = 0;
    LONG m_targetLast = -1;
    LONG m_endBound = -1;   // the header block's last byte: nothing behind it is searched
    LONG m_headerEnd = -1;  // where the "\r\n\r\n" ending the header block starts; -1: not there yet
    IOutboundSearchScanCallback* m_callback;
    IReplacementSink* m_sink;
    CSafeStringA m_strUrl;  // host + path, no query
    int m_edits = 0;        // edits asked for in this request, for the caller's figures
};

// How the connection's handler applies an edit to the outbound buffer.
void ApplySafeSearchEdit(IReplacementSink& sink, const COutboundSearchScan::CState& state, const SafeSearchEdit& edit);
