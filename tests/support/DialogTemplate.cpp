#include "DialogTemplate.h"

#include <cstring>

namespace
{

// A cursor over the template's bytes that never reads past its end.
class CReader
{
public:
    CReader(const BYTE* p, size_t cb) : m_p(p), m_cb(cb) {}

    bool Ok() const { return m_bOk; }

    template <class T>
    T Read()
    {
        T value{};
        if (m_pos + sizeof(T) > m_cb)
        {
            m_bOk = false;
            return value;
        }
        std::memcpy(&value, m_p + m_pos, sizeof(T));
        m_pos += sizeof(T);
        return value;
    }

    std::wstring ReadString()
    {
        std::wstring text;
        for (WORD w = Read<WORD>(); m_bOk && w != 0; w = Read<WORD>())
            text.push_back(static_cast<wchar_t>(w));
        return text;
    }

    // A string or an ordinal; predefined control classes come back by name.
    std::wstring ReadStringOrOrdinal()
    {
        const size_t start = m_pos;
        const WORD w = Read<WORD>();
        if (w == 0x0000)
            return std::wstring();
        if (w == 0xFFFF)
            return OrdinalName(Read<WORD>());
        m_pos = start;
        return ReadString();
    }

    void AlignDword() { m_pos = (m_pos + 3) & ~static_cast<size_t>(3); }
    void Skip(size_t cb) { m_pos += cb; }

private:
    static std::wstring OrdinalName(WORD wOrdinal)
    {
        switch (wOrdinal)
        {
        case 0x0080: return L"Button";
        case 0x0081: return L"Edit";
        case 0x0082: return L"Static";
        case 0x0083: return L"ListBox";
        case 0x0084: return L"ScrollBar";
        case 0x0085: return L"ComboBox";
        default: return L"#" + std::to_wstring(wOrdinal);
        }
    }

    const BYTE* m_p;
    size_t m_cb;
    size_t m_pos = 0;
    bool m_bOk = true;
};

} // namespace

DialogTemplate LoadDialogTemplate(HMODULE hModule, int nId)
{
    DialogTemplate dlg;
    HRSRC hRes = ::FindResourceW(hModule, MAKEINTRESOURCEW(nId), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (hRes == nullptr)
        return dlg;
    HGLOBAL hData = ::LoadResource(hModule, hRes);
    const BYTE* p = static_cast<const BYTE*>(::LockResource(hData));
    if (p == nullptr)
        return dlg;

    CReader reader(p, ::SizeofResource(hModule, hRes));
    const WORD wVersion = reader.Read<WORD>();
    const WORD wSignature = reader.Read<WORD>();
    if (wVersion != 1 || wSignature != 0xFFFF)
        return dlg;
    reader.Read<DWORD>(); // help id
    dlg.dwExStyle = reader.Read<DWORD>();
    dlg.dwStyle = reader.Read<DWORD>();
    const WORD cItems = reader.Read<WORD>();
    dlg.x = reader.Read<short>();
    dlg.y = reader.Read<short>();
    dlg.cx = reader.Read<short>();
    dlg.cy = reader.Read<short>();
    dlg.menu = reader.ReadStringOrOrdinal();
    dlg.className = reader.ReadStringOrOrdinal();
    dlg.caption = reader.ReadString();
    if (dlg.dwStyle & (DS_SETFONT | DS_SHELLFONT))
    {
        dlg.wPointSize = reader.Read<WORD>();
        dlg.wWeight = reader.Read<WORD>();
        dlg.bItalic = reader.Read<BYTE>();
        dlg.bCharSet = reader.Read<BYTE>();
        dlg.typeface = reader.ReadString();
    }
    for (WORD i = 0; i < cItems && reader.Ok(); ++i)
    {
        reader.AlignDword();
        DialogItemTemplate item;
        item.dwHelpId = reader.Read<DWORD>();
        item.dwExStyle = reader.Read<DWORD>();
        item.dwStyle = reader.Read<DWORD>();
        item.x = reader.Read<short>();
        item.y = reader.Read<short>();
        item.cx = reader.Read<short>();
        item.cy = reader.Read<short>();
        item.nId = reader.Read<int>();
        item.className = reader.ReadStringOrOrdinal();
        item.text = reader.ReadStringOrOrdinal();
        item.cbExtra = reader.Read<WORD>();
        reader.Skip(item.cbExtra);
        dlg.items.push_back(item);
    }
    dlg.bExtended = reader.Ok();
    return dlg;
}
