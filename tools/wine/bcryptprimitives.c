/* A stand-in for Windows' bcryptprimitives.dll, which wine lacks: Rust's standard
   library (in cryptography's extension) asks it for random bytes. Used only by the
   test run under wine; it answers from the system RNG through bcrypt.dll. */
#include <windows.h>
#include <bcrypt.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
    while (size > 0) {
        ULONG chunk = size > 0x40000000 ? 0x40000000 : (ULONG)size;
        if (BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return FALSE;
        data += chunk;
        size -= chunk;
    }
    return TRUE;
}
