#pragma once
// The reliable clock the plug-in core asks: the shared time provider behind the core's interface.

#include "Shared/ReliableTimeProvider.h"
#include "plugin/services/TimeLimitServices.h"

class CReliableClock : public IReliableClock {
public:
    // Starts the provider's refresh thread; throws std::system_error when it cannot.
    explicit CReliableClock(const wchar_t* timeServer);

    void GetCurrentLocalTime(const wchar_t* timeZoneName, SYSTEMTIME* time, DWORD* reliable, DWORD waitMs) override;
    void OnFirstSynchronisation(std::function<void()> callback) override;

private:
    CReliableTimeProvider m_provider;
};
