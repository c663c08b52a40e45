#pragma once
// How the filter asks for a URL's web-category mask. The classifier over the cloud reputation
// client (CUrlClassification) installs itself here at start-up; without one every look-up
// answers 0 (no classification), which lets the request pass.

#include "plugin/filter/reputation/TyvoHandler.h"

#include "base/Sync.h"

#include <windows.h>

#include <string>

class IUrlClassifier {
public:
    // 1 with the mask (narrow, 0-terminated when room is left) in `result` and its length in
    // `size`; 0 when there is no classification. `size` is the buffer's size on the way in.
    virtual int Classify(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) = 0;

protected:
    ~IUrlClassifier() = default;
};

// Installs the classifier (null: none); returns the one installed before.
IUrlClassifier* SetUrlClassifier(IUrlClassifier* classifier) noexcept;
// Returns once no look-up is inside a classifier that was installed before the call.
void WaitForUrlClassifications() noexcept;

// The installed classifier's answer; 0 without one.
int GetUrlClassification(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath);

// The classifier over the reputation client: the category codes of a URL's answer mapped to a
// mask, the last known code deciding; a URL without known codes gets the empty mask.
class CUrlClassification : public IUrlClassifier {
public:
    // Starts the reputation client (its stored statistics, its statistics thread).
    CUrlClassification() = default;
    virtual ~CUrlClassification() = default;
    CUrlClassification(const CUrlClassification&) = delete;
    CUrlClassification& operator=(const CUrlClassification&) = delete;

    int Classify(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) override {
        return _LookUp(url, result, size, processPath);
    }
    int _LookUp(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath);
    void TerminateTYVOStats();
    // A query under way ends at once and no new one goes out (shutdown).
    void Cancel() noexcept { m_handler.Cancel(); }

    NNUV::CTYVOHandler& Handler() noexcept { return m_handler; }

private:
    Tessal::CCriticalSection m_lock;
    std::string m_szClassification;
    NNUV::CTYVOHandler m_handler;
};

// The process's classifier, installed for GetUrlClassification: created at start-up (false when
// there is no memory for it), cancelled before the threads that classify are stopped, deleted at
// shutdown after them (its statistics stored, its threads joined), or let go without being deleted
// when a killed thread may have been inside it.
bool StartUrlClassification();
void CancelUrlClassification() noexcept;
void StopUrlClassification() noexcept;
void AbandonUrlClassification() noexcept;
