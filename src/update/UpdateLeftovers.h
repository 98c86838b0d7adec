#pragma once
// What a finished or undone update run could not delete because a program
// still runs from it or holds it: an old version moved away from its name, or
// a second name of a file in use. Such a file is no reason to keep the journal
// (nothing of it is needed any more) and none to refuse later updates: it is
// listed in a record beside the journal, and each later run and each start of
// the service deletes what it can of it, until nothing is left.
//
// The record is UTF-8 text, one line per record, fields separated by tabs:
//   QXUpdateLeftovers 1
//   L <tab> file <tab> application file     a file to delete, and the name it was used under
//   F <tab> folder                          a folder of a run's own, removed once empty
//   end
// It is written under a temporary name and renamed over the record, so it is
// always whole; a record without its end line is ignored.
#include <windows.h>

#include <string>
#include <vector>

struct CLeftover
{
    std::wstring path;   // the file to delete (in a run's folder)
    std::wstring target; // the application file it was: programs that map it name it so
};

class CUpdateLeftovers
{
public:
    std::wstring path;
    std::vector<CLeftover> files;
    std::vector<std::wstring> folders; // removed once empty, in this order

    // Reads the record; an unreadable one, or one cut short, reads as empty.
    // False when there is no record at all.
    bool Read();
    // Writes the record out to the disk, whole (or deletes it when empty);
    // false with the last-error value.
    bool Write() const;
};

// The record's place: beside the journal at journalPath.
std::wstring LeftoversPathFor(const std::wstring& journalPath);

// Adds files and folders to the record at recordPath, out on the disk. When
// the record cannot be written, each file (and then each folder) is left to
// the system to delete when it restarts, where this process has the right;
// each is logged. False only when neither was possible: the caller then keeps
// its journal.
bool RecordLeftovers(const std::wstring& recordPath, const std::vector<CLeftover>& files,
                     const std::vector<std::wstring>& folders);

// Deletes what it can of the record at recordPath: each file that is let go
// (logged), then the folders left empty; what stays is logged with the
// programs that hold it. True when nothing is left.
bool DeleteLeftovers(const std::wstring& recordPath);

// The warning for a file that stays in use: its name, then who holds it.
void LogStillInUse(const wchar_t* message, const std::wstring& path, const std::vector<std::wstring>& names);
// The same after a step on path failed with code, when the code says the file is held.
void LogIfHeld(const wchar_t* message, const std::wstring& path, DWORD code);
