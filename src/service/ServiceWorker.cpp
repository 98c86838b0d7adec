#include "service/ServiceWorker.h"

#include "channel/RequestChannel.h"
#include "platform/TextConversion.h"
#include "update/QXUpdate.h"
#include "update/ServiceRestart.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLog.h"
#include "update/UpdateRunLock.h"

#include <easylogging++.h>

#include <sstream>
#include <stdlib.h>

namespace {

CServiceWorker* g_instance = nullptr;

std::vector<std::wstring> StartupArguments()
{
    std::vector<std::wstring> arguments;
    for (int i = 0; i < __argc; ++i)
        arguments.emplace_back(__wargv[i] != nullptr ? __wargv[i] : L"");
    return arguments;
}

} // namespace

CServiceWorker::CServiceWorker() : CServiceWorker(StartupArguments(), true) {}

CServiceWorker::CServiceWorker(std::vector<std::wstring> arguments, bool initLogger)
    : m_handleRequest(static_cast<HandleRequestFunction>(HandleRequest)), m_arguments(std::move(arguments))
{
    g_instance = this;
    ParseCommandLine();
    InitWorkFolder();
    if (initLogger)
        InitLogger();
}

CServiceWorker::~CServiceWorker()
{
    if (g_instance == this)
        g_instance = nullptr;
}

CServiceWorker* CServiceWorker::Instance()
{
    return g_instance;
}

void CServiceWorker::ParseCommandLine()
{
    for (size_t i = 1; i < m_arguments.size(); ++i) {
        const wchar_t* argument = m_arguments[i].c_str();
        if (*argument == L'-' || *argument == L'/')
            ++argument;
        ParseArgument(argument);
    }
}

void CServiceWorker::ParseArgument(const wchar_t* argument)
{
    const std::wstring wide(argument);
    std::string lowered = WideToAnsi(wide);
    if (!lowered.empty())
        CharLowerBuffA(&lowered[0], static_cast<DWORD>(lowered.size()));

    const struct { uint64_t checksum; int32_t* flag; } keywords[] = {
        {kInstallKeyword, &m_install}, {kRemoveKeyword, &m_remove},     {kStartKeyword, &m_start},
        {kNoActionKeyword, &m_noAction}, {kUpdateRunKeyword, &m_updateRun},
    };
    const uint64_t checksum = Crc64(lowered);
    for (const auto& keyword : keywords) {
        if (checksum == keyword.checksum) {
            *keyword.flag = 1;
            return;
        }
    }

    // The prefix is found anywhere but always cut from the start: callers put it first.
    if (lowered.find("updfile:") != std::string::npos) {
        m_updateFile = wide.size() > 8 ? wide.substr(8) : std::wstring();
        return;
    }
    if (lowered.find("pid:") != std::string::npos)
        m_waitProcessId = ParseProcessId(wide.size() > 4 ? wide.substr(4) : std::wstring());
}

DWORD CServiceWorker::ParseProcessId(const std::wstring& text)
{
    if (text.empty())
        return 0;
    std::istringstream stream(WideToAnsi(text));
    // Read wider than 32 bits so that a number beyond the range gives 0 instead
    // of wrapping. Stream extraction takes a plus sign; a minus sign would wrap
    // the unsigned value, so it gives 0.
    unsigned long long value = 0;
    stream >> std::ws;
    if (stream.peek() == '-')
        return 0;
    if (!(stream >> value) || value > 0xFFFFFFFFULL)
        return 0;
    return static_cast<DWORD>(value);
}

DWORD CServiceWorker::Run()
{
    if (m_updateRun == 1 && !m_updateFile.empty()) {
        RunUpdate();
        return 0;
    }
    if (m_install == 1) {
        InstallService(m_modulePath, m_serviceName, m_displayName);
        if (m_start == 1)
            LaunchService(m_serviceName);
        return 0;
    }
    if (m_remove == 1) {
        RemoveService(m_serviceName);
        return 0;
    }
    if (m_noAction == 1)
        return 0;
    if (m_start == 1) {
        LaunchService(m_serviceName);
        return 0;
    }

    std::wstring serviceName = m_serviceName;
    SERVICE_TABLE_ENTRYW table[] = {
        {&serviceName[0], &CServiceWorker::ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    const DWORD error = GetLastError();
    m_logger->error("Lumenorbit update service: Main: StartServiceCtrlDispatcher returned error = %v", error);
    return error;
}

void CServiceWorker::RunUpdate()
{
    const ULONGLONG startTicks = GetTickCount64();
    {
        std::wstring line = std::wstring(UpdateMessages::kRunStart) + m_updateFile;
        if (m_waitProcessId != 0)
            line += UpdateMessages::kRunAwaits + std::to_wstring(m_waitProcessId);
        LOG(INFO) << ToLogText(line);
    }
    // The run's last line, on every way out; its error count is that of the
    // ERROR lines above it.
    CErrorLineCount errorLines;
    const auto logEnd = [startTicks, &errorLines](CUpdateRunCounts counts, eRunEnd end) {
        counts.failed = errorLines.Count();
        LogRunEnd(counts, end, GetTickCount64() - startTicks);
    };
    // Held until the run ends, so that no other run moves files meanwhile.
    CUpdateRunLock lock;
    if (!lock.Acquire(kUpdateRunWaitMs)) {
        logEnd(CUpdateRunCounts(), eRunNotDone);
        return;
    }
    // What an interrupted run left is put right before anything else; while
    // that cannot be done, no new update starts on the folder.
    if (!RecoverInterruptedUpdate(DefaultJournalPath())) {
        logEnd(CUpdateRunCounts(), eRunNotDone);
        return;
    }
    // Old versions that programs still ran from after earlier runs; those
    // still in use stay listed and block nothing.
    DeleteLeftovers(LeftoversPathFor(DefaultJournalPath()));
    CQXUpdate update;
    // The applications are started as soon as the swap has committed; the
    // old versions are deleted once they are up.
    update.finishAfterStart = true;
    if (!update.ParseManifest(m_updateFile) || !update.CheckManifest() || !update.StageFiles()) {
        if (!update.AppToRunW().empty())
            LOG(INFO) << ToLogText(UpdateMessages::kProgramAfterRefusal + update.AppToRunW());
        update.RunUpdatedApp(eRunAfterFailedLoad);
        logEnd(update.counts, update.otherVersion ? eRunOtherVersion : eRunNotDone);
        return;
    }
    bool ended = false;
    if (update.restartQuoteBench)
        ended = update.TerminateQuoteBench();
    if (m_waitProcessId != 0) {
        update.WaitForProcessId(m_waitProcessId);
    }
    const bool updated = update.UpdateAppFiles();
    if (updated)
        update.RunUpdatedApp(eRunAfterUpdate);
    else if (!update.AppToRunW().empty())
        LOG(INFO) << ToLogText(UpdateMessages::kProgramNotStarted + update.AppToRunW());
    if (update.restartQuoteBench && ended)
        update.StartQuoteBench();
    // The clean-up after a commit waits for the programs started to be up.
    if (updated)
        update.WaitForStartedPrograms();
    // Before the clean-up, so that the old service's image, let go once its
    // process has ended, is deleted with the other old versions.
    if (updated)
        RestartReplacedService(m_serviceName, update.ReplacedFiles());
    update.FinishUpdate();
    logEnd(update.counts, updated ? eRunCommitted : eRunUndone);
}
