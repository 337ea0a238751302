// The tests' launcher on Windows: `duosplit_start MODE COMMAND-LINE` starts
// the command line as the mode says and ends with its exit status.
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
    PROCESS_INFORMATION child{};
    DWORD status = 127;
    if (CreateProcessW(nullptr, line.data() + end + 1, nullptr, nullptr, reader != nullptr,
                       CREATE_SUSPENDED | (mode == L"no-window" ? CREATE_NO_WINDOW : 0), nullptr, nullptr, &startup,
                       &child)) {
        if (mode == L"alone" || mode == L"hidden")
            FreeConsole();
        ResumeThread(child.hThread);
        WaitForSingleObject(child.hProcess, INFINITE);
        GetExitCodeProcess(child.hProcess, &status);
    }
    return static_cast<int>(status);
}
