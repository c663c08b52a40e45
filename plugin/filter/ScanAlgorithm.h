#pragma once
// The scan algorithms: one shared object per algorithm id, created at start-up, and one state per
// connection direction that the algorithm is handed on every call. The table of algorithms is
// process-wide and lives from CreateScanAlgorithms to DestroyScanAlgorithms.

#include <windows.h>

#include <functional>
#include <memory>

class CScanAlgorithmState;

// Algorithm ids (the request and response scans are the first algorithms a buffer names; the
// others run as sub-scans of those two).
enum ScanAlgorithmId : int {
    kScanInvalid = 0,
    kScanOutboundHttpRequest = 1,
    kScanOutboundPersonalInfo = 2,  // name only
    kScanOutboundSearch = 3,
    kScanOutboundCategories = 4,
    kScanInboundHttpResponse = 5,
    kScanInboundKeywords = 6,       // name only
    kScanInboundEmbeddedUrl = 7,
    kScanInboundImageAnalysis = 8,  // name only, outside the table
};

class IScanAlgorithm {
public:
    virtual ~IScanAlgorithm() = default;
    // Advances the scan of one connection direction as far as the buffered data allows; never
    // waits for data. A first algorithm takes its buffer's lock for the whole call. It never holds
    // a session's or the session manager's lock across its work: it copies what it needs of the
    // session under that lock and lets go.
    virtual void Scan(CScanAlgorithmState& state) = 0;
    // The search scan's list of search engines is read again (other algorithms ignore it).
    virtual void ReloadSearchEngines() {}
};

// The per-connection state of one algorithm. Offsets a state keeps count from the first byte its
// buffer still holds, never pointers into data that moves (growth, Insert, Consume).
class CScanAlgorithmState {
public:
    CScanAlgorithmState() = default;
    virtual ~CScanAlgorithmState() = default;
    CScanAlgorithmState(const CScanAlgorithmState&) = delete;
    CScanAlgorithmState& operator=(const CScanAlgorithmState&) = delete;

    // Back to expecting the start of a new message.
    virtual void Reset() = 0;
    virtual LONG GetPosition() const noexcept { return m_position; }
    virtual void SetPosition(LONG position) noexcept { m_position = position; }
    // The buffer moved its data by `delta` bytes (negative: bytes left the front); the position
    // never goes below 0. States that keep further offsets move them too.
    virtual void AdjustPosition(LONG delta) noexcept {
        const LONG moved = m_position + delta;
        m_position = moved > 0 ? moved : 0;
    }
    // A switch whose meaning belongs to the algorithm.
    virtual bool GetFlag() const noexcept { return m_flag; }
    virtual void SetFlag(bool flag) noexcept { m_flag = flag; }

private:
    LONG m_position = 0;
    bool m_flag = false;
};

// Makes the algorithm of an id (null when the id has none). The default makes the product's.
using ScanAlgorithmFactory = std::function<std::unique_ptr<IScanAlgorithm>(int id)>;

// Builds the table with the algorithms of ids 1, 3, 4, 5 and 7, in that order. When a constructor
// throws, what was made is deleted and the exception passes on. A table that exists is replaced.
void CreateScanAlgorithms(const ScanAlgorithmFactory& factory = nullptr);
// Deletes the algorithms (highest id first) and the table; nothing when there is none.
void DestroyScanAlgorithms() noexcept;
// Forgets the table without deleting it: after a scan thread was killed inside a scan, its
// algorithms may be in any state, and deleting them could take locks it held.
void AbandonScanAlgorithms() noexcept;
// The algorithm of an id; null for an id without one. Throws CNuvException(-1001) when there is
// no table (before start-up or after shutdown).
IScanAlgorithm* GetScanAlgorithm(int id);
// "INVALID!", "saOutHttpRequest", ... for ids 0 to 8; null for any other id.
const wchar_t* GetScanAlgorithmName(int id) noexcept;
// The search scan reloads its search engines; nothing without a table or a search scan.
void ReloadSearchEngines();
