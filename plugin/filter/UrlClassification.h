#pragma once
// How the filter asks for a URL's web-category mask. The classifier over the cloud reputation
// client installs itself here at start-up; without one every look-up answers 0 (no
// classification), which lets the request pass.

#include <windows.h>

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

// The installed classifier's answer; 0 without one.
int GetUrlClassification(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath);
