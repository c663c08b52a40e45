#include "plugin/filter/UrlClassification.h"

#include <atomic>

namespace {
std::atomic<IUrlClassifier*> g_classifier{nullptr};
}  // namespace

IUrlClassifier* SetUrlClassifier(IUrlClassifier* classifier) noexcept { return g_classifier.exchange(classifier); }

int GetUrlClassification(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) {
    IUrlClassifier* const classifier = g_classifier.load();
    return classifier != nullptr ? classifier->Classify(url, result, size, processPath) : 0;
}
