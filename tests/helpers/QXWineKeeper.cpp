// Keeps a Wine prefix alive while tests run: sleeps until it is ended.
#include <windows.h>

int main()
{
    Sleep(INFINITE);
    return 0;
}
