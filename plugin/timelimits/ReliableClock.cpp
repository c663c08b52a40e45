#include "plugin/timelimits/ReliableClock.h"

#include <utility>

CReliableClock::CReliableClock(const wchar_t* timeServer) : m_provider(timeServer) {}

void CReliableClock::GetCurrentLocalTime(const wchar_t* timeZoneName, SYSTEMTIME* time, DWORD* reliable,
                                         DWORD waitMs) {
    m_provider.GetCurrentLocalTime(timeZoneName, time, reliable, waitMs);
}

void CReliableClock::OnFirstSynchronisation(std::function<void()> callback) {
    m_provider.SetFirstSynchronisationCallback(std::move(callback));
}
