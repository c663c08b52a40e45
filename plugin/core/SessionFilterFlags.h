#pragma once
// Per Windows session, what the signed-in user's settings record says about the need to filter.
// The configuration client owns the maps; the session manager fills them under its locks.

#include <windows.h>

#include <map>

// One session's five values.
struct SessionFilterState {
    BYTE timeRestricted = 0;
    BYTE allowedListOnly = 0;
    BYTE safeSearchOff = 0;
    BYTE noCategoryFiltering = 0;
    BYTE blockedListEmpty = 0;
};

// Five maps from session id to a one-byte value; a session without a signed-in user has 0 in all.
struct SessionFilterFlags {
    std::map<DWORD, BYTE> timeRestricted;
    std::map<DWORD, BYTE> allowedListOnly;
    std::map<DWORD, BYTE> safeSearchOff;
    std::map<DWORD, BYTE> noCategoryFiltering;
    std::map<DWORD, BYTE> blockedListEmpty;

    // Writes (creating when absent) the five entries of one session.
    void Set(DWORD sessionId, const SessionFilterState& state) {
        timeRestricted[sessionId] = state.timeRestricted;
        allowedListOnly[sessionId] = state.allowedListOnly;
        safeSearchOff[sessionId] = state.safeSearchOff;
        noCategoryFiltering[sessionId] = state.noCategoryFiltering;
        blockedListEmpty[sessionId] = state.blockedListEmpty;
    }

    // Reads one session's entries; a missing entry reads as 0. False when the session has none.
    bool Find(DWORD sessionId, SessionFilterState& state) const {
        bool any = false;
        auto read = [&](const std::map<DWORD, BYTE>& map, BYTE& value) {
            const auto it = map.find(sessionId);
            value = it == map.end() ? 0 : it->second;
            any = any || it != map.end();
        };
        read(timeRestricted, state.timeRestricted);
        read(allowedListOnly, state.allowedListOnly);
        read(safeSearchOff, state.safeSearchOff);
        read(noCategoryFiltering, state.noCategoryFiltering);
        read(blockedListEmpty, state.blockedListEmpty);
        return any;
    }

    void Clear() {
        timeRestricted.clear();
        allowedListOnly.clear();
        safeSearchOff.clear();
        noCategoryFiltering.clear();
        blockedListEmpty.clear();
    }
};
