#pragma once
// The update engine's log texts shared by its units (UTF-16; converted to
// the log's Windows-1251 text when written).
namespace UpdateMessages {

// The swap's steps for one file, each followed by the file's path and code.
constexpr wchar_t kMoveToBackupFailed[] = L"Ошибка обновления: Не удалось перенести прежнюю версию файла в резервную копию. ";
constexpr wchar_t kPutInPlaceFailed[] = L"Ошибка обновления: Не удалось поставить новую версию файла на место. ";
constexpr wchar_t kNotStagedAtSwap[] = L"Ошибка обновления: Новая версия файла не подготовлена к установке. ";
// The run's own folder in the application folder could not be created.
constexpr wchar_t kRunFolderFailed[] = L"Ошибка обновления: Не удалось создать папку обновления. ";
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
// Reasons after kRefused, each followed by the manifest's name.
constexpr wchar_t kRefusedOutside[] = L"имя файла выходит за пределы папки: ";
constexpr wchar_t kRefusedTwice[] = L"файл указан в обновлении дважды: ";
constexpr wchar_t kRefusedDevice[] = L"имя файла является именем устройства: ";
constexpr wchar_t kRefusedOwnName[] = L"имя файла занято файлом самого обновления: ";
constexpr wchar_t kRefusedLink[] = L"путь к файлу проходит через ссылку на другое место: ";
constexpr wchar_t kRefusedTooLarge[] = L"размер файла 4 ГиБ или больше: ";
// Only a patch is there, made against another version of the installed file;
// the name and what differs follow.
// After the name of a patch or compressed file whose own size and MD5 are right.
constexpr wchar_t kNotBuilt[] = L": из этого файла не получена новая версия файла";
constexpr wchar_t kRefusedPatchBase[] = L"заплатка сделана для другой версии установленного файла: ";
constexpr wchar_t kPatchBaseMissing[] = L"установленный файл отсутствует";
constexpr wchar_t kPatchBaseUnread[] = L"установленный файл не прочитан: ";
constexpr wchar_t kRefusedNoDownload[] = L"файл для установки не найден: ";
// The download folder itself is missing: named once, as resolved, with the count after kFolderMissingCount.
constexpr wchar_t kRefusedNoDownloadFolder[] = L"папка загрузки не найдена: ";
constexpr wchar_t kFolderMissingCount[] = L"; файлов для установки не найдено: ";
// A download of another size or content; what differs follows after ": ".
constexpr wchar_t kDiscrepancy[] = L"Обнаружено расхождение в данных файла: ";
constexpr wchar_t kRefusedNotStaged[] = L"не удалось подготовить файл к установке: ";
// After kRefusedNotStaged of the first file: how many more failed for the same reason.
constexpr wchar_t kNotStagedMore[] = L"Ошибка обновления: Не удалось подготовить к установке ещё файлов по той же причине: ";
// A link found at the swap where the load found none: the run is undone.
constexpr wchar_t kLinkAppeared[] = L"Ошибка обновления: Путь к файлу проходит через ссылку на другое место: ";
// An application file "X" absent beside "X.old", left so by an interrupted
// run of an earlier version: removed with the update, which installs X.
constexpr wchar_t kLegacyBackup[] =
    L"Найдена прежняя версия файла, оставленная прерванным обновлением; она будет удалена вместе с обновлением: ";
// A removal whose name is a folder: folders are not removed as files.
constexpr wchar_t kRemoveIsFolder[] = L"На месте файла для удаления находится папка, она оставлена: ";
// The undo met, under the name of a file the run was to add, a file it did not make.
constexpr wchar_t kNotOurs[] = L"Файл под этим именем не создавался обновлением и оставлен как есть: ";
constexpr wchar_t kAddedNotRemoved[] = L"Ошибка обновления: Не удалось удалить добавленный файл: ";
constexpr wchar_t kDeleteFailed[] = L"Ошибка обновления: Не удалось удалить файл. ";
// The installation is not the version the update was made from: each file
// that differs (the reason follows after ": "), then the refusal.
constexpr wchar_t kBaseDiffers[] =
    L"Ошибка обновления: Установленный файл не совпадает с версией, для которой сделано обновление: ";
constexpr wchar_t kBaseDiffersMore[] =
    L"Ошибка обновления: Не совпадают с версией, для которой сделано обновление, ещё файлов: ";
constexpr wchar_t kRefusedOtherVersion[] = L"обновление сделано для другой версии приложения: ";
// The check of the installation against the base record: files, then bytes hashed and milliseconds.
constexpr wchar_t kBaseChecked[] = L"Проверка версии приложения: файлов ";
// A file of the base version held open without sharing: only its size could be compared.
constexpr wchar_t kBaseUnread[] =
    L"Файл занят другим процессом, проверен только его размер (совпадает с версией, для которой сделано обновление): ";
constexpr wchar_t kJournalFailed[] = L"Ошибка обновления: Не удалось записать журнал обновления. ";
// The service's start: an interrupted run's journal waits while another run holds the run lock.
constexpr wchar_t kRecoveryWaits[] =
    L"Служба: журнал прерванного обновления ожидает завершения другого обновления: ";
constexpr wchar_t kRecoveryAfterWait[] = L"Служба: другое обновление завершилось, прерванное обновление восстановлено: ";
constexpr wchar_t kRecoveryAfterWaitFailed[] =
    L"Ошибка обновления: Служба: другое обновление завершилось, но прерванное обновление не восстановлено: ";

// The run's account of itself: what it works on, what became of each file
// and of the applications, how it ended. Details follow each text.
// The requester was waited for as long as allowed; its id sits between the two.
constexpr wchar_t kWaitTimedOut[] = L"Ожидание завершения процесса с ID ";
constexpr wchar_t kWaitTimedOutEnd[] = L" завершилось по таймауту в 10 сек.";
// A program could not be started: the system's text follows, then a line with the command.
constexpr wchar_t kStartFailed[] = L"Не удалось запустить программу после обновления. ";
constexpr wchar_t kClientNotEnded[] =
    L"Ошибка обновления: Клиентское приложение не завершилось за 5 сек., ID процесса ";
// The machine's run lock.
constexpr wchar_t kRunLockFailed[] =
    L"Ошибка обновления: Не удалось создать объект синхронизации обновлений. Код ошибки ";
constexpr wchar_t kRunLockWaits[] = L"Ожидание завершения другого обновления.";
constexpr wchar_t kRunLockTimedOut[] = L"Ошибка обновления: Другое обновление не завершилось.";
// After kRefused: the volume cannot hold the new files beside the old ones.
constexpr wchar_t kRefusedNoSpace[] = L"недостаточно места на диске: нужно ";
constexpr wchar_t kRunStart[] = L"Запуск обновления: манифест ";
constexpr wchar_t kRunAwaits[] = L", ожидаемый процесс ID ";
constexpr wchar_t kManifestMissing[] = L"Ошибка обновления: Манифест обновления не найден: ";
constexpr wchar_t kManifestUnreadable[] = L"Ошибка обновления: Не удалось открыть манифест обновления: ";
constexpr wchar_t kManifestIsFolder[] = L"Ошибка обновления: Вместо манифеста обновления указана папка: ";
constexpr wchar_t kManifestNotParsed[] = L"Ошибка обновления: Манифест обновления не разобран: ";
constexpr wchar_t kManifestLacks[] = L"Ошибка обновления: В манифесте обновления нет элемента ";
constexpr wchar_t kManifestLoaded[] = L"Манифест обновления: версия ";
constexpr wchar_t kStaging[] = L"Подготовка файлов к установке: ";
constexpr wchar_t kStaged[] = L"Файлы подготовлены к установке: ";
constexpr wchar_t kClientEnded[] = L"Клиентское приложение завершено, ID процесса ";
constexpr wchar_t kClientNotRunning[] = L"Клиентское приложение не запущено, завершать нечего.";
constexpr wchar_t kProcessListFailed[] = L"Ошибка обновления: Не удалось получить список процессов.";
// The awaited process: "Процесс с ID " + id + how the wait ended.
constexpr wchar_t kAwaited[] = L"Процесс с ID ";
constexpr wchar_t kWaitNotFound[] = L" не найден, ожидание не требуется.";
constexpr wchar_t kWaitEnded[] = L" завершился, ожидание ";
constexpr wchar_t kWaitEndedUnits[] = L" мс.";
constexpr wchar_t kStarted[] = L"Запущена программа: ";
constexpr wchar_t kStartedProcess[] = L", ID процесса ";
constexpr wchar_t kStartFailedCommand[] = L"Ошибка обновления: Не удалось запустить программу ";
constexpr wchar_t kNoAppToRun[] = L"Программа для запуска после обновления не указана (AppToRun).";
// Whether the manifest's program is started after a run that did not update, and why.
constexpr wchar_t kProgramAfterRefusal[] =
    L"Обновление не выполнено, программа запускается в прежней версии: ";
constexpr wchar_t kProgramNotStarted[] = L"Программа после обновления не запущена, обновление отменено: ";
// Before each item's change: the download folder and the item's name follow.
constexpr wchar_t kUpdating[] = L"Обновление файла ";
constexpr wchar_t kSkipped[] = L"Файл пропущен из-за настроек обновления. ";
constexpr wchar_t kReplaced[] = L"Файл заменён: ";
constexpr wchar_t kAdded[] = L"Файл добавлен: ";
constexpr wchar_t kRemoved[] = L"Файл удалён: ";
constexpr wchar_t kAlreadyAbsent[] = L"Файл для удаления отсутствует, удалять нечего: ";
constexpr wchar_t kNotUpdated[] = L"Файл не обновлён: ";
constexpr wchar_t kNotRemoved[] = L"Файл не удалён: ";
// A folder for new files not created; the reason follows after ": ".
constexpr wchar_t kFolderNotCreated[] = L"Папка не создана: ";
constexpr wchar_t kFolderCreated[] = L"Создана папка: ";
constexpr wchar_t kFolderRemoved[] = L"Удалена папка: ";
constexpr wchar_t kFolderRecreated[] = L"Папка создана снова: ";
// A folder the new version drops, where a new file goes, could not be removed; the reason follows after ": ".
constexpr wchar_t kFolderNotRemoved[] = L"Ошибка обновления: Папка не удалена: ";
constexpr wchar_t kFileInPlaceOfFolder[] = L"на месте папки находится файл";
constexpr wchar_t kPutBack[] = L"Возвращена прежняя версия файла: ";
constexpr wchar_t kNotPutBack[] = L"Ошибка обновления: Не удалось вернуть прежнюю версию файла: ";
constexpr wchar_t kAddedTakenBack[] = L"Удалён добавленный файл: ";
constexpr wchar_t kRunEnd[] = L"Итог обновления: ";

// Files in use: who holds one follows each of these, after "; ".
constexpr wchar_t kHeldBy[] = L"его держит: ";
constexpr wchar_t kHolderUnknown[] = L"процесс, который его держит, не найден";
constexpr wchar_t kFileHeld[] = L"Файл используется другим процессом: ";
constexpr wchar_t kNotPutBackInUse[] =
    L"Прежнюю версию можно будет вернуть после завершения программы, которая держит файл: ";
// A held file is tried again for a moment before the run gives up.
constexpr wchar_t kRetrying[] = L"Файл занят другим процессом, повторная попытка: ";
// Replaced while a program still runs from (or holds) the old version.
constexpr wchar_t kReplacedInUse[] =
    L"Файл заменён, но прежняя версия ещё используется; новая начнёт действовать после перезапуска программы: ";
// Old versions in use after the run: deleted by a later run or service start.
constexpr wchar_t kLeftoverKept[] = L"Прежняя версия файла ещё используется и будет удалена позже: ";
constexpr wchar_t kLeftoverStays[] = L"Прежняя версия файла всё ещё используется, удаление отложено: ";
constexpr wchar_t kLeftoverDeleted[] = L"Удалена прежняя версия файла, оставшаяся от обновления: ";
constexpr wchar_t kLeftoversNotRecorded[] = L"Ошибка обновления: Не удалось записать список файлов для удаления. ";
constexpr wchar_t kDeleteAtRestart[] = L"Файл будет удалён при перезагрузке системы: ";
constexpr wchar_t kDeleteAtRestartFailed[] =
    L"Ошибка обновления: Не удалось отложить удаление файла до перезагрузки системы. ";

// The service whose executable the update replaced.
constexpr wchar_t kServiceStopping[] = L"Перезапуск службы с новой версией: остановка службы, ID процесса ";
constexpr wchar_t kServiceStopped[] = L"Служба остановлена: ";
constexpr wchar_t kServiceStarted[] = L"Служба запущена с новой версией: ";
constexpr wchar_t kServiceStartedProcess[] = L", ID процесса ";
constexpr wchar_t kServiceLeftStopped[] = L"Служба не запущена и остаётся остановленной; новая версия начнёт работать при её запуске: ";
constexpr wchar_t kServiceNextStart[] =
    L"Нет прав на управление службой; новая версия начнёт работать при следующем запуске службы: ";
constexpr wchar_t kServiceRestartFailed[] = L"Ошибка обновления: Не удалось перезапустить службу ";

} // namespace UpdateMessages
