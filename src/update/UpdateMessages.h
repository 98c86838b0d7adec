#pragma once
// The update engine's log texts shared by its units (UTF-16; converted to
// the log's Windows-1251 text when written).
namespace UpdateMessages {

constexpr wchar_t kCreateFailed[] = L"Ошибка обновления: Не удалось создать файл. ";
constexpr wchar_t kWriteFailed[] =
    L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ";
constexpr wchar_t kStampFailed[] = L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ";
constexpr wchar_t kRestored[] = L"Ошибка обновления: Восстановлена прежняя версия файла. ";
constexpr wchar_t kCode[] = L" Код ошибки ";
// After a failed item: every change of the run undone; the count of old versions put back follows.
constexpr wchar_t kUndone[] = L"Ошибка обновления: Обновление отменено, восстановлены прежние версии файлов: ";
// A run that finds the journal of an interrupted one: undone, or (committed) finished.
constexpr wchar_t kRecoveredUndone[] =
    L"Прерванное обновление отменено, восстановлены прежние версии файлов: ";
constexpr wchar_t kRecoveredFinished[] = L"Прерванное обновление завершено.";
// A change of an interrupted run could not be undone or finished: the journal stays.
constexpr wchar_t kRecoveryFailed[] =
    L"Ошибка обновления: Не удалось восстановить прерванное обновление, журнал сохранён: ";
// An update that could only fail half-way, refused before anything is touched; the reason follows.
constexpr wchar_t kRefused[] = L"Ошибка обновления: Обновление отклонено, ";
constexpr wchar_t kRemoving[] = L"Удаление файла ";
constexpr wchar_t kRemoveFailed[] = L"Ошибка обновления: Не удалось удалить файл. ";
constexpr wchar_t kJournalFailed[] = L"Ошибка обновления: Не удалось записать журнал обновления. ";

} // namespace UpdateMessages
