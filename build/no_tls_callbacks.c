/* Keeps the C runtime's thread-local-storage support out of the launcher image, so that it has
   no TLS directory and no TLS callbacks. The launcher has no thread-local data; mingw-w64's
   start-up code links that support only to reach these four symbols, and finds them here. The
   start-up skips a null dynamic-TLS callback; the three "force" variables only pull objects in. */
#if defined(__MINGW32__)
#include <windows.h>

const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = NULL;
int __mingw_initltsdrot_force = 0;
int __mingw_initltsdyn_force = 0;
int __mingw_initltssuo_force = 0;
#endif
