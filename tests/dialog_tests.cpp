// The main dialog in a real window, driven from the test thread.
#include <gtest/gtest.h>

#include "DialogTemplate.h"
#include "Diagnostics.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

struct CMainDialogAccess
{
    static std::wstring File(CMainDialog& dialog) { return dialog.m_szFile; }
    static bool IsGraphEmpty(CMainDialog& dialog) { return dialog.m_Graph.IsEmpty(); }
};

namespace
{

constexpr wchar_t kDefaultPath[] = L"E:\\MXF-DATA\\!\\3.GRF";

struct ExpectedItem
{
    int nId;
    const wchar_t* pszClass;
    const wchar_t* pszText;
    DWORD dwStyle;
    short x, y, cx, cy;
};

// The original nine items, in tab order.
const ExpectedItem kNineItems[] = {
    {201, L"Button", L"Load...", 0x50010000, 13, 18, 50, 14},
    {202, L"Edit", L"", 0x50810080, 65, 19, 215, 12},
    {-1, L"Button", L"Graph creation", 0x50000007, 7, 7, 279, 55},
    {203, L"Button", L"Build graph", 0x50010000, 157, 38, 60, 14},
    {204, L"Button", L"Show graph", 0x50010000, 220, 38, 60, 14},
    {220, L"Button", L"Play", 0x50010000, 49, 154, 50, 14},
    {221, L"Button", L"Pause", 0x50010000, 121, 154, 50, 14},
    {222, L"Button", L"Stop", 0x50010000, 193, 154, 50, 14},
    {205, L"Button", L"Default graph", 0x50010000, 94, 38, 60, 14},
};

DialogTemplate MainTemplate()
{
    return LoadDialogTemplate(::GetModuleHandleW(nullptr), IDD_MAIN);
}

// The child windows of a dialog in creation (tab) order.
std::vector<HWND> ChildrenInOrder(HWND hWndDialog)
{
    std::vector<HWND> children;
    for (HWND hWnd = ::GetWindow(hWndDialog, GW_CHILD); hWnd != nullptr; hWnd = ::GetWindow(hWnd, GW_HWNDNEXT))
        children.push_back(hWnd);
    return children;
}

RECT ClientRectOf(HWND hWndChild)
{
    RECT rc = {};
    ::GetWindowRect(hWndChild, &rc);
    ::MapWindowPoints(nullptr, ::GetParent(hWndChild), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

class MainDialogTest : public ::testing::Test
{
protected:
    // Sets the path box as typing would, and waits until the dialog saw it.
    void SetPath(const std::wstring& path)
    {
        ::SetWindowTextW(host.Item(IDC_FILE), path.c_str());
        host.Send(WM_NULL, 0, 0);
    }

    // Runs a command that must end in one message box; returns what it showed.
    MessageBoxView ClickForMessageBox(int nID)
    {
        MessageBoxView view = host.ClickForMessageBox(nID);
        EXPECT_NE(nullptr, view.hWnd) << "no message box for command " << nID;
        return view;
    }

    void ExpectPlaybackEnabled(bool bEnabled)
    {
        for (int nID : {IDC_PLAY, IDC_PAUSE, IDC_STOP, IDC_POSITION})
            EXPECT_EQ(bEnabled, host.IsEnabled(nID)) << "item " << nID;
    }

    CDiagnosticsRecorder diag;
    CDialogHost host;
};

} // namespace

TEST(MainDialogTemplateTest, HoldsTheOriginalNineItemsInTabOrder)
{
    const DialogTemplate dlg = MainTemplate();
    ASSERT_TRUE(dlg.bExtended);
    EXPECT_EQ(0x80C800C0u, dlg.dwStyle);
    EXPECT_EQ(0u, dlg.dwExStyle);
    EXPECT_EQ(L"RTMP Server", dlg.caption);
    EXPECT_EQ(L"", dlg.menu);
    EXPECT_EQ(L"", dlg.className);
    EXPECT_EQ((std::vector<int>{0, 0, 293, 175}), (std::vector<int>{dlg.x, dlg.y, dlg.cx, dlg.cy}));
    EXPECT_EQ(L"Tahoma", dlg.typeface);
    EXPECT_EQ(8, dlg.wPointSize);
    EXPECT_EQ(0, dlg.wWeight);
    EXPECT_EQ(0, dlg.bItalic);
    EXPECT_EQ(0, dlg.bCharSet);

    ASSERT_GE(dlg.items.size(), std::size(kNineItems));
    for (size_t i = 0; i < std::size(kNineItems); ++i)
    {
        const ExpectedItem& want = kNineItems[i];
        const DialogItemTemplate& item = dlg.items[i];
        SCOPED_TRACE(testing::Message() << "item " << i << " (" << want.nId << ")");
        EXPECT_EQ(want.nId, item.nId);
        EXPECT_EQ(want.pszClass, item.className);
        EXPECT_EQ(want.pszText, item.text);
        EXPECT_EQ(want.dwStyle, item.dwStyle);
        EXPECT_EQ((std::vector<int>{want.x, want.y, want.cx, want.cy}),
                  (std::vector<int>{item.x, item.y, item.cx, item.cy}));
        EXPECT_EQ(0u, item.dwExStyle);
        EXPECT_EQ(0u, item.dwHelpId);
        EXPECT_EQ(0, item.cbExtra);
        EXPECT_NE(static_cast<DWORD>(BS_DEFPUSHBUTTON), item.dwStyle & 0x0F) << "no default button";
    }
}

TEST(MainDialogTemplateTest, ProgressItemsFillTheBandAboveThePlaybackButtons)
{
    const DialogTemplate dlg = MainTemplate();
    ASSERT_TRUE(dlg.bExtended);
    const struct
    {
        int nId;
        const wchar_t* pszClass;
    } kBandItems[] = {{IDC_PROGRESS, L"Static"}, {IDC_POSITION, TRACKBAR_CLASSW}, {IDC_STOP_POSITION, TRACKBAR_CLASSW}};
    for (const auto& want : kBandItems)
    {
        SCOPED_TRACE(testing::Message() << "item " << want.nId);
        auto it = std::find_if(dlg.items.begin(), dlg.items.end(),
                               [&](const DialogItemTemplate& item) { return item.nId == want.nId; });
        ASSERT_NE(dlg.items.end(), it);
        EXPECT_EQ(0, _wcsicmp(want.pszClass, it->className.c_str())) << it->className.c_str();
        EXPECT_GE(it->y, 62) << "below the group box";
        EXPECT_LE(it->y + it->cy, 154) << "above the playback buttons";
        EXPECT_GE(it->x, 0);
        EXPECT_LE(it->x + it->cx, dlg.cx);
    }
    // The position bar shows progress as its selection band.
    auto position = std::find_if(dlg.items.begin(), dlg.items.end(),
                                 [](const DialogItemTemplate& item) { return item.nId == IDC_POSITION; });
    EXPECT_EQ(static_cast<DWORD>(TBS_ENABLESELRANGE), position->dwStyle & TBS_ENABLESELRANGE);
}

TEST_F(MainDialogTest, StartsOnTheWorkAreaWithDefaultPathAndPlaybackDisabled)
{
    ASSERT_NE(nullptr, host.Dialog());
    EXPECT_EQ(L"RTMP Server", host.Title());
    EXPECT_EQ(kDefaultPath, host.ItemText(IDC_FILE));
    EXPECT_EQ(kDefaultPath, CMainDialogAccess::File(host.Object()));

    ExpectPlaybackEnabled(false);
    for (int nID : {IDC_LOAD, IDC_FILE, IDC_BUILD, IDC_SHOW, IDC_DEFAULT, IDC_STOP_POSITION})
        EXPECT_TRUE(host.IsEnabled(nID)) << "item " << nID;

    RECT rcWork = {};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcWork, 0);
    RECT rcDlg = {};
    ::GetWindowRect(host.Dialog(), &rcDlg);
    EXPECT_EQ((rcWork.left + rcWork.right - (rcDlg.right - rcDlg.left)) / 2, rcDlg.left);
    EXPECT_EQ(rcWork.bottom, rcDlg.bottom);

    GUITHREADINFO gti = {sizeof(gti)};
    ASSERT_TRUE(::GetGUIThreadInfo(host.ThreadId(), &gti));
    EXPECT_EQ(host.Item(IDC_LOAD), gti.hwndFocus) << "the first tab stop has the focus";
    EXPECT_NE(0u, ::GetClassLongPtrW(host.Dialog(), GCLP_HICON)) << "icon 200";
    EXPECT_TRUE(diag.Reports().empty());
}

TEST_F(MainDialogTest, LiveItemsMatchTheTemplateInPlaceAndOrder)
{
    const DialogTemplate dlg = MainTemplate();
    const std::vector<HWND> children = ChildrenInOrder(host.Dialog());
    ASSERT_EQ(dlg.items.size(), children.size());
    for (size_t i = 0; i < children.size(); ++i)
    {
        const DialogItemTemplate& item = dlg.items[i];
        HWND hWnd = children[i];
        SCOPED_TRACE(testing::Message() << "item " << i << " (" << item.nId << ")");
        EXPECT_EQ(item.nId, static_cast<int>(static_cast<short>(::GetDlgCtrlID(hWnd))));
        EXPECT_EQ(0, _wcsicmp(item.className.c_str(), ClassNameOf(hWnd).c_str()));
        if (item.nId != IDC_FILE && item.nId != IDC_PROGRESS)
        {
            EXPECT_EQ(item.text, WindowText(hWnd));
        }
        if (i >= std::size(kNineItems))
            continue; // a track bar sizes its own window
        // The dialog manager maps the origin and the size separately.
        RECT rcUnits = {item.x, item.y, item.cx, item.cy};
        ::MapDialogRect(host.Dialog(), &rcUnits);
        const RECT rcHave = ClientRectOf(hWnd);
        EXPECT_EQ((std::vector<LONG>{rcUnits.left, rcUnits.top, rcUnits.right, rcUnits.bottom}),
                  (std::vector<LONG>{rcHave.left, rcHave.top, rcHave.right - rcHave.left, rcHave.bottom - rcHave.top}));
        // An edit's border becomes a client edge once the box exists.
        const DWORD dwIgnored = WS_DISABLED | WS_BORDER;
        const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongW(hWnd, GWL_STYLE)) & ~dwIgnored;
        EXPECT_EQ(item.dwStyle & ~dwIgnored, dwStyle);
    }
}

TEST(MainDialogCloseTest, EndsWithTheCommandThatClosedIt)
{
    const struct
    {
        const char* pszHow;
        UINT uMsg;
        WPARAM wParam;
        INT_PTR nResult;
    } kCases[] = {
        {"IDOK (Enter)", WM_COMMAND, IDOK, IDOK},
        {"IDCANCEL (Escape)", WM_COMMAND, IDCANCEL, IDCANCEL},
        {"close box", WM_SYSCOMMAND, SC_CLOSE, IDCANCEL},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszHow);
        CDialogHost host;
        HWND hWndDialog = host.Dialog();
        ASSERT_NE(nullptr, hWndDialog);
        EXPECT_EQ(c.nResult, host.CloseWith(c.uMsg, c.wParam, 0));
        EXPECT_FALSE(::IsWindow(hWndDialog));
    }
}

TEST_F(MainDialogTest, BuildWithEmptyPathSaysNoFileSelected)
{
    SetPath(L"");
    EXPECT_EQ(L"", CMainDialogAccess::File(host.Object()));

    const MessageBoxView box = ClickForMessageBox(IDC_BUILD);
    EXPECT_EQ(L"Skerry", box.caption);
    EXPECT_EQ(L".grf file not selected\n" + SystemText(E_INVALIDARG) + L"\nError 0x80070057", box.text);
    EXPECT_TRUE(box.bIcon);
    EXPECT_EQ(L"RTMP Server", host.Title());
    ExpectPlaybackEnabled(false);
    EXPECT_TRUE(CMainDialogAccess::IsGraphEmpty(host.Object())) << "nothing was built";
}

TEST_F(MainDialogTest, BuildFailuresShowTheStatusOfTheOpen)
{
    const std::wstring dir = MakeTempFolder(L"build");
    const std::wstring textFile = dir + L"\\notes.grf";
    WriteTextFile(textFile, "this is not a graph file\r\n");

    const struct
    {
        const char* pszWhat;
        std::wstring path;
    } kCases[] = {
        {"missing file", dir + L"\\missing.grf"},
        {"plain text file", textFile},
        {"folder", dir},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszWhat);
        const HRESULT hrOpen = OpenStorageStatus(c.path);
        ASSERT_TRUE(FAILED(hrOpen));

        SetPath(c.path);
        const MessageBoxView box = ClickForMessageBox(IDC_BUILD);
        EXPECT_EQ(L"Skerry", box.caption);
        EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
        EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(hrOpen))) << box.text;
        EXPECT_TRUE(box.bIcon);
        EXPECT_EQ(L"RTMP Server", host.Title()) << "the title keeps its text";
        ExpectPlaybackEnabled(false);
        // The graph manager created for the file stays until the next build.
        EXPECT_FALSE(CMainDialogAccess::IsGraphEmpty(host.Object()));
    }
    EXPECT_TRUE(diag.HasReport(L"CGraph::BuildFromGRFFile(): Can't open .grf file"));
    RemoveTempFolder(dir);
}

// A console loads only filters of its own bitness. A filter registered for
// the other bitness alone is not registered for it, as the box says; a trace
// line names the other registration.
TEST_F(MainDialogTest, FilterRegisteredForTheOtherBitnessOnlyIsNotRegisteredAndTraced)
{
    const std::wstring key = InprocServerKey(CLSID_VelkAACEncoder);
    const auto other = ReadRegistryText(HKEY_CLASSES_ROOT, key.c_str(), nullptr, kOtherRegistryView);
    ASSERT_TRUE(other) << "the set-up registers the filters of both bitnesses";
    CRegistryValue own(HKEY_CLASSES_ROOT, key.c_str(), nullptr);
    own.Delete();

    const MessageBoxView box = ClickForMessageBox(IDC_DEFAULT);
    // The middle line is the platform's description of the status.
    EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\nError 0x80040154")) << box.text;
    ExpectPlaybackEnabled(false);
    const std::wstring expected = L"###Err### CGraph::AddNewFilter(): " + GuidText(CLSID_VelkAACEncoder) +
                                  L" is registered for " + kOtherBitness + L"-bit programs only: " + *other + L"\n";
    const auto traces = diag.Traces();
    EXPECT_EQ(1, std::count_if(traces.begin(), traces.end(), [&](const auto& t) { return t.text == expected; }))
        << std::string(expected.begin(), expected.end());
}

TEST_F(MainDialogTest, PathBoxKeepsTheFirst259TypedCharacters)
{
    SetPath(L"");
    std::wstring typed;
    for (int i = 0; i < 300; ++i)
    {
        const wchar_t ch = static_cast<wchar_t>(L'a' + i % 26);
        typed.push_back(ch);
        ::SendMessageW(host.Item(IDC_FILE), WM_CHAR, ch, 1);
    }
    host.Send(WM_NULL, 0, 0);
    EXPECT_EQ(typed, host.ItemText(IDC_FILE)) << "the box itself holds all of it";
    EXPECT_EQ(typed.substr(0, 259), CMainDialogAccess::File(host.Object()));
}

TEST_F(MainDialogTest, PathLongerThanItsBufferIsRefusedNotCut)
{
    const std::wstring dir = MakeTempFolder(L"long");
    // The first 259 characters of the path name a file of their own.
    std::wstring cut = dir + L"\\";
    cut.append(259 - cut.size(), L'a');
    WriteTextFile(cut, "x");
    ASSERT_EQ(259u, cut.size());
    const std::wstring typed = cut + L"X.grf";
    SetPath(typed);
    ASSERT_EQ(cut, CMainDialogAccess::File(host.Object())) << "the buffer keeps what fits";

    const MessageBoxView box = ClickForMessageBox(IDC_BUILD);
    const HRESULT hrTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(L"Can't build graph\n" + SystemText(hrTooLong) + L"\n" + StatusLine(hrTooLong), box.text);
    EXPECT_TRUE(CMainDialogAccess::IsGraphEmpty(host.Object())) << "nothing was opened";
    ExpectPlaybackEnabled(false);

    // A path that fits again is taken as it is.
    SetPath(cut);
    const MessageBoxView opened = ClickForMessageBox(IDC_BUILD);
    EXPECT_EQ(std::wstring::npos, opened.text.find(StatusLine(hrTooLong))) << opened.text;
    RemoveTempFolder(dir);
}

TEST_F(MainDialogTest, PlaybackCommandsWithoutGraph)
{
    // The buttons are disabled; the commands reach the dialog all the same.
    for (int nID : {IDC_PLAY, IDC_PAUSE})
    {
        SCOPED_TRACE(nID);
        const MessageBoxView box = ClickForMessageBox(nID);
        EXPECT_EQ(L"Graph not exist\n" + SystemText(E_FAIL) + L"\nError 0x80004005", box.text);
        EXPECT_TRUE(box.bIcon);
    }
    EXPECT_TRUE(host.Click(IDC_STOP)) << "Stop returns at once";
    EXPECT_EQ(nullptr, host.WaitForMessageBox(300)) << "Stop without a graph shows nothing";
}

TEST_F(MainDialogTest, LoadFollowsTheChosenFileAndCancelKeepsThePath)
{
    const std::wstring dir = MakeTempFolder(L"load");
    const std::wstring chosen = dir + L"\\chosen.grf";
    WriteTextFile(chosen, "x");

    // Cancelled: nothing changes.
    host.PostClick(IDC_LOAD);
    HWND hWndOpen = host.WaitForMessageBox();
    ASSERT_NE(nullptr, hWndOpen);
    EXPECT_EQ(L"Select GRF file or All file", WindowText(hWndOpen));
    ::PostMessageW(hWndOpen, WM_COMMAND, IDCANCEL, 0);
    // A message sent now would be answered inside the open dialog's loop,
    // before the posted command: wait for the dialog to go first.
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hWndOpen); }, 10000));
    host.Send(WM_NULL, 0, 0, nullptr, 10000);
    EXPECT_EQ(kDefaultPath, host.ItemText(IDC_FILE));

    // Accepted: the path box shows the file; no graph is built.
    host.PostClick(IDC_LOAD);
    hWndOpen = host.WaitForMessageBox();
    ASSERT_NE(nullptr, hWndOpen);
    ASSERT_TRUE(SetOpenDialogFileName(hWndOpen, chosen));
    ::PostMessageW(hWndOpen, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hWndOpen); }, 10000));
    host.Send(WM_NULL, 0, 0, nullptr, 10000);
    EXPECT_EQ(0, _wcsicmp(chosen.c_str(), host.ItemText(IDC_FILE).c_str())) << host.ItemText(IDC_FILE).c_str();
    EXPECT_EQ(host.ItemText(IDC_FILE), CMainDialogAccess::File(host.Object()));
    EXPECT_TRUE(CMainDialogAccess::IsGraphEmpty(host.Object()));
    RemoveTempFolder(dir);
}

TEST(ProgressDisplayTest, TextAndPerMilleOfPositionAndDuration)
{
    const struct
    {
        REFERENCE_TIME llPosition;
        REFERENCE_TIME llDuration;
        const wchar_t* pszText;
        WORD wPerMille;
    } kCases[] = {
        {12345678, 100000000, L"1.234 from 10.000", 123},
        {12355000, 100000000, L"1.235 from 10.000", 124},
        {0, 600000000, L"0.000 from 60.000", 0},
        {59999999, 600000000, L"5.999 from 60.000", 100},
        {100000000, 100000000, L"10.000 from 10.000", 1000},
        {4999, 100000000, L"0.000 from 10.000", 0},
        {36000000000LL, 72000000000LL, L"3600.000 from 7200.000", 500},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(testing::Message() << c.llPosition << " of " << c.llDuration);
        wchar_t sz[64];
        CMainDialog::FormatProgress(c.llPosition, c.llDuration, sz, 64);
        EXPECT_EQ(std::wstring(c.pszText), sz);
        EXPECT_EQ(c.wPerMille, CMainDialog::ProgressPerMille(c.llPosition, c.llDuration));
    }
}

TEST(ProgressDisplayTest, ExtremeTimesStayInsideTheBuffer)
{
    wchar_t sz[64];
    std::fill(std::begin(sz), std::end(sz), L'#');
    CMainDialog::FormatProgress(INT64_MIN, INT64_MAX, sz, 64);
    EXPECT_LT(std::wcslen(sz), 64u);
    EXPECT_EQ(0, CMainDialog::ProgressPerMille(INT64_MAX, 1)) << "a position no stream reaches";
}
