#include "cli/front_end.h"

#ifdef _WIN32
// Read wide: the narrow words the C runtime would build put look-alikes in
// place of characters outside the code page (an "l" for an l with a stroke).
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return tarn::run_tarn_native(argc, argv);
}
