// A device program that writes to its own code, which CE maps read-only.
#include <windows.h>

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    // Through a number: C++98 casts no function pointer to a data pointer.
    volatile unsigned char* code = reinterpret_cast<volatile unsigned char*>(reinterpret_cast<size_t>(&WinMain));
    *code = 0xc3;
    return 0;
}
