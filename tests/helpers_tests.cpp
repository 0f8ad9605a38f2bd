// The error message box: its text, and the real box on screen.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "Helpers.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <dshow.h>
#include <dshowuuid.h>

#include "VelkFilters.h"

#include <future>
#include <string>

namespace
{

std::wstring Compose(const wchar_t* pszText, HRESULT hr)
{
    wchar_t msg[1024];
    FormatErrorMessage(pszText, hr, msg, 1024);
    return msg;
}

std::wstring MediaText(HRESULT hr)
{
    wchar_t sz[1024] = {};
    ::AMGetErrorTextW(hr, sz, 1023);
    std::wstring text = sz;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// A status that the system cannot describe.
constexpr HRESULT kUnknownStatus = static_cast<HRESULT>(0xA00D1234);

// A class of the tests' own, registered in neither view but while a test
// runs; the keys go with the test.
constexpr CLSID kclsidTestServer = {0x5D7A9E36, 0x2C41, 0x4B8E, {0x9D, 0x0F, 0x6A, 0x3B, 0x1C, 0x2E, 0x4F, 0x70}};

class CTestServerKeys
{
public:
    CTestServerKeys() { Remove(); }
    ~CTestServerKeys() { Remove(); }
    CTestServerKeys(const CTestServerKeys&) = delete;
    CTestServerKeys& operator=(const CTestServerKeys&) = delete;

private:
    static void Remove()
    {
        for (REGSAM samView : {kOwnRegistryView, kOtherRegistryView})
        {
            ::RegDeleteKeyExW(HKEY_CLASSES_ROOT, InprocServerKey(kclsidTestServer).c_str(), samView, 0);
            ::RegDeleteKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(kclsidTestServer)).c_str(), samView, 0);
        }
    }
};

} // namespace

TEST(ErrorMessageTest, ComposesTextDescriptionAndCode)
{
    ASSERT_FALSE(SystemText(E_FAIL).empty());
    ASSERT_TRUE(SystemText(kUnknownStatus).empty());
    const HRESULT hrMedia = VFW_E_NOT_CONNECTED; // facility 4: the media framework's own
    ASSERT_FALSE(MediaText(hrMedia).empty());

    const std::wstring longText(1023, L'x');
    const std::wstring overlongText(3000, L'y');
    const struct
    {
        const char* pszCase;
        const wchar_t* pszText;
        HRESULT hr;
        std::wstring expected;
    } kCases[] = {
        {"status 0: the text alone", L"The end", 0, L"The end"},
        {"a failure", L"Can't build graph", E_FAIL, L"Can't build graph\n" + SystemText(E_FAIL) + L"\nError 0x80004005"},
        // Status 1 is no Win32 error 1 ("Invalid function.").
        {"a success status has no description", L"Some problems found", S_FALSE, L"Some problems found\nError 0x1"},
        {"facility 4 asks the media framework", L"Can't play file", hrMedia,
         L"Can't play file\n" + MediaText(hrMedia) + L"\n" + StatusLine(hrMedia)},
        {"null text", nullptr, E_FAIL, SystemText(E_FAIL) + L"\nError 0x80004005"},
        {"empty text", L"", E_FAIL, SystemText(E_FAIL) + L"\nError 0x80004005"},
        {"nothing describes the status", nullptr, kUnknownStatus, StatusLine(kUnknownStatus)},
        {"text without description", L"Can't show graph", kUnknownStatus,
         L"Can't show graph\n" + StatusLine(kUnknownStatus)},
        {"null text and status 0", nullptr, 0, L""},
        {"1,023 units leave no room", longText.c_str(), E_FAIL, longText},
        {"1,022 units take the line feed only", longText.c_str() + 1, E_FAIL, longText.substr(1) + L"\n"},
        {"a longer text is cut", overlongText.c_str(), 0, std::wstring(1023, L'y')},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        EXPECT_EQ(c.expected, Compose(c.pszText, c.hr));
    }
}

TEST(ErrorMessageTest, DescriptionsLoseTheLineBreakTheyEndWith)
{
    const std::wstring raw = RawSystemText(E_FAIL);
    ASSERT_FALSE(raw.empty());
    ASSERT_EQ(L'\n', raw.back()) << "the system's text ends with a line break";
    const std::wstring message = Compose(L"Can't build graph", E_FAIL);
    EXPECT_EQ(std::wstring::npos, message.find(L"\n\n")) << "no empty line";
    EXPECT_EQ(std::wstring::npos, message.find(L'\r'));
    EXPECT_EQ(L"Can't build graph\n" + SystemText(E_FAIL) + L"\nError 0x80004005", message);
}

TEST(ErrorMessageTest, SmallBuffersAreNeverOverrun)
{
    wchar_t sz[8];
    std::fill(std::begin(sz), std::end(sz), L'#');
    FormatErrorMessage(L"Can't build graph", E_FAIL, sz, 6);
    EXPECT_EQ(L"Can't", std::wstring(sz));
    EXPECT_EQ(L'#', sz[6]);
    EXPECT_EQ(L'#', sz[7]);
}

TEST(ErrorMessageBoxTest, ShowsTheRealBoxWithCaptionTextAndIcon)
{
    const struct
    {
        const wchar_t* pszText;
        HRESULT hr;
        bool bIcon;
    } kCases[] = {
        {L"Can't build graph", E_FAIL, true},
        {L"The end", 0, false},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(testing::Message() << "status " << c.hr);
        DWORD dwThreadId = 0;
        std::promise<DWORD> started;
        auto result = std::async(std::launch::async, [&] {
            started.set_value(::GetCurrentThreadId());
            // Not a window: the box falls back to the thread's active window.
            return ErrorMessageBox(reinterpret_cast<HWND>(0x1234), c.pszText, L"Skerry", c.hr, 0);
        });
        dwThreadId = started.get_future().get();
        HWND hWndBox = WaitForThreadDialog(dwThreadId, nullptr, 5000);
        ASSERT_NE(nullptr, hWndBox);
        const MessageBoxView view = ReadMessageBox(hWndBox);
        EXPECT_EQ(L"Skerry", view.caption);
        EXPECT_EQ(Compose(c.pszText, c.hr), view.text);
        EXPECT_EQ(c.bIcon, view.bIcon);
        DismissMessageBox(hWndBox);
        EXPECT_EQ(IDOK, result.get());
    }
}

TEST(ErrorMessageBoxTest, OwnerIsTheWindowGivenOrElseTheActiveOne)
{
    for (const bool bGiveWindow : {false, true})
    {
        SCOPED_TRACE(bGiveWindow ? "a window given" : "no window given");
        struct Windows
        {
            DWORD dwThreadId;
            HWND hWndActive;
            HWND hWndOther;
            HWND hWndActiveSeen;
        };
        std::promise<Windows> shown;
        auto result = std::async(std::launch::async, [&] {
            // Two windows of this thread; the first is the active one.
            auto make = [] {
                return ::CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                         nullptr, nullptr, nullptr, nullptr);
            };
            HWND hWndActive = make();
            HWND hWndOther = make();
            ::SetActiveWindow(hWndActive);
            shown.set_value({::GetCurrentThreadId(), hWndActive, hWndOther, ::GetActiveWindow()});
            const int nResult = ErrorMessageBox(bGiveWindow ? hWndOther : reinterpret_cast<HWND>(0x1234),
                                                L"Can't build graph", L"Skerry", E_FAIL, 0);
            ::DestroyWindow(hWndOther);
            ::DestroyWindow(hWndActive);
            return nResult;
        });
        const Windows windows = shown.get_future().get();
        ASSERT_NE(nullptr, windows.hWndActive);
        ASSERT_EQ(windows.hWndActive, windows.hWndActiveSeen);
        HWND hWndBox = WaitForThreadDialog(windows.dwThreadId, nullptr, 5000);
        ASSERT_NE(nullptr, hWndBox);
        EXPECT_EQ(bGiveWindow ? windows.hWndOther : windows.hWndActive, ::GetWindow(hWndBox, GW_OWNER));
        DismissMessageBox(hWndBox);
        EXPECT_EQ(IDOK, result.get());
    }
}

// ---------------------------------------------------------------------------
// Classes registered for the other bitness

TEST(OtherBitnessTest, TracesOnlyAClassRegisteredForTheOtherBitnessAlone)
{
    const struct
    {
        const char* pszWhat;
        const wchar_t* pszOwn;   // this bitness's server, or none
        const wchar_t* pszOther; // the other's
        bool bTraced;
    } kCases[] = {
        {"the other bitness only", nullptr, L"C:\\Other\\server.dll", true},
        {"both", L"C:\\Own\\server.dll", L"C:\\Other\\server.dll", false},
        {"this bitness only", L"C:\\Own\\server.dll", nullptr, false},
        {"neither", nullptr, nullptr, false},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszWhat);
        CTestServerKeys keys;
        const std::wstring key = InprocServerKey(kclsidTestServer);
        CRegistryValue own(HKEY_CLASSES_ROOT, key.c_str(), nullptr, kOwnRegistryView);
        CRegistryValue other(HKEY_CLASSES_ROOT, key.c_str(), nullptr, kOtherRegistryView);
        if (c.pszOwn != nullptr)
            own.SetText(c.pszOwn);
        if (c.pszOther != nullptr)
            other.SetText(c.pszOther);
        // Each view holds what was written into it, and only that.
        ASSERT_EQ(c.pszOwn != nullptr, ReadRegistryText(HKEY_CLASSES_ROOT, key.c_str(), nullptr, kOwnRegistryView).has_value());
        ASSERT_EQ(c.pszOther != nullptr,
                  ReadRegistryText(HKEY_CLASSES_ROOT, key.c_str(), nullptr, kOtherRegistryView).has_value());

        CDiagnosticsRecorder diag;
        TraceOtherBitnessRegistration(kclsidTestServer, L"Caller()");
        const std::wstring expected = L"###Err### Caller(): " + GuidText(kclsidTestServer) +
                                      L" is registered for " + kOtherBitness + L"-bit programs only: C:\\Other\\server.dll\n";
        const auto traces = diag.Traces();
        if (c.bTraced)
        {
            ASSERT_EQ(1u, traces.size());
            EXPECT_EQ(expected, traces[0].text);
        }
        else
        {
            EXPECT_TRUE(traces.empty()) << traces.front().text;
        }
    }
}

// Each bitness finds its own servers and editor in its own view of the
// registry, as 64-bit Windows keeps them apart: the filters, the graph
// manager (graph files need it), the property-page library and the editor.
TEST(OtherBitnessTest, EachBitnessFindsServersAndEditorOfItsOwnInItsOwnView)
{
    const std::wstring graphEditKey = L"Software\\Microsoft\\Shared Tools\\Graphedit";
    const struct
    {
        HKEY hRoot;
        std::wstring key;
        const wchar_t* pszValue;
    } kValues[] = {
        {HKEY_CLASSES_ROOT, InprocServerKey(CLSID_VelkVideoGenerator), nullptr},
        {HKEY_CLASSES_ROOT, InprocServerKey(CLSID_VelkH264Encoder), nullptr},
        {HKEY_CLASSES_ROOT, InprocServerKey(CLSID_VelkAACEncoder), nullptr},
        {HKEY_CLASSES_ROOT, InprocServerKey(CLSID_VelkRtmpServer), nullptr},
        {HKEY_CLASSES_ROOT, InprocServerKey(CLSID_FilterGraph), nullptr},
        {HKEY_CLASSES_ROOT, L"CLSID\\{29E07010-BD27-11CE-AB59-00AA00577DA1}\\InprocServer32", nullptr},
        {HKEY_LOCAL_MACHINE, graphEditKey, L"Path"},
    };
    const WORD wOtherMachine = OwnMachine() == IMAGE_FILE_MACHINE_AMD64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    for (const auto& v : kValues)
    {
        SCOPED_TRACE(std::string(v.key.begin(), v.key.end()));
        const auto own = ReadRegistryText(v.hRoot, v.key.c_str(), v.pszValue);
        const auto ownView = ReadRegistryText(v.hRoot, v.key.c_str(), v.pszValue, kOwnRegistryView);
        const auto other = ReadRegistryText(v.hRoot, v.key.c_str(), v.pszValue, kOtherRegistryView);
        ASSERT_TRUE(own && ownView && other);
        EXPECT_EQ(*own, *ownView) << "a plain read sees this bitness's view";
        EXPECT_EQ(OwnMachine(), ImageMachine(*own)) << std::string(own->begin(), own->end());
        EXPECT_EQ(wOtherMachine, ImageMachine(*other)) << std::string(other->begin(), other->end());
    }
    // The console's own filters are this build's.
    EXPECT_EQ(0, _wcsicmp((BuildFolder() + L"\\testbed\\filters\\VelkFilters.dll").c_str(),
                          ReadRegistryText(HKEY_CLASSES_ROOT, InprocServerKey(CLSID_VelkRtmpServer).c_str(), nullptr)
                              .value_or(L"")
                              .c_str()));
}
