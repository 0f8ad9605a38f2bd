// Process entry: one COM apartment, one modal run of the main dialog.
#include <atlbase.h>
#include <atlwin.h>

#include <commctrl.h>

#include "MainDialog.h"

class CSkerryModule : public CAtlExeModuleT<CSkerryModule>
{
};

CSkerryModule _AtlModule;

extern "C" int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR /*pszCmdLine*/,
                               int /*nShowCmd*/)
{
    // S_FALSE means someone else already owns COM on this thread: not ours to run.
    HRESULT hr = _AtlModule.InitializeCom();
    if (hr != S_OK)
    {
        ATLREPORT(L"_AtlModule.InitializeCom() FAILED");
        return hr;
    }

    // The dialog template holds track bars: their class must exist before
    // the dialog is made from it.
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES};
    BOOL bRet = ::InitCommonControlsEx(&icc);
    ATLASSERT(bRet);

    HWND hWndActive = ::GetActiveWindow();
    {
        // The dialog, and with it every interface of the graph, goes before COM.
        CMainDialog dlg;
        dlg.DoModal(hWndActive);
    }

    _AtlWinModule.Term();
    _AtlModule.UninitializeCom();
    return 0;
}
