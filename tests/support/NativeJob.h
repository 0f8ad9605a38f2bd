// A Linux program (ffmpeg, ffprobe, rtmpdump) run from a test under Wine.
// Wine starts a native program only detached: no process handle to wait on,
// no exit code, no pipes. So the job runs through a shell script that keeps
// the program's pid, output and exit status in files, which the job polls.
#pragma once

#include <windows.h>

#include <string>

// The Linux path of a Windows path (Wine maps every drive to a folder);
// empty when there is none.
std::string UnixPathOf(const std::wstring& path);

// Runs a shell script file with /bin/sh, detached; false when Wine could
// not start it.
bool StartNativeScript(const std::wstring& scriptPath);

class CNativeJob
{
public:
    // Starts "command" (shell text, run from the folder) with its standard
    // output and errors in files of the folder named after the job.
    CNativeJob(const std::wstring& folder, const std::string& name, const std::string& command);
    // A job still running is killed.
    ~CNativeJob();
    CNativeJob(const CNativeJob&) = delete;
    CNativeJob& operator=(const CNativeJob&) = delete;

    bool Started() const { return m_bStarted; }
    // True once the program is running (its pid is known).
    bool WaitRunning(DWORD dwTimeoutMs);
    // True once the program has ended.
    bool Wait(DWORD dwTimeoutMs);
    bool HasEnded() const;
    // The exit status once ended; -1 before.
    int ExitCode() const;
    std::string Output() const;
    std::string Errors() const;
    // Sends a signal ("STOP", "CONT", "KILL") to the program and waits for
    // kill(1) to have sent it.
    bool Signal(const char* pszSignal);
    // The Windows path of a file in the job's folder.
    std::wstring PathOf(const std::string& file) const;

private:
    std::wstring m_folder;
    std::string m_name;
    bool m_bStarted = false;
    unsigned m_uSignals = 0;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);
