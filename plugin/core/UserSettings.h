#pragma once
// The plug-in's copy of one user's protection settings, read once from the configuration service
// by setting id and never changed afterwards. The session that owns it replaces it as a whole
// when the user's settings are read again; readers take the fields directly, under that
// session's lock.

#include "Shared/NuvTimeBlocksWeek.h"
#include "nuvutil/SafeString.h"
#include "plugin/core/SiteListMatch.h"

#include <windows.h>
#include <configservice.h>

#include <memory>

class CUserSettings {
public:
    // Setting ids of a user's settings category.
    static constexpr LONG kUserId = 199;
    static constexpr LONG kUserName = 200;
    static constexpr LONG kAgeGroup = 203;
    static constexpr LONG kAllowedListOnly = 208;
    static constexpr LONG kTimeBlocks = 210;
    static constexpr LONG kSafeSearch = 310;
    static constexpr LONG kCategoryMask = 311;
    static constexpr LONG kCategoryMode = 312;
    static constexpr LONG kBlockedSites = 313;
    static constexpr LONG kAllowedSites = 314;
    static constexpr LONG kProtected = 315;
    // In the product-wide category (100); read by the configuration client, not part of the record.
    static constexpr LONG kStoredTimeZone = 337;

    static constexpr LONG kDefaultAgeGroup = 6;
    static constexpr const wchar_t* kNoCategories = L"00000000000000000000000000000000";
    static constexpr const wchar_t* kTemporaryAdult = L"adult_temp";

    // An empty record: empty texts and lists, no week, nothing restricted.
    CUserSettings();
    // Reads the user's settings category. A setting that cannot be read (failed call, status not
    // QV_CONFIG_STATUS_OK, or a type it is not taken from) keeps its default, except that a failed
    // read of 315 makes the user protected; a null category reads as one whose every read fails.
    // Throws std::bad_alloc.
    explicit CUserSettings(IConfigSettings* category);
    CUserSettings(const CUserSettings&) = delete;
    CUserSettings& operator=(const CUserSettings&) = delete;

    // The record of the built-in temporary adult: id and name "adult_temp", no protection.
    static std::unique_ptr<CUserSettings> CreateTemporaryAdultSettings();

    // No time limits, no lists, no categories, no safe search; the user is unprotected.
    void ApplyUnprotectedDefaults();

    // The week's 2016-character text form; false (text untouched) without a week.
    bool GetTimeBlocks(CSafeStringW& text) const;

    // On a match the matching entry, as the setting writes it, is appended to `matched`. URL and
    // entries meet in their canonical spelling (SiteListMatch.h); the entries were brought to it
    // when the settings were read. A URL the lists cannot judge (CanJudgeUrl) is on neither list:
    // the caller refuses it.
    bool IsOnAllowedList(const wchar_t* url, CSafeStringW& matched) const;
    bool IsOnBlockedList(const wchar_t* url, CSafeStringW& matched) const;

    // The list becomes the blank-separated words of the text, in order, duplicates kept; runs of
    // blanks and leading or trailing blanks separate nothing. A null text leaves the list as it is.
    // Each entry is prepared for matching here, once, and the list's index built.
    static void ParseSiteList(const wchar_t* text, CSiteList& list);

    CSafeStringW m_strUserId;
    CSafeStringW m_strUserName;  // the user's Windows account name
    BYTE m_bTimeRestricted = 0;  // a week exists and blocks something
    BYTE m_bAllowedListOnly = 0;
    LONG m_nAgeGroup = kDefaultAgeGroup;
    BYTE m_bSafeSearch = 0;
    BYTE m_bNoCategoryFiltering = 0;  // mode 0 with the all-zero mask
    BYTE m_bBlockedListEmpty = 0;
    BYTE m_bProtected = 0;
    std::unique_ptr<CNuvTimeBlocksWeek> m_pTimeBlocks;
    CSafeStringW m_strCategoryMask;  // 32 hexadecimal digits
    LONG m_nCategoryMode = 0;        // 0: block the masked categories; 1: allow only them
    CSiteList m_blockedSites;
    CSiteList m_allowedSites;
};
