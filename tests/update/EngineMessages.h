#pragma once
#include "update/UpdateMessages.h"
// The update engine's log messages, as tests compare them.
#include "support/TestSupport.h"

#include <string>
#include <vector>

namespace EngineMessages {

const wchar_t kUpdating[] = L"Обновление файла ";
const wchar_t kSkipped[] = L"Файл пропущен из-за настроек обновления. ";
const wchar_t kDiscrepancy[] = L"Обнаружено расхождение в данных файла: ";
const wchar_t kCreateFailed[] = L"Ошибка обновления: Не удалось создать файл. ";
const wchar_t kWriteFailed[] = L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ";
const wchar_t kStampFailed[] = L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ";
const wchar_t kRestored[] = L"Ошибка обновления: Восстановлена прежняя версия файла. ";
const wchar_t kCode[] = L" Код ошибки ";
const wchar_t kUndone[] = L"Ошибка обновления: Обновление отменено, восстановлены прежние версии файлов: ";
const wchar_t kRecoveredUndone[] = L"Прерванное обновление отменено, восстановлены прежние версии файлов: ";
const wchar_t kRecoveredFinished[] = L"Прерванное обновление завершено.";
const wchar_t kRecoveryFailed[] = L"Ошибка обновления: Не удалось восстановить прерванное обновление, журнал сохранён: ";
const wchar_t kRefused[] = L"Ошибка обновления: Обновление отклонено, ";
const wchar_t kJournalFailed[] = L"Ошибка обновления: Не удалось записать журнал обновления. ";

const wchar_t kNotPutBack[] = L"Ошибка обновления: Не удалось вернуть прежнюю версию файла: ";

// The run's account of itself.
const wchar_t kRunStart[] = L"Запуск обновления: манифест ";
const wchar_t kRunAwaits[] = L", ожидаемый процесс ID ";
const wchar_t kManifestMissing[] = L"Ошибка обновления: Манифест обновления не найден: ";
const wchar_t kManifestIsFolder[] = L"Ошибка обновления: Вместо манифеста обновления указана папка: ";
const wchar_t kManifestNotParsed[] = L"Ошибка обновления: Манифест обновления не разобран: ";
const wchar_t kManifestLacks[] = L"Ошибка обновления: В манифесте обновления нет элемента ";
const wchar_t kManifestLoaded[] = L"Манифест обновления: версия ";
const wchar_t kStaging[] = L"Подготовка файлов к установке: ";
const wchar_t kStaged[] = L"Файлы подготовлены к установке: ";
const wchar_t kClientEnded[] = L"Клиентское приложение завершено, ID процесса ";
const wchar_t kClientNotRunning[] = L"Клиентское приложение не запущено, завершать нечего.";
const wchar_t kAwaited[] = L"Процесс с ID ";
const wchar_t kWaitNotFound[] = L" не найден, ожидание не требуется.";
const wchar_t kWaitEnded[] = L" завершился, ожидание ";
const wchar_t kStarted[] = L"Запущена программа: ";
const wchar_t kStartedProcess[] = L", ID процесса ";
const wchar_t kStartFailedCommand[] = L"Ошибка обновления: Не удалось запустить программу ";
const wchar_t kNoAppToRun[] = L"Программа для запуска после обновления не указана (AppToRun).";
const wchar_t kReplaced[] = L"Файл заменён: ";
const wchar_t kAdded[] = L"Файл добавлен: ";
const wchar_t kRemoved[] = L"Файл удалён: ";
const wchar_t kAlreadyAbsent[] = L"Файл для удаления отсутствует, удалять нечего: ";
const wchar_t kNotUpdated[] = L"Файл не обновлён: ";
const wchar_t kNotRemoved[] = L"Файл не удалён: ";
const wchar_t kPutBack[] = L"Возвращена прежняя версия файла: ";
const wchar_t kAddedTakenBack[] = L"Удалён добавленный файл: ";
const wchar_t kRunEnd[] = L"Итог обновления: ";

// True for a line ("LEVEL message") of the run's account of itself, which
// tests of the engine's other lines leave out.
inline bool IsStoryLine(const std::string& line)
{
    const size_t space = line.find(' ');
    const std::string message = space == std::string::npos ? line : line.substr(space + 1);
    for (const wchar_t* text : {kRunStart, kManifestLoaded, kStaging, kStaged, kClientEnded, kClientNotRunning,
                                kAwaited, kStarted, kStartFailedCommand, kNoAppToRun, kReplaced, kAdded, kRemoved,
                                kAlreadyAbsent, kNotUpdated, kNotRemoved, kPutBack, kAddedTakenBack, kRunEnd,
                                UpdateMessages::kFolderCreated, UpdateMessages::kFolderRemoved,
                                UpdateMessages::kProgramAfterRefusal, UpdateMessages::kProgramNotStarted,
                                UpdateMessages::kBaseChecked}) {
        const std::string prefix = Cp1251(text);
        if (message.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

inline std::vector<std::string> WithoutStoryLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (!IsStoryLine(line))
            kept.push_back(line);
    }
    return kept;
}

} // namespace EngineMessages
