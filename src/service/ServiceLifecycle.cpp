// The Windows service: status reports, control handler and the worker thread.
#include "service/ServiceWorker.h"

void WINAPI CServiceWorker::ServiceMain(DWORD, LPWSTR*) {}
void WINAPI CServiceWorker::ServiceCtrlHandler(DWORD) {}
DWORD WINAPI CServiceWorker::StartPendingThread(LPVOID) { return 0; }
DWORD WINAPI CServiceWorker::StopPendingThread(LPVOID) { return 0; }
DWORD WINAPI CServiceWorker::ServiceWorkerThread(LPVOID) { return 0; }
