// holdfile PATH READY RELEASE: a second process that holds PATH open with no
// sharing, signals the named event READY and waits for RELEASE (at most a
// minute) before it lets go.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    const HANDLE hFile = ::CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    const HANDLE hReady = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    const HANDLE hRelease = ::OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
    int nExit = 1;
    if (hReady != nullptr && hRelease != nullptr && ::SetEvent(hReady))
        nExit = ::WaitForSingleObject(hRelease, 60000) == WAIT_OBJECT_0 ? 0 : 3;
    if (hReady != nullptr)
        ::CloseHandle(hReady);
    if (hRelease != nullptr)
        ::CloseHandle(hRelease);
    ::CloseHandle(hFile);
    return nExit;
}
