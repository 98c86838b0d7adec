#pragma once
// The update engine's log messages, as tests compare them.
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

} // namespace EngineMessages
