// Process entry. The logging library's storage is defined before the one
// CServiceWorker in this same unit, so it is constructed first.
#include <easylogging++.h>

#include "service/ServiceWorker.h"

INITIALIZE_EASYLOGGINGPP

static CServiceWorker g_serviceWorker;

int wmain(int, wchar_t**)
{
    g_serviceWorker.Run();
    return 0;
}
