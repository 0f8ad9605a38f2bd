// grf: makes graph files with the platform's graph manager and lists them.
//
//   grf default FILE           the default streaming graph, connected as the
//                              console connects it
//   grf save FILE FILTER...    filters by name or class id, each connected to
//                              the filters before it
//   grf list FILE              the filters, connections and clock of a file
//   grf export FILE OUT        the file's graph stream as it is, into OUT
//
// FILTER is a maker filter's name ("Video Generator", "H264 Encoder",
// "AAC Encoder", "RTMP Server") or a braced class id, optionally followed by
// "=" and the name to give it in the graph.
#include <atlbase.h>

#include <dshow.h>

#include "ComUtil.h"
#include "GraphFile.h"
#include "VelkFilters.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

constexpr wchar_t kGraphStream[] = L"ActiveMovieGraph";
constexpr size_t kcbMaxGraph = 64 * 1024 * 1024;

struct NamedFilter
{
    CLSID clsid = GUID_NULL;
    std::wstring name;
};

struct KnownFilter
{
    const wchar_t* pszName;
    const CLSID* pClsid;
};

const KnownFilter kKnownFilters[] = {
    {VELK_NAME_VIDEO_GENERATOR, &CLSID_VelkVideoGenerator},
    {VELK_NAME_H264_ENCODER, &CLSID_VelkH264Encoder},
    {VELK_NAME_AAC_ENCODER, &CLSID_VelkAACEncoder},
    {VELK_NAME_RTMP_SERVER, &CLSID_VelkRtmpServer},
};

void Print(const std::u16string& text)
{
    const std::wstring wide = FromFileText(text);
    const int cb = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 1)
        return;
    std::string utf8(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], cb, nullptr, nullptr);
    std::fputs(utf8.c_str(), stdout);
}

void Print(const char* psz) { std::fputs(psz, stdout); }
void Print(uint32_t n) { std::printf("%04u", n); }

int Fail(const char* pszWhat, HRESULT hr)
{
    std::fprintf(stderr, "grf: %s failed: 0x%08lX\n", pszWhat, static_cast<unsigned long>(hr));
    return 1;
}

// "Name" or "{clsid}", optionally "=Name in the graph".
bool ParseNamedFilter(const std::wstring& arg, NamedFilter& named)
{
    const size_t eq = arg.find(L'=');
    const std::wstring kind = arg.substr(0, eq);
    for (const KnownFilter& known : kKnownFilters)
    {
        if (kind == known.pszName)
        {
            named.clsid = *known.pClsid;
            named.name = known.pszName;
        }
    }
    grf::Guid guid;
    if (named.name.empty())
    {
        if (!grf::ParseGuid(ToFileText(kind.c_str()), guid))
            return false;
        named.clsid = FromFileGuid(guid);
        named.name = kind;
    }
    if (eq != std::wstring::npos)
        named.name = arg.substr(eq + 1);
    return !named.name.empty();
}

HRESULT FreePins(IBaseFilter* pFilter, PIN_DIRECTION eWanted, std::vector<CComPtr<IPin>>& pins)
{
    std::vector<FilterPin> all;
    const HRESULT hr = FilterPins(pFilter, all);
    for (const FilterPin& pin : all)
    {
        if (pin.eDirection == eWanted && !pin.spPeer)
            pins.push_back(pin.spPin);
    }
    return hr;
}

// Each free input pin of a filter takes the first free output pin of the
// filters before it that it accepts.
HRESULT ConnectToEarlier(IGraphBuilder* pGraph, const std::vector<CComPtr<IBaseFilter>>& filters, size_t i)
{
    std::vector<CComPtr<IPin>> inputs;
    HRESULT hr = FreePins(filters[i], PINDIR_INPUT, inputs);
    if (FAILED(hr))
        return hr;
    for (IPin* pIn : inputs)
    {
        for (size_t j = 0; j < i; ++j)
        {
            std::vector<CComPtr<IPin>> outputs;
            hr = FreePins(filters[j], PINDIR_OUTPUT, outputs);
            if (FAILED(hr))
                return hr;
            bool bConnected = false;
            for (IPin* pOut : outputs)
            {
                if (SUCCEEDED(pGraph->ConnectDirect(pOut, pIn, nullptr)))
                {
                    bConnected = true;
                    break;
                }
            }
            if (bConnected)
                break;
        }
    }
    return S_OK;
}

HRESULT BuildGraph(IGraphBuilder* pGraph, const std::vector<NamedFilter>& choices)
{
    std::vector<CComPtr<IBaseFilter>> filters;
    for (const NamedFilter& named : choices)
    {
        CComPtr<IBaseFilter> spFilter;
        HRESULT hr = spFilter.CoCreateInstance(named.clsid, nullptr, CLSCTX_INPROC_SERVER);
        if (FAILED(hr))
            return hr;
        hr = pGraph->AddFilter(spFilter, named.name.c_str());
        if (FAILED(hr))
            return hr;
        filters.push_back(spFilter);
    }
    for (size_t i = 1; i < filters.size(); ++i)
    {
        const HRESULT hr = ConnectToEarlier(pGraph, filters, i);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

// Through the graph manager's own IPersistStream, as a graph editor saves.
HRESULT SaveGraph(IGraphBuilder* pGraph, const wchar_t* pszFile)
{
    CComPtr<IPersistStream> spPersist;
    HRESULT hr = pGraph->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist));
    if (FAILED(hr))
        return hr;
    const DWORD grfMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    CComPtr<IStorage> spStorage;
    hr = ::StgCreateDocfile(pszFile, grfMode, 0, &spStorage);
    if (FAILED(hr))
        return hr;
    CComPtr<IStream> spStream;
    hr = spStorage->CreateStream(kGraphStream, grfMode, 0, 0, &spStream);
    if (FAILED(hr))
        return hr;
    hr = spPersist->Save(spStream, TRUE);
    if (FAILED(hr))
        return hr;
    return spStorage->Commit(STGC_DEFAULT);
}

int Save(const wchar_t* pszFile, const std::vector<NamedFilter>& choices)
{
    CComPtr<IGraphBuilder> spGraph;
    HRESULT hr = spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER);
    if (FAILED(hr))
        return Fail("creating the graph manager", hr);
    hr = BuildGraph(spGraph, choices);
    if (FAILED(hr))
        return Fail("building the graph", hr);
    hr = SaveGraph(spGraph, pszFile);
    return FAILED(hr) ? Fail("saving the graph", hr) : 0;
}

HRESULT ReadGraphStream(const wchar_t* pszFile, std::vector<uint8_t>& bytes)
{
    const DWORD grfMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
    CComPtr<IStorage> spStorage;
    HRESULT hr = ::StgOpenStorage(pszFile, nullptr, grfMode, nullptr, 0, &spStorage);
    if (FAILED(hr))
        return hr;
    CComPtr<IStream> spStream;
    hr = spStorage->OpenStream(kGraphStream, nullptr, grfMode, 0, &spStream);
    return FAILED(hr) ? hr : ReadAll(spStream, kcbMaxGraph, bytes);
}

void PrintGraph(const grf::Graph& graph)
{
    std::printf("version %d\n", graph.version);
    for (const grf::Filter& f : graph.filters)
    {
        Print("filter ");
        Print(f.id);
        Print(u" \"" + f.name + u"\" " + grf::GuidText(f.clsid));
        if (f.role != grf::FileRole::None)
            Print((f.role == grf::FileRole::Source ? u" source \"" : u" sink \"") + f.fileName + u"\"");
        std::printf(" data %zu\n", f.data.size());
    }
    for (const grf::Connection& c : graph.connections)
    {
        Print("connection ");
        Print(c.outFilter);
        Print(u" \"" + c.outPin + u"\" -> ");
        Print(c.inFilter);
        Print(u" \"" + c.inPin + u"\" " + grf::GuidText(c.mediaType.majorType) + u" " +
              grf::GuidText(c.mediaType.subtype) + u" format " + grf::GuidText(c.mediaType.formatType));
        std::printf(" %zu\n", c.mediaType.format.size());
    }
    if (graph.version == 3)
    {
        const grf::Clock& clock = graph.clock;
        std::printf("clock required %d ", clock.required ? 1 : 0);
        if (clock.kind == grf::Clock::Kind::Class)
            Print(grf::GuidText(clock.clsid));
        else
            Print(clock.kind == grf::Clock::Kind::Filter ? clock.filterId : 0);
        Print("\n");
    }
}

int List(const wchar_t* pszFile)
{
    std::vector<uint8_t> bytes;
    const HRESULT hr = ReadGraphStream(pszFile, bytes);
    if (FAILED(hr))
        return Fail("reading the graph file", hr);
    grf::Graph graph;
    const grf::Result result = grf::Parse(bytes.data(), bytes.size(), graph);
    if (!result)
    {
        std::fprintf(stderr, "grf: not a graph: %s at byte %zu\n", grf::ErrorText(result.error), result.offset);
        return 1;
    }
    PrintGraph(graph);
    return 0;
}

// The raw stream, for a fuzzing corpus and for reading with other tools.
int Export(const wchar_t* pszFile, const wchar_t* pszOut)
{
    std::vector<uint8_t> bytes;
    const HRESULT hr = ReadGraphStream(pszFile, bytes);
    if (FAILED(hr))
        return Fail("reading the graph file", hr);
    const HANDLE hOut = ::CreateFileW(pszOut, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hOut == INVALID_HANDLE_VALUE)
        return Fail("creating the output file", HRESULT_FROM_WIN32(::GetLastError()));
    DWORD cbWritten = 0;
    const BOOL bWritten = ::WriteFile(hOut, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr);
    const DWORD dwError = bWritten ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(hOut);
    if (!bWritten)
        return Fail("writing the output file", HRESULT_FROM_WIN32(dwError));
    return cbWritten == bytes.size() ? 0 : Fail("writing the output file", STG_E_MEDIUMFULL);
}

int Usage()
{
    std::fputs("usage: grf default FILE\n"
               "       grf save FILE FILTER...   (FILTER: a maker filter's name or {clsid}, then =NAME)\n"
               "       grf list FILE\n"
               "       grf export FILE OUT\n",
               stderr);
    return 2;
}

// COM for the length of the program.
class CComInit
{
public:
    CComInit() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComInit()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    HRESULT Status() const { return m_hr; }

private:
    HRESULT m_hr;
};

int Run(int argc, wchar_t** argv)
{
    if (argc < 3)
        return Usage();
    const std::wstring command = argv[1];
    const wchar_t* pszFile = argv[2];
    if (command == L"list" && argc == 3)
        return List(pszFile);
    if (command == L"export" && argc == 4)
        return Export(pszFile, argv[3]);
    std::vector<NamedFilter> choices;
    if (command == L"default" && argc == 3)
    {
        for (const KnownFilter& known : kKnownFilters)
            choices.push_back({*known.pClsid, known.pszName});
        return Save(pszFile, choices);
    }
    if (command != L"save" || argc < 4)
        return Usage();
    for (int i = 3; i < argc; ++i)
    {
        NamedFilter named;
        if (!ParseNamedFilter(argv[i], named))
            return Usage();
        choices.push_back(named);
    }
    return Save(pszFile, choices);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    CComInit com;
    if (FAILED(com.Status()))
        return Fail("CoInitializeEx", com.Status());
    return Run(argc, argv);
}
