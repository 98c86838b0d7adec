// One update run at a time: the run's mutex, in process, with names of the
// tests' own so that a real run elsewhere on the machine is not disturbed.
#include "update/UpdateRunLock.h"

#include "platform/Handles.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <thread>

namespace {

const std::string kWaiting = "INFO " + Cp1251(L"Ожидание завершения другого обновления.");
const std::string kGaveUp = "ERROR " + Cp1251(L"Ошибка обновления: Другое обновление не завершилось.");

std::wstring TestMutexName()
{
    static int counter = 0;
    return L"Global\\QXupdRunTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

// Another thread (owners of a mutex are threads) that takes the mutex and
// holds it until it is let go, then releases it or, with abandon, ends without.
class CHolder
{
public:
    CHolder(const std::wstring& name, bool abandon) : m_taken(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, name, abandon] {
            CHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
            WaitForSingleObject(mutex.Get(), INFINITE);
            SetEvent(m_taken.Get());
            WaitForSingleObject(m_letGo.Get(), 60000);
            if (!abandon)
                ReleaseMutex(mutex.Get());
        });
        EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(m_taken.Get(), 30000)) << "the holder never took it";
    }
    ~CHolder() { Join(); }
    CHolder(const CHolder&) = delete;
    CHolder& operator=(const CHolder&) = delete;

    void LetGo() { SetEvent(m_letGo.Get()); }
    void Join()
    {
        LetGo();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    CHandle m_taken;
    CHandle m_letGo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread m_thread;
};

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    for (const std::string& candidate : lines) {
        if (candidate == line)
            return true;
    }
    return false;
}

} // namespace

TEST(UpdateRunLock, States_WaitLinesAndResult)
{
    enum class Holder { kNone, kReleasesWhileWaited, kHoldsPastTheLimit, kEndedWithout };
    const struct
    {
        const char* what;
        Holder holder;
        DWORD limitMs;
        bool acquired;
        std::vector<std::string> lines;
    } cases[] = {
        {"free", Holder::kNone, 1000, true, {}},
        // Let go once the waiting run has said that it waits; the limit only
        // catches a run that never takes it.
        {"released by the other run while waiting", Holder::kReleasesWhileWaited, 60000, true, {kWaiting}},
        {"held past the limit", Holder::kHoldsPastTheLimit, 1000, false, {kWaiting, kGaveUp}},
        {"abandoned by a run that was killed", Holder::kEndedWithout, 1000, true, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        const std::wstring name = TestMutexName();
        // A handle of the test's own keeps an abandoned mutex in existence
        // (the holder's closes with its thread); without it the run would
        // make a fresh mutex, and the row would prove nothing.
        CHandle keep;
        std::unique_ptr<CHolder> holder;
        CLogCapture log;
        std::thread watcher;
        switch (testCase.holder) {
        case Holder::kNone:
            break;
        case Holder::kReleasesWhileWaited:
            holder.reset(new CHolder(name, false));
            watcher = std::thread([&] {
                for (int i = 0; i < 3000 && !Contains(log.LinesWritten(), kWaiting); ++i)
                    Sleep(20);
                holder->LetGo();
            });
            break;
        case Holder::kHoldsPastTheLimit:
            holder.reset(new CHolder(name, false));
            break;
        case Holder::kEndedWithout:
            keep.Reset(CreateMutexW(nullptr, FALSE, name.c_str()));
            ASSERT_TRUE(keep.IsValid());
            holder.reset(new CHolder(name, true));
            holder->Join();
            break;
        }
        CUpdateRunLock lock;
        const bool acquired = lock.Acquire(testCase.limitMs, name.c_str());
        const DWORD code = GetLastError();
        if (watcher.joinable())
            watcher.join();
        EXPECT_EQ(testCase.acquired, acquired);
        EXPECT_EQ(testCase.acquired, lock.IsHeld());
        if (!acquired) {
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), code);
        }
        EXPECT_EQ(testCase.lines, log.Lines());
        lock.Release();
    }
}

// A second run waits until the first releases, and then holds it alone.
TEST(UpdateRunLock, ReleasedOnDestruction_NextRunTakesIt)
{
    const std::wstring name = TestMutexName();
    {
        CUpdateRunLock first;
        ASSERT_TRUE(first.Acquire(1000, name.c_str()));
        bool secondAcquired = true;
        std::thread other([&] {
            CUpdateRunLock second;
            secondAcquired = second.Acquire(200, name.c_str());
        });
        other.join();
        EXPECT_FALSE(secondAcquired);
    }
    bool acquired = false;
    std::thread other([&] {
        CUpdateRunLock second;
        acquired = second.Acquire(200, name.c_str());
    });
    other.join();
    EXPECT_TRUE(acquired);
}

// Runs of every account share the mutex: everyone may wait on it and release
// it, and the run itself asks for no more than that.
TEST(UpdateRunLock, Descriptor_LetsEveryoneWaitAndRelease)
{
    const std::wstring name = TestMutexName();
    CUpdateRunLock lock;
    ASSERT_TRUE(lock.Acquire(1000, name.c_str()));
    CHandle mutex(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(mutex.IsValid()) << GetLastError();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(mutex.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor));
    CLocalMemory owned(descriptor);
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr));
    CLocalMemory ownedText(text);
    const std::wstring sddl = text;
    EXPECT_NE(std::wstring::npos, sddl.find(L"(A;;0x100001;;;WD)")) << Cp1251(sddl);
}
