// A netsh.exe that changes nothing: it appends the command line it was started
// with, exactly as the command interpreter passed it, as one UTF-8 line to the
// file that VANTOREL_NETSH_LOG names.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain()
{
    const wchar_t *line = GetCommandLineW();
    std::string text(WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, &text[0], int(text.size()), nullptr, nullptr);
    const wchar_t *path = _wgetenv(L"VANTOREL_NETSH_LOG");
    FILE *log = path ? _wfopen(path, L"ab") : nullptr;
    if (!log)
        return 1;
    std::fprintf(log, "%s\n", text.c_str());
    return std::fclose(log);
}
