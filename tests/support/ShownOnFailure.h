#pragma once
// What a failing assertion is shown with. While a CShownOnFailure lives,
// every failed assertion of the running test is followed in the output by
// the text its source gives at that moment (read then, not when the object
// was made, so a log shows what was written up to the failure). A text that
// has not changed since it was last shown in the same test is only referred
// to, so that a table test with many failures does not repeat a long log.
#include <functional>
#include <string>

class CShownOnFailure
{
public:
    // title: what the text is ("the update run's log ..."); source: the text,
    // or empty when there is nothing to show (then nothing is printed).
    CShownOnFailure(std::string title, std::function<std::string()> source);
    ~CShownOnFailure();
    CShownOnFailure(const CShownOnFailure&) = delete;
    CShownOnFailure& operator=(const CShownOnFailure&) = delete;

    // Called by the listener that ShowContextOnFailure installs.
    void Show();

private:
    std::string m_title;
    std::function<std::string()> m_source;
    std::string m_lastShown;
    const void* m_lastTest = nullptr; // the test in which m_lastShown was shown
};

// The update-run log of the executable in executableFolder (with a trailing
// backslash: Log\LumenorbitNew\updater-*.log below it), shown with every
// failed assertion while the object lives; nothing while there is no log.
class CRunLogShownOnFailure
{
public:
    explicit CRunLogShownOnFailure(const std::wstring& executableFolder);

private:
    CShownOnFailure m_shown;
};

// Every update-run log of the executable in executableFolder, each headed by
// its file name, as UTF-8 text; empty when there is none.
std::string UpdateRunLogsText(const std::wstring& executableFolder);

// Installs the listener that shows every live CShownOnFailure after a failed
// assertion; main() calls it once, after InitGoogleTest.
void ShowContextOnFailure();

// Text of Windows-1251 bytes (the update-run log's) as UTF-8, for the output.
std::string Utf8OfCp1251(const std::string& bytes);
