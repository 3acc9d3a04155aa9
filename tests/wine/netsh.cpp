// A netsh.exe that changes nothing: it appends the command line it was started
// with, exactly as the command interpreter passed it, as one UTF-8 line to the
// file that VANTOREL_NETSH_LOG names.
#include <windows.h>

#include <cstdio>

int wmain()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"VANTOREL_NETSH_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    const wchar_t *line = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    char *text = new char[size];
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text, size, nullptr, nullptr);
    FILE *log = _wfopen(path, L"ab");
    if (!log)
        return 1;
    std::fprintf(log, "%s\n", text);
    std::fclose(log);
    delete[] text;
    return 0;
}
