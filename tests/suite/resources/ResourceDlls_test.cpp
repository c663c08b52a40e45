// The resource DLLs "NuvRes2.dll" and "nuvuc.dll", loaded as the product loads them (as data
// files): every string the plug-in, its alerts and the settings server load, with the printf
// conversions their callers pass; the block page and the images it refers to; the entries the
// custom DLL replaces.
#include "base/UniqueHandle.h"
#include "nuvutil/com/CoInitializeScope.h"

#include <gtest/gtest.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

std::wstring BinPath(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + file;
}

class CResourceDll {
public:
    explicit CResourceDll(const wchar_t* file)
        : m_module(::LoadLibraryExW(BinPath(file).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}

    HMODULE Get() const { return m_module.Get(); }

    std::optional<std::wstring> String(UINT id) const {
        // A buffer size of 0 gives a pointer to the resource text itself, with its exact length.
        const wchar_t* text = nullptr;
        const int length = ::LoadStringW(m_module.Get(), id, reinterpret_cast<LPWSTR>(&text), 0);
        if (length <= 0 || text == nullptr) return std::nullopt;
        return std::wstring(text, length);
    }

    std::optional<std::string> Bytes(const wchar_t* name, const wchar_t* type) const {
        HRSRC found = ::FindResourceW(m_module.Get(), name, type);
        if (found == nullptr) return std::nullopt;
        HGLOBAL loaded = ::LoadResource(m_module.Get(), found);
        const void* data = ::LockResource(loaded);
        if (data == nullptr) return std::nullopt;
        return std::string(static_cast<const char*>(data), ::SizeofResource(m_module.Get(), found));
    }

    std::optional<std::string> Bytes(UINT id, const wchar_t* type) const { return Bytes(MAKEINTRESOURCEW(id), type); }

private:
    Tessal::UniqueHModule m_module;
};

// printf conversion letters of a format, in order ("%02d" gives 'd'; "%%" none).
std::string Conversions(const std::wstring& format) {
    std::string letters;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') continue;
        ++i;
        if (i < format.size() && format[i] == L'%') continue;
        while (i < format.size() && std::wstring(L"-+ #0123456789.hlI").find(format[i]) != std::wstring::npos) ++i;
        if (i < format.size()) letters += static_cast<char>(format[i]);
    }
    return letters;
}

// %WORD% tokens of a text.
std::set<std::wstring> Tokens(const std::wstring& text) {
    std::set<std::wstring> tokens;
    for (size_t start = text.find(L'%'); start != std::wstring::npos;) {
        const size_t end = text.find(L'%', start + 1);
        if (end == std::wstring::npos) break;
        const std::wstring inner = text.substr(start + 1, end - start - 1);
        if (!inner.empty() && inner.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") ==
                                  std::wstring::npos) {
            tokens.insert(text.substr(start, end - start + 1));
            start = text.find(L'%', end + 1);
        } else {
            start = end;
        }
    }
    return tokens;
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& token, const std::wstring& by) {
    for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + by.size())) {
        text.replace(at, token.size(), by);
    }
    return text;
}

// Strings used as printf formats, with the conversions their callers pass.
struct FormatString {
    UINT id;
    const char* conversions;
};
const FormatString kFormatStrings[] = {
    {20160, "s"},   // time restriction: the program's name
    {20162, "d"},   // minutes left
    {20163, ""},    // formatted with no argument
    {20180, "s"},   // category name
    {20183, "s"},   // domain
    {20186, "s"},   // domain
    {20194, "d"},   // number of days
    {20195, "dd"},  // hours, minutes
    {20197, "ss"},  // start date, end date
};

// Strings used as they are.
const UINT kPlainStrings[] = {
    // Alerts.
    14049, 20151, 20152, 20154, 20155, 20157, 20158, 20159, 20165, 20166, 20179, 20182, 20185, 20190, 20207, 20208,
    // Web categories; 20115 stands for every other category.
    20096, 20097, 20098, 20099, 20100, 20101, 20102, 20103, 20104, 20105, 20106, 20107, 20108, 20109, 20110, 20111,
    20112, 20113, 20114, 20115,
    // Settings summary and age groups.
    20035, 20040, 20043, 20044, 20045, 20071, 20072, 20136, 20137, 20138, 20053, 20054, 20055, 20056, 20057, 20058,
    // Activity report: category of sites blocked without one, periods, no log-on, month picture.
    20189, 20191, 20192, 20196, 20199,
};

// The block page's strings per reason: title, header, content.
struct BlockReason {
    const char* name;
    UINT title;
    UINT header;
    UINT content;
};
const BlockReason kBlockReasons[] = {
    {"not on the allowed list", 14114, 14130, 14108},
    {"on the blocked list", 14117, 14130, 14112},
    {"category", 14127, 14130, 14126},
    {"kid-safe only", 14129, 14130, 14128},
};

// The template's tokens and the strings that replace them (the content string by reason).
const std::pair<const wchar_t*, UINT> kPageTags[] = {
    {L"%IDS_QUARVEL_NUV_WEB_HTMLTAG%", 20209},
    {L"%IDS_SOLEN_NUV_WEB_METATAG%", 14051},
    {L"%IDS_SOLEN_NUV_WEB_CONTENT_HEADER%", 14130},
    {L"%IDS_SOLEN_NUV_WEB_BODYTAG%", 5101},
};

// The tokens the handler replaces after the resource strings.
const std::set<std::wstring> kHandlerTokens = {L"%user%", L"%url%", L"%category%"};

constexpr wchar_t kImageMarker[] = L"_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8";

std::wstring PageText(const CResourceDll& dll) {
    const std::optional<std::string> bytes = dll.Bytes(L"/BADCONTENT.HTML", L"WEBSERVER");
    if (!bytes) return std::wstring();
    EXPECT_EQ(0u, bytes->size() % 2);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes->data()), bytes->size() / 2);
}

// Decodes an image with the Windows imaging component: the bytes are a real picture.
void ExpectDecodes(const std::string& bytes, UINT width, UINT height) {
    NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
    ComPtr<IWICImagingFactory> factory;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
    ComPtr<IWICStream> stream;
    ASSERT_EQ(S_OK, factory->CreateStream(&stream));
    ASSERT_EQ(S_OK, stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                                 static_cast<DWORD>(bytes.size())));
    ComPtr<IWICBitmapDecoder> decoder;
    ASSERT_EQ(S_OK, factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad, &decoder));
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(S_OK, decoder->GetFrame(0, &frame));
    UINT decodedWidth = 0;
    UINT decodedHeight = 0;
    ASSERT_EQ(S_OK, frame->GetSize(&decodedWidth, &decodedHeight));
    EXPECT_EQ(width, decodedWidth);
    EXPECT_EQ(height, decodedHeight);
    // Every pixel decodes.
    std::vector<BYTE> pixels(static_cast<size_t>(decodedWidth) * decodedHeight * 4);
    ComPtr<IWICFormatConverter> converter;
    ASSERT_EQ(S_OK, factory->CreateFormatConverter(&converter));
    ASSERT_EQ(S_OK, converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr,
                                          0.0, WICBitmapPaletteTypeCustom));
    EXPECT_EQ(S_OK, converter->CopyPixels(nullptr, decodedWidth * 4, static_cast<UINT>(pixels.size()), pixels.data()));
}

class ResourceDllsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, m_resources.Get()) << "NuvRes2.dll beside the test";
        ASSERT_NE(nullptr, m_custom.Get()) << "nuvuc.dll in the custom folder beside the test";
    }

    CResourceDll m_resources{L"NuvRes2.dll"};
    CResourceDll m_custom{L"custom\\nuvuc.dll"};
};

TEST_F(ResourceDllsTest, EveryPlainStringLoads) {
    for (UINT id : kPlainStrings) {
        const std::optional<std::wstring> text = m_resources.String(id);
        ASSERT_TRUE(text.has_value()) << id;
        EXPECT_EQ("", Conversions(*text)) << id << ": " << *text;
    }
}

TEST_F(ResourceDllsTest, FormatStringsHaveTheirCallersConversions) {
    for (const FormatString& format : kFormatStrings) {
        const std::optional<std::wstring> text = m_resources.String(format.id);
        ASSERT_TRUE(text.has_value()) << format.id;
        EXPECT_EQ(format.conversions, Conversions(*text)) << format.id << ": " << *text;
    }
}

TEST_F(ResourceDllsTest, BlockPageBuildsForEveryReasonWithoutLeftoverTokens) {
    const std::wstring page = PageText(m_resources);
    ASSERT_FALSE(page.empty());
    EXPECT_NE(L'\xFEFF', page.front()) << "no byte-order mark: the page is sent as it is";

    std::set<std::wstring> expected = kHandlerTokens;
    expected.erase(L"%category%");
    for (const auto& tag : kPageTags) expected.insert(tag.first);
    for (const wchar_t* token : {L"%CONTENT%", L"%HEADER%", L"%TITLE%"}) expected.insert(token);
    EXPECT_EQ(expected, Tokens(page));

    for (const BlockReason& reason : kBlockReasons) {
        SCOPED_TRACE(reason.name);
        // In the order of the block page: the content first, so that tokens inside it are replaced too.
        std::wstring built = ReplaceAll(page, L"%CONTENT%", m_resources.String(reason.content).value_or(L""));
        for (const auto& tag : kPageTags) built = ReplaceAll(built, tag.first, m_resources.String(tag.second).value_or(L""));
        built = ReplaceAll(built, L"%HEADER%", m_resources.String(reason.header).value_or(L""));
        built = ReplaceAll(built, L"%TITLE%", m_resources.String(reason.title).value_or(L""));
        const std::set<std::wstring> left = Tokens(built);
        for (const std::wstring& token : left) EXPECT_EQ(1u, kHandlerTokens.count(token)) << "unknown token " << token;
        EXPECT_NE(std::wstring::npos, built.find(L"<html")) << "the HTML tag comes from its string";
        EXPECT_NE(std::wstring::npos, built.find(L"charset=utf-8")) << "the page is sent as UTF-8";
        EXPECT_NE(std::wstring::npos, built.find(L"<body"));
        EXPECT_NE(std::wstring::npos, built.find(L"</html>"));
    }
    // Only the category reason names the category.
    EXPECT_EQ(1u, Tokens(*m_resources.String(14126)).count(L"%category%"));
}

TEST_F(ResourceDllsTest, ImagesOfTheBlockPageAreInTheDllAsTheirUrlsName) {
    const std::wstring page = PageText(m_resources);
    struct Image {
        UINT number;
        const wchar_t* type;
    };
    std::vector<Image> images;
    for (size_t at = page.find(kImageMarker); at != std::wstring::npos; at = page.find(kImageMarker, at + 1)) {
        // "/<number><marker>.<extension>"
        const size_t slash = page.rfind(L'/', at);
        ASSERT_NE(std::wstring::npos, slash);
        const UINT number = static_cast<UINT>(std::stoul(page.substr(slash + 1, at - slash - 1)));
        const std::wstring extension = page.substr(at + wcslen(kImageMarker), 5);
        const wchar_t* type = extension.compare(0, 4, L".gif") == 0   ? L"GIF"
                              : extension.compare(0, 4, L".jpg") == 0 ? L"JPEG"
                                                                       : nullptr;
        ASSERT_NE(nullptr, type) << extension;
        EXPECT_NE(0u, number) << "number 0 is not served";
        images.push_back({number, type});
    }
    ASSERT_EQ(2u, images.size());

    for (const Image& image : images) {
        SCOPED_TRACE(testing::Message() << image.type << " " << image.number);
        const std::optional<std::string> bytes = m_resources.Bytes(image.number, image.type);
        ASSERT_TRUE(bytes.has_value());
        if (std::wstring(image.type) == L"GIF") {
            EXPECT_EQ("GIF89a", bytes->substr(0, 6));
            ExpectDecodes(*bytes, 32, 32);
        } else {
            EXPECT_EQ("\xFF\xD8\xFF", bytes->substr(0, 3));
            ExpectDecodes(*bytes, 256, 32);
        }
    }
}

TEST_F(ResourceDllsTest, CustomDllReplacesOnlyItsOwnEntries) {
    const std::set<UINT> replaced = {14049, 14114, 14130, 20183};
    for (UINT id : replaced) {
        const std::optional<std::wstring> custom = m_custom.String(id);
        ASSERT_TRUE(custom.has_value()) << id;
        EXPECT_NE(m_resources.String(id), custom) << id;
    }
    EXPECT_EQ("s", Conversions(*m_custom.String(20183)));

    // Every other string comes from NuvRes2.dll, including neighbours in the same table block.
    std::vector<UINT> others(std::begin(kPlainStrings), std::end(kPlainStrings));
    for (const FormatString& format : kFormatStrings) others.push_back(format.id);
    for (const BlockReason& reason : kBlockReasons) others.insert(others.end(), {reason.title, reason.header, reason.content});
    for (const auto& tag : kPageTags) others.push_back(tag.second);
    for (UINT id : others) {
        if (replaced.count(id) == 0) {
            EXPECT_FALSE(m_custom.String(id).has_value()) << id;
        }
    }

    EXPECT_FALSE(m_custom.Bytes(L"/BADCONTENT.HTML", L"WEBSERVER").has_value());
    EXPECT_FALSE(m_custom.Bytes(11, L"JPEG").has_value());
    const std::optional<std::string> customImage = m_custom.Bytes(12, L"GIF");
    ASSERT_TRUE(customImage.has_value());
    EXPECT_NE(m_resources.Bytes(12, L"GIF"), customImage);
    ExpectDecodes(*customImage, 32, 32);
}

TEST_F(ResourceDllsTest, LongStringsSitAtTheLoadersLimits) {
    const std::pair<UINT, size_t> cases[] = {{29001, 1023}, {29002, 10238}, {29003, 10239}};
    for (const auto& [id, length] : cases) {
        const std::optional<std::wstring> text = m_resources.String(id);
        ASSERT_TRUE(text.has_value()) << id;
        EXPECT_EQ(length, text->size()) << id;
        EXPECT_EQ(0u, text->find(L"Long text of " + std::to_wstring(length) + L" characters:")) << id;
    }
}

}  // namespace
