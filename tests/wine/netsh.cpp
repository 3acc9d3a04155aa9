// A netsh.exe that changes nothing: it appends the command line it was started with, exactly as the command
// interpreter passed it, as one UTF-8 line to the file that VANTOREL_NETSH_LOG names.
#include <windows.h>

#include <cstdio>

int wmain()
{
    char line[8192];
    if (!WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line, nullptr, nullptr))
        return 1;
    const wchar_t *path = _wgetenv(L"VANTOREL_NETSH_LOG");
    FILE *log = path ? _wfopen(path, L"ab") : nullptr;
    if (!log)
        return 1;
    std::fprintf(log, "%s\n", line);
    return std::fclose(log);
}
