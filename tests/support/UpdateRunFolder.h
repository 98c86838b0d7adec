#pragma once
// A folder for update runs of the real executable: a copy of it in bin\ (so
// that its update-run log, bin\Log\LumenorbitNew\, belongs to these runs
// alone), the download folder upd\ and the application folder app\. Every
// failed assertion while it lives is shown with the update-run logs of the
// bin and app folders (app: where an executable run from there logs).
#include "support/ShownOnFailure.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

class CUpdateRunFolder
{
public:
    CUpdateRunFolder();
    CUpdateRunFolder(const CUpdateRunFolder&) = delete;
    CUpdateRunFolder& operator=(const CUpdateRunFolder&) = delete;

    std::wstring Root(const std::wstring& name = L"") const { return m_folder / name; }
    std::wstring Executable() const { return Root(L"bin\\QXClientUpdSvc.exe"); }
    std::wstring UpdateFolder() const { return Root(L"upd\\"); }
    std::wstring TargetFolder() const { return Root(L"app\\"); }
    std::wstring ManifestPath() const { return Root(L"update.xml"); }

    // Runs the update on manifestPath from the application folder and reads
    // its log; false when it did not run to its end within the time (a
    // generous bound that only catches a hang). Expects exit code 0.
    // extraArguments: appended to the command line (a "pid:" argument).
    bool Run(const std::wstring& manifestPath, DWORD timeoutMs = 60000, const std::wstring& extraArguments = L"");

    // Every line of the update-run log as read after the last run.
    const std::vector<std::string>& Log() const { return m_log; }
    std::string LogText() const;
    // Index of the first log line at that level whose message is text, or -1.
    int FindLine(const char* level, const std::wstring& text) const;

protected:
    CTestFolder m_folder;
    std::vector<std::string> m_log;

private:
    CRunLogShownOnFailure m_binLog{Root(L"bin\\")};
    CRunLogShownOnFailure m_appLog{TargetFolder()};
};
