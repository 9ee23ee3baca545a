// The least a Windows program does for a Selectrix read: a port opened
// without overlapped I/O, the request written, the one answer byte read with
// a plain ReadFile. The baseline of win_cli_read_ratio (bench/win_cli_read.sh).
// Usage: plain_read PORT COUNT ADDRESS; prints the microseconds per read
// (the loop alone, timed inside); exit status 0 when every read answered.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) return 1;
    const std::string name = std::string("\\\\.\\") + argv[1];
    const int count = std::atoi(argv[2]);
    const unsigned char address = static_cast<unsigned char>(std::atoi(argv[3]));
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return 2;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 1000;
    SetCommTimeouts(h, &t);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) {
        const unsigned char request[2] = {address, 0x20};
        DWORD n = 0;
        unsigned char answer = 0;
        if (!WriteFile(h, request, 2, &n, nullptr) || n != 2) return 3;
        if (!ReadFile(h, &answer, 1, &n, nullptr) || n != 1) return 4;
    }
    QueryPerformanceCounter(&end);
    CloseHandle(h);
    if (count > 0)
        std::printf("%.1f\n", static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
                                  static_cast<double>(frequency.QuadPart) / count);
    return 0;
}
