#include "plugin/filter/OutboundSearchScan.h"

#include "logging/Logging.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

namespace {

constexpr DWORD kSectionNamesSize = 1040;
constexpr DWORD kValueSize = 260;
constexpr DWORD kUrlValueSize = 32767;

bool EqualsNoCase(const char* a, const char* b, std::size_t length) { return ::_strnicmp(a, b, length) == 0; }

std::string ReadKey(const char* section, const char* key, DWORD size, const std::string& path) {
    std::string value(size, '\0');
    const DWORD length = ::GetPrivateProfileStringA(section, key, "", &value[0], size, path.c_str());
    value.resize(length);
    return value;
}

LONG TypeOf(const std::string& text) {
    if (EqualsNoCase(text.c_str(), "QueryString", 11)) return COutboundSearchScan::kQueryString;
    if (EqualsNoCase(text.c_str(), "CookieQuery", 11)) return COutboundSearchScan::kCookieQuery;
    if (EqualsNoCase(text.c_str(), "Cookie", 6)) return COutboundSearchScan::kCookie;
    return COutboundSearchScan::kNoAction;
}

// The value split at every '|' after its first character. An empty pattern would match every URL
// without ';' (any site would count as a search engine): empty ones are left out.
std::vector<std::string> Patterns(const std::string& value) {
    std::vector<std::string> patterns;
    std::size_t start = 0;
    for (std::size_t bar = value.find('|', 1); bar != std::string::npos; bar = value.find('|', bar + 1)) {
        patterns.push_back(value.substr(start, bar - start));
        start = bar + 1;
    }
    patterns.push_back(value.substr(start));
    std::vector<std::string> kept;
    for (auto& pattern : patterns) {
        if (!pattern.empty()) kept.push_back(std::move(pattern));
    }
    return kept;
}

std::string DefaultIniPath() {
    char folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) return {};
    if (!::PathAppendA(folder, "Oberix\\NUV") || !::PathAppendA(folder, "searchengines.ini")) return {};
    return folder;
}

// Searches of the request's bytes. Offsets count from the data's first byte; `last` is included.
class RequestText {
public:
    explicit RequestText(COutboundSearchScan::CState& state) : m_state(state) {}

    const char* Base() const { return m_state.m_sink->GetBase(); }
    LONG Find(LONG from, LONG last, const char* needle, bool noCase = false) const {
        const std::size_t length = std::strlen(needle);
        const char* base = Base();
        for (LONG at = from; at >= 0 && at + static_cast<LONG>(length) - 1 <= last; ++at) {
            if (noCase ? EqualsNoCase(base + at, needle, length) : std::memcmp(base + at, needle, length) == 0) {
                return at;
            }
        }
        return -1;
    }
    bool StartsWith(LONG at, LONG last, const std::string& text) const {
        return at + static_cast<LONG>(text.size()) - 1 <= last && EqualsNoCase(Base() + at, text.c_str(), text.size());
    }
    char At(LONG at) const { return Base()[at]; }

private:
    COutboundSearchScan::CState& m_state;
};

const char* Separators(LONG type) {
    switch (type) {
        case COutboundSearchScan::kQueryString: return "?&";
        case COutboundSearchScan::kCookie: return ": ;";
        case COutboundSearchScan::kCookieQuery: return "=&";
        default: return "";
    }
}

const char* Delimiter(LONG type) {
    switch (type) {
        case COutboundSearchScan::kQueryString: return "&";
        case COutboundSearchScan::kCookie:
        case COutboundSearchScan::kCookieQuery: return ";";
        default: return "";
    }
}

// One run of the scan on one request.
class SearchRun {
public:
    SearchRun(COutboundSearchScan::CState& state, const COutboundSearchScan::SearchEngine& engine)
        : m_state(state), m_engine(engine), m_text(state) {}

    void Run() {
        const LONG marker = FindMarker();
        if (marker < 0) {
            InsertNewSetting();
            return;
        }
        const LONG findType = m_engine.type == COutboundSearchScan::kCookieQuery ? COutboundSearchScan::kCookie
                                                                                 : m_engine.type;
        LONG s = FindSetting(marker, m_engine.identifier, findType);
        if (s < 0) {
            InsertNewSetting();
            return;
        }
        const LONG skip = static_cast<LONG>(m_engine.identifier.size()) + 2;
        switch (m_engine.type) {
            case COutboundSearchScan::kQueryString:
                // Every occurrence of the parameter is set.
                for (;;) {
                    const LONG v = s + skip;
                    OverwriteExistingSetting(v);
                    // Past the value just set, whatever it holds.
                    s = FindSetting(v + static_cast<LONG>(m_engine.enabledValue.size()), m_engine.identifier,
                                    COutboundSearchScan::kQueryString);
                    if (s < 0) break;
                }
                break;
            case COutboundSearchScan::kCookie: OverwriteExistingSetting(s + skip); break;
            case COutboundSearchScan::kCookieQuery: SetCookieQuery(s + skip - 1); break;
            default: break;
        }
    }

private:
    // The start of the setting's carrier: the target's "?", or the Cookie header's name.
    LONG FindMarker() const {
        switch (m_engine.type) {
            case COutboundSearchScan::kQueryString:
                return m_text.Find(m_state.m_targetFirst, m_state.m_targetLast, "?");
            case COutboundSearchScan::kCookie:
            case COutboundSearchScan::kCookieQuery: {
                // A header line named Cookie (any case) inside the header block.
                for (LONG at = m_text.Find(m_state.m_targetFirst, m_state.m_endBound, "\n"); at >= 0;
                     at = m_text.Find(at + 1, m_state.m_endBound, "\n")) {
                    if (m_text.StartsWith(at + 1, m_state.m_endBound, "Cookie:")) return at + 1;
                }
                return -1;
            }
            default: return -1;
        }
    }
    // Just after the marker: the "?", or "Cookie:" and one blank.
    LONG AfterMarker(LONG marker) const {
        if (m_engine.type == COutboundSearchScan::kQueryString) return marker + 1;
        const LONG after = marker + 7;
        return after <= m_state.m_endBound && m_text.At(after) == ' ' ? after + 1 : after;
    }

    // The last byte a setting found from `from` may use.
    LONG SettingEnd(LONG from, LONG type) const {
        if (type == COutboundSearchScan::kQueryString) return m_state.m_targetLast;
        const LONG lineEnd = m_text.Find(from, m_state.m_endBound, "\r\n");
        if (lineEnd >= 0) return lineEnd - 1;
        const LONG lf = m_text.Find(from, m_state.m_endBound, "\n");
        return lf >= 0 ? lf - 1 : m_state.m_endBound;
    }

    // The separator in front of "name=", from `from` on; -1 for none.
    LONG FindSetting(LONG from, const std::string& name, LONG type) const {
        const LONG end = SettingEnd(from, type);
        for (const char* separator = Separators(type); *separator != '\0'; ++separator) {
            const std::string needle = std::string(1, *separator) + name + "=";
            const LONG at = m_text.Find(from, end, needle.c_str());
            if (at >= 0) return at;
        }
        return -1;
    }

    // The value at v reads as the wanted value: the same text, ending where the value ends.
    bool HasValue(LONG v, LONG end, const std::string& value, const char* delimiters) const {
        if (!m_text.StartsWith(v, end, value)) return false;
        const LONG after = v + static_cast<LONG>(value.size());
        return after > end || std::strchr(delimiters, m_text.At(after)) != nullptr;
    }

    void OverwriteExistingSetting(LONG v) {
        const LONG end = SettingEnd(v, m_engine.type);
        const char* delimiter = Delimiter(m_engine.type);
        if (HasValue(v, end, m_engine.enabledValue, delimiter)) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"SafeSearch already turned on for Search Engine %hs", m_engine.name.c_str());
            return;
        }
        const LONG stop = *delimiter != '\0' ? m_text.Find(v, end, delimiter) : -1;
        const LONG length = (stop >= 0 ? stop : end + 1) - v;
        Edit(v, m_engine.enabledValue, length);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Turning on SafeSearch for Search Engine %hs", m_engine.name.c_str());
    }

    // e: the "=" after the cookie's name; the value is a list of key=value pairs joined by "&".
    void SetCookieQuery(LONG e) {
        const std::size_t equals = m_engine.enabledValue.find('=');
        const std::string innerKey = m_engine.enabledValue.substr(0, equals);
        const std::string innerValue = equals == std::string::npos ? std::string() : m_engine.enabledValue.substr(equals + 1);
        const LONG k = FindSetting(e, innerKey, COutboundSearchScan::kCookieQuery);
        if (k < 0) {
            Edit(e + 1, innerKey + "=" + innerValue + "&", 0);  // the pair goes first
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Turning on SafeSearch for Search Engine %hs", m_engine.name.c_str());
            return;
        }
        const LONG w = k + static_cast<LONG>(innerKey.size()) + 2;
        const LONG end = SettingEnd(w, COutboundSearchScan::kCookieQuery);  // the Cookie line's end
        if (HasValue(w, end, innerValue, "&;")) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"SafeSearch already turned on for Search Engine %hs", m_engine.name.c_str());
            return;
        }
        LONG stop = m_text.Find(w, end, "&");
        if (stop < 0) stop = m_text.Find(w, end, ";");
        Edit(w, innerValue, (stop >= 0 ? stop : end + 1) - w);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Turning on SafeSearch for Search Engine %hs", m_engine.name.c_str());
    }

    void InsertNewSetting() {
        const LONG marker = FindMarker();
        if (marker >= 0 && m_engine.type != COutboundSearchScan::kNoAction) {
            Edit(AfterMarker(marker), m_engine.identifier + "=" + m_engine.enabledValue + Delimiter(m_engine.type), 0);
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Turning on SafeSearch for Search Engine %hs", m_engine.name.c_str());
            return;
        }
        // Without a query string nothing is added; a cookie gets a header line of its own.
        if (m_engine.type != COutboundSearchScan::kCookie && m_engine.type != COutboundSearchScan::kCookieQuery) return;
        if (m_state.m_headerEnd < 0) {
            NUV_LOG(ETWLogging::LOG_ERROR,
                    L"Could not turn on SafeSearch for Search Engine %hs.  Could not find the end of the HTTP header.",
                    m_engine.name.c_str());
            return;
        }
        Edit(m_state.m_headerEnd, "\r\nCookie: " + m_engine.identifier + "=" + m_engine.enabledValue + ";", 0);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Turning on SafeSearch for Search Engine %hs", m_engine.name.c_str());
    }

    void Edit(LONG at, const std::string& text, LONG length) {
        SafeSearchEdit edit;
        edit.offset = at - m_state.m_targetFirst;
        edit.text.Assign(text.c_str(), static_cast<int>(text.size()));
        edit.length = length;
        ++m_state.m_edits;
        if (m_state.m_callback != nullptr) m_state.m_callback->OnOutboundSearch(edit, m_state);
    }

    COutboundSearchScan::CState& m_state;
    const COutboundSearchScan::SearchEngine& m_engine;
    RequestText m_text;
};

}  // namespace

COutboundSearchScan::COutboundSearchScan(std::string iniPath)
    : m_iniPath(iniPath.empty() ? DefaultIniPath() : std::move(iniPath)) {}

COutboundSearchScan::~COutboundSearchScan() = default;

std::unique_ptr<std::vector<COutboundSearchScan::SearchEngine>> COutboundSearchScan::LoadSearchEngines(
    const std::string& iniPath) {
    if (iniPath.empty()) return nullptr;  // no data folder
    auto engines = std::make_unique<std::vector<SearchEngine>>();
    std::string names(kSectionNamesSize, '\0');
    const DWORD length = ::GetPrivateProfileSectionNamesA(&names[0], kSectionNamesSize, iniPath.c_str());
    names.resize(length);
    for (std::size_t at = 0; at < names.size() && names[at] != '\0'; at = names.find('\0', at) + 1) {
        const std::string section = names.c_str() + at;
        SearchEngine engine;
        engine.name = section;
        engine.enabledValue = ReadKey(section.c_str(), "EnabledValue", kValueSize, iniPath);
        engine.identifier = ReadKey(section.c_str(), "Identifier", kValueSize, iniPath);
        engine.type = TypeOf(ReadKey(section.c_str(), "Type", kValueSize, iniPath));
        engine.patterns = Patterns(ReadKey(section.c_str(), "URL", kUrlValueSize, iniPath));
        engines->push_back(std::move(engine));
        if (names.find('\0', at) == std::string::npos) break;
    }
    return engines;
}

void COutboundSearchScan::ReloadSearchEngineList() {
    Tessal::CAutoLock lock(m_lock);
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Reloading Safe Search configuration\r\n");
    m_engines.reset();
    m_engines = LoadSearchEngines(m_iniPath);
    m_loaded = true;
}

void COutboundSearchScan::EnsureLoaded() {
    if (m_loaded.load()) return;
    Tessal::CAutoLock lock(m_lock);
    if (!m_engines) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Loading Safe Search configuration\r\n");
        m_engines = LoadSearchEngines(m_iniPath);
    }
    m_loaded = true;
}

const COutboundSearchScan::SearchEngine* COutboundSearchScan::GetSearchEngineMatch(const CSafeStringA& url) {
    const char* text = url.m_pBuffer != nullptr ? url.m_pBuffer : "";
    const char* semicolon = url.m_nLength > 1 ? std::strchr(text + 1, ';') : nullptr;
    const std::string cut = semicolon != nullptr ? std::string(text, semicolon) : std::string();
    EnsureLoaded();
    Tessal::CAutoLock lock(m_lock);
    if (!m_engines) return nullptr;
    for (const SearchEngine& engine : *m_engines) {
        for (const std::string& pattern : engine.patterns) {
            if (::_stricmp(pattern.c_str(), text) == 0 || (!cut.empty() && ::_stricmp(pattern.c_str(), cut.c_str()) == 0)) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"%hs appears as a search engine\r\n", text);
                return &engine;
            }
        }
    }
    return nullptr;
}

void COutboundSearchScan::Scan(CScanAlgorithmState& baseState) {
    CState& state = static_cast<CState&>(baseState);
    Tessal::CAutoLock lock(m_lock);
    if (!state.m_enabled || state.m_sink == nullptr || state.m_sink->GetBase() == nullptr) return;
    const SearchEngine* engine = GetSearchEngineMatch(state.m_strUrl);
    if (engine == nullptr || engine->type == kNoAction) return;
    SearchRun(state, *engine).Run();
}

void ApplySafeSearchEdit(IReplacementSink& sink, const COutboundSearchScan::CState& state, const SafeSearchEdit& edit) {
    char* const at = sink.GetBase() + state.m_targetFirst + edit.offset;
    sink.Insert(at, static_cast<DWORD>(edit.length), edit.text.m_pBuffer != nullptr ? edit.text.m_pBuffer : "",
                edit.text.m_nLength);
}
