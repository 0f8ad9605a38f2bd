#include "NativeJob.h"

#include "TestUtil.h"

#include <fstream>
#include <sstream>

namespace
{

// Single quotes for the shell around a path or text.
std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char ch : text)
    {
        if (ch == '\'')
            quoted += "'\\''";
        else
            quoted += ch;
    }
    return quoted + "'";
}

bool WriteFile(const std::wstring& path, const std::string& text)
{
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

std::string UnixPathOf(const std::wstring& path)
{
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto pfn = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (pfn == nullptr)
        return {};
    char* psz = pfn(path.c_str());
    if (psz == nullptr)
        return {};
    std::string unixPath = psz;
    ::HeapFree(::GetProcessHeap(), 0, psz);
    return unixPath;
}

bool StartNativeScript(const std::wstring& scriptPath)
{
    // Wine hands the arguments to the native program as Unix text.
    const std::string unixScript = UnixPathOf(scriptPath);
    if (unixScript.empty())
        return false;
    std::wstring command = L"Z:\\bin\\sh " + std::wstring(unixScript.begin(), unixScript.end());
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    // A native program comes back without a usable process handle; the
    // script's files tell the rest.
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread != nullptr)
        ::CloseHandle(pi.hThread);
    if (pi.hProcess != nullptr)
        ::CloseHandle(pi.hProcess);
    return true;
}

CNativeJob::CNativeJob(const std::wstring& folder, const std::string& name, const std::string& command)
    : m_folder(folder), m_name(name)
{
    const std::string dir = UnixPathOf(folder);
    if (dir.empty())
        return;
    // The pid is the program's own (not the shell's), so that signals reach it.
    std::ostringstream script;
    script << "cd " << Quoted(dir) << " || exit 1\n"
           << "( " << command << " ) >" << Quoted(name + ".out") << " 2>" << Quoted(name + ".err")
           << " </dev/null &\n"
           << "echo $! >" << Quoted(name + ".pid.tmp") << " && mv " << Quoted(name + ".pid.tmp") << " "
           << Quoted(name + ".pid") << "\n"
           << "wait $!\n"
           << "echo $? >" << Quoted(name + ".rc.tmp") << " && mv " << Quoted(name + ".rc.tmp") << " "
           << Quoted(name + ".rc") << "\n";
    const std::wstring scriptPath = PathOf(name + ".sh");
    m_bStarted = WriteFile(scriptPath, script.str()) && StartNativeScript(scriptPath);
}

CNativeJob::~CNativeJob()
{
    if (m_bStarted && !HasEnded() && WaitRunning(2000))
    {
        Signal("KILL");
        Wait(2000);
    }
}

std::wstring CNativeJob::PathOf(const std::string& file) const
{
    return m_folder + L"\\" + std::wstring(file.begin(), file.end());
}

bool CNativeJob::WaitRunning(DWORD dwTimeoutMs)
{
    return m_bStarted && WaitUntil([&] { return FileExists(PathOf(m_name + ".pid")); }, dwTimeoutMs);
}

bool CNativeJob::HasEnded() const
{
    return FileExists(PathOf(m_name + ".rc"));
}

bool CNativeJob::Wait(DWORD dwTimeoutMs)
{
    return m_bStarted && WaitUntil([&] { return HasEnded(); }, dwTimeoutMs);
}

int CNativeJob::ExitCode() const
{
    const std::string text = ReadWholeFile(PathOf(m_name + ".rc"));
    return text.empty() ? -1 : std::atoi(text.c_str());
}

std::string CNativeJob::Output() const
{
    return ReadWholeFile(PathOf(m_name + ".out"));
}

std::string CNativeJob::Errors() const
{
    return ReadWholeFile(PathOf(m_name + ".err"));
}

bool CNativeJob::Signal(const char* pszSignal)
{
    if (!WaitRunning(5000))
        return false;
    const std::string dir = UnixPathOf(m_folder);
    const std::string tag = m_name + ".signal" + std::to_string(++m_uSignals);
    std::ostringstream script;
    script << "cd " << Quoted(dir) << " || exit 1\n"
           << "kill -" << pszSignal << " \"$(cat " << Quoted(m_name + ".pid") << ")\"\n"
           << "touch " << Quoted(tag + ".done") << "\n";
    const std::wstring scriptPath = PathOf(tag + ".sh");
    return WriteFile(scriptPath, script.str()) && StartNativeScript(scriptPath) &&
           WaitUntil([&] { return FileExists(PathOf(tag + ".done")); }, 5000);
}

std::string ReadWholeFile(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
