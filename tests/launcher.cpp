// The tests' launcher on Windows: `duosplit_start MODE COMMAND-LINE` starts
// the command line as the mode says and ends with its exit status.
//   bounded    as it is, in a job that ends all it starts when the launcher
//              ends, for at most DUOSPLIT_RUN_BOUND seconds (then status 124)
//   no-window  with a console of its own that has no window (CREATE_NO_WINDOW)
//   dead-pipe  with standard output a pipe whose reading end is closed
//   alone      on this console, which the launcher then leaves to it alone
//   hidden     the same, started hidden (STARTF_USESHOWWINDOW with SW_HIDE)
// The words are one space apart, as cmd and wine write them.
#include <windows.h>

#include <string>

int main() {
    std::wstring line = GetCommandLineW();
    const std::size_t at = line.find(L' ', line[0] == L'"' ? line.find(L'"', 1) : 0) + 1, end = line.find(L' ', at);
    const std::wstring mode = line.substr(at, end - at);
    STARTUPINFOW startup{};  // wShowWindow 0: SW_HIDE, which only STARTF_USESHOWWINDOW makes count
    startup.cb = sizeof startup;
    startup.dwFlags = mode == L"hidden" ? STARTF_USESHOWWINDOW : 0;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE reader = nullptr;
    if (mode == L"dead-pipe" && CreatePipe(&reader, &startup.hStdOutput, &inherited, 0)) {
        CloseHandle(reader);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
    limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit);
    const bool bounded = mode == L"bounded";
    PROCESS_INFORMATION child{};
    DWORD status = 124;
    // Started suspended, so that nothing it starts escapes the job.
    if (CreateProcessW(nullptr, line.data() + end + 1, nullptr, nullptr, bounded || reader != nullptr,
                       CREATE_SUSPENDED | (mode == L"no-window" ? CREATE_NO_WINDOW : 0), nullptr, nullptr, &startup,
                       &child) &&
        (!bounded || AssignProcessToJobObject(job, child.hProcess))) {
        if (mode == L"alone" || mode == L"hidden")
            FreeConsole();
        ResumeThread(child.hThread);
        if (WaitForSingleObject(child.hProcess, bounded ? DUOSPLIT_RUN_BOUND * 1000 : INFINITE) == WAIT_OBJECT_0)
            GetExitCodeProcess(child.hProcess, &status);
    }
    return status;
}
