// An update that replaces the executable the installed service runs from:
// the real service under Wine's Service Control Manager, and a real update run.
#include "../update/ManifestText.h"
#include "platform/Handles.h"
#include "support/UpdateRunFolder.h"
#include "update/UpdateMessages.h"

#include <gtest/gtest.h>

using namespace ManifestText;

namespace {

const wchar_t kServiceName[] = L"QXClientUpdSvc";

SERVICE_STATUS_PROCESS StatusOf(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}

// The service manager signals nothing: its state is read until it is the one
// wanted (bounded well above a loaded machine's start or stop).
bool WaitForState(SC_HANDLE service, DWORD state)
{
    for (int attempt = 0; attempt < 600; ++attempt) {
        if (StatusOf(service).dwCurrentState == state)
            return true;
        Sleep(50);
    }
    return false;
}

class ServiceUpdate : public testing::Test
{
protected:
    void SetUp() override
    {
        RemoveRegistration();
        m_executable = m_run.TargetFolder() + L"QXClientUpdSvc.exe";
        ASSERT_TRUE(CopyFileW(ProductExecutable().c_str(), m_executable.c_str(), FALSE));
        m_manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_manager.IsValid());
        m_service.Reset(CreateServiceW(m_manager.Get(), kServiceName, L"Lumenorbit client update service.",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, m_executable.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr));
        ASSERT_TRUE(m_service.IsValid()) << GetLastError();
        // The new version: the same program with bytes after its image.
        m_newExecutable = ReadBytes(ProductExecutable()).value_or("") + "new version";
        ASSERT_TRUE(WriteBytes(m_run.UpdateFolder() + L"QXClientUpdSvc.exe", m_newExecutable));
        ASSERT_TRUE(WriteManifest(m_run.ManifestPath(),
                                  InfoElement(m_run.UpdateFolder(), m_run.TargetFolder()) +
                                      FilesElement(ItemElement(0, L"QXClientUpdSvc.exe", m_newExecutable.size(), L"1"),
                                                   1)));
    }

    void TearDown() override
    {
        m_service.Close();
        RemoveRegistration();
    }

    static void RemoveRegistration()
    {
        CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        CServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service)
            return;
        const SERVICE_STATUS_PROCESS status = StatusOf(service.Get());
        SERVICE_STATUS ignored{};
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored);
        if (status.dwProcessId != 0) {
            CHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
            if (process)
                WaitForSingleObject(process.Get(), 10000);
        }
        DeleteService(service.Get());
    }

    CUpdateRunFolder m_run;
    std::wstring m_executable;
    std::string m_newExecutable;
    CServiceHandle m_manager;
    CServiceHandle m_service;
};

} // namespace

// Running: stopped, its old process waited for, started again from the new
// file in a new process; the old image is deleted with the other old versions.
TEST_F(ServiceUpdate, RunningServiceExecutableReplaced_RunsTheNewVersionInANewProcess)
{
    ASSERT_TRUE(StartServiceW(m_service.Get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(m_service.Get(), SERVICE_RUNNING));
    const DWORD oldId = StatusOf(m_service.Get()).dwProcessId;
    CHandle oldProcess(OpenProcess(SYNCHRONIZE, FALSE, oldId));
    ASSERT_TRUE(oldProcess.IsValid());

    ASSERT_TRUE(m_run.Run(m_run.ManifestPath(), 120000));
    EXPECT_EQ(m_newExecutable, ReadBytes(m_executable).value_or(""));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(oldProcess.Get(), 0));
    const SERVICE_STATUS_PROCESS status = StatusOf(m_service.Get());
    EXPECT_TRUE(status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING)
        << status.dwCurrentState;
    EXPECT_NE(0u, status.dwProcessId);
    EXPECT_NE(oldId, status.dwProcessId);
    CHandle newProcess(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    ASSERT_TRUE(newProcess.IsValid());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(newProcess.Get(), 0));
    EXPECT_GE(m_run.FindLine("INFO", UpdateMessages::kServiceStopping + std::to_wstring(oldId)), 0) << m_run.LogText();
    EXPECT_GE(m_run.FindLine("INFO", UpdateMessages::kServiceStarted + m_executable +
                                         UpdateMessages::kServiceStartedProcess + std::to_wstring(status.dwProcessId)),
              0)
        << m_run.LogText();
    // Nothing of the run is left: the old image was let go when its process ended.
    for (const auto& entry : FolderContents(m_run.TargetFolder()))
        EXPECT_NE(0u, entry.first.find(L".~qx")) << m_run.LogText();
}

TEST_F(ServiceUpdate, StoppedServiceExecutableReplaced_StaysStopped)
{
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StatusOf(m_service.Get()).dwCurrentState);
    ASSERT_TRUE(m_run.Run(m_run.ManifestPath(), 120000));
    EXPECT_EQ(m_newExecutable, ReadBytes(m_executable).value_or(""));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StatusOf(m_service.Get()).dwCurrentState);
    EXPECT_GE(m_run.FindLine("INFO", UpdateMessages::kServiceLeftStopped + std::wstring(kServiceName)), 0)
        << m_run.LogText();
}
