// The journal: C:\standin\journal.txt, UTF-8, one line per event, "\n" at the end of each.
// Several host processes append to it at once; a named mutex makes each line one write.
//
// Every line starts with the instance number (1 for the first host started in the prefix),
// then the object ("host", "factory", "app", "books", "book", "addins", "enum", "addin<k>"
// for the k-th entry of the add-in list, "dummy"), then the event; the last field may hold spaces:
//   N host start client=<image name of the parent process, the client>|none
//   N host hold PATH [failed]                                 (the scenario's file it keeps open)
//   N host registered | register fail:XXXXXXXX
//   N host read NAME=TEXT | read Add-in Manager PATH           (laid as Office: the user's add-ins)
//   N host user                       (laid as Office, started without /automation: serves no client)
//   N factory create -> obj:app | fail:XXXXXXXX
//   N factory lock | unlock
//   N OBJ names NAME lcid=XXXX -> DISPID | unknown | busy:XXXXXXXX   (GetIDsOfNames, NAME as spelled)
//   N OBJ VERB NAME lcid=XXXX [args=V,V] [named=D,D] -> RESULT
//        VERB: get, put, putref, call, a '+' join when several DISPATCH_ flags are set
//        (call+get), or none; NAME is the member as the client last spelled it, or #DISPID
//        RESULT: a value (below), fail:XXXXXXXX, or busy:XXXXXXXX
//   N addin<k> uninstalled | installed                       (the installed list changed)
//   N OBJ typeinfocount | typeinfo                            (calls the program never makes)
//   N enum skip N | reset | clone
//   N enum next celt=N -> S_OK|S_FALSE|fail:XXXXXXXX|busy:XXXXXXXX fetched=N [V ...]
// busy:XXXXXXXX is a call the scenario turned away as a busy host does (it returned XXXXXXXX
// and did nothing); fail:XXXXXXXX is a call that failed.
//   N OBJ released                                            (its last reference went)
//   N host lastref                                            (no object of this host is left)
//   N host linger SECONDS                                     (asked to quit: still closing)
//   N host deleted NAME | wrote NAME=TEXT | wrote Add-in Manager PATH   (laid as Office: as it closes)
//   N host end released|quit|client-gone|timeout|refused|unregistered [held=OBJ,OBJ]
// Values: str:TEXT (a NUL shows as <NUL>), i2:N, i4:N, r8:X, bool:N (0 or -1), null, empty,
// obj:NAME, obj:nothing, unk:NAME, vt:XXXX for anything else.
#include "standin/Host.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace
{
int g_instance = 0;

constexpr wchar_t kMutexName[] = L"BrolendavirStandinJournal";
// Writing one line takes a host milliseconds; one that holds the mutex this long is stuck.
constexpr DWORD kLockBound = 10'000;
constexpr int kDecimal = 10;
// Room for any number a line or the instance file holds.
constexpr size_t kNumberChars = 16;
// The status of a host that ended because a line could not go into the journal.
constexpr UINT kLostLineStatus = 3;

std::wstring InFolder(const wchar_t* name) { return std::wstring(kStandinFolder) + L"\\" + name; }

// The journal is the tests' only witness of what the host was asked, and the instance number
// ties its lines and the scenario's to one host. A line written out of turn could mix with
// another host's, and one dropped would hide the call it records, so a host that cannot write
// in turn ends at once instead: the lines it never wrote, its own "host end" among them, fail
// the run's checks, and its client's calls fail.
[[noreturn]] void EndForLostLine() { ::ExitProcess(kLostLineStatus); }

// Takes the journal mutex. Only WAIT_OBJECT_0 and WAIT_ABANDONED (a host that died holding it)
// make it ours; after WAIT_TIMEOUT or WAIT_FAILED it is neither written under nor released.
class JournalLock
{
public:
    JournalLock() : mutex_(::CreateMutexW(nullptr, FALSE, kMutexName))
    {
        if (!mutex_.IsValid())
            return;
        const DWORD waited = ::WaitForSingleObject(mutex_.Get(), kLockBound);
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~JournalLock()
    {
        if (owned_)
            ::ReleaseMutex(mutex_.Get());
    }
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

    bool Owned() const { return owned_; }

private:
    Handle mutex_;
    bool owned_ = false;
};

// The number after the last one taken in the prefix, recorded as taken; 0 when it cannot be.
int NextInstanceNumber()
{
    JournalLock lock;
    if (!lock.Owned())
        return 0;
    Handle file(::CreateFileW(InFolder(L"instances.txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return 0;
    char text[kNumberChars] = {};
    DWORD count = 0;
    if (!::ReadFile(file.Get(), text, sizeof text - 1, &count, nullptr))
        return 0;
    const int next = static_cast<int>(strtol(text, nullptr, kDecimal)) + 1;
    const int length = snprintf(text, sizeof text, "%d\n", next);
    ::SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    if (!::WriteFile(file.Get(), text, length, &count, nullptr) || !::SetEndOfFile(file.Get()))
        return 0;
    return next;
}

// Appends bytes to the journal as one write, in turn with the other hosts; false when it cannot.
bool AppendInTurn(const std::string& bytes)
{
    JournalLock lock;
    if (!lock.Owned())
        return false;
    Handle file(::CreateFileW(InFolder(L"journal.txt").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.IsValid() &&
           ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}
}  // namespace

int TakeInstanceNumber()
{
    g_instance = NextInstanceNumber();
    if (g_instance == 0)
        EndForLostLine();
    return g_instance;
}

void Journal(const std::wstring& text)
{
    const std::wstring line = std::to_wstring(g_instance) + L" " + text + L"\n";
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        EndForLostLine();
    std::string bytes(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size,
                          nullptr, nullptr);
    if (!AppendInTurn(bytes))
        EndForLostLine();
}

std::wstring Hex(unsigned long value, int digits)
{
    wchar_t text[kNumberChars];
    const int length = swprintf(text, std::size(text), L"%0*lX", digits, value);
    return length > 0 ? std::wstring(text, length) : std::wstring();
}

std::wstring HexResult(HRESULT hr)
{
    constexpr int kDigits = 8;
    return Hex(static_cast<unsigned long>(hr), kDigits);
}

std::wstring DescribeVariant(const VARIANT& value)
{
    switch (value.vt)
    {
    case VT_BSTR:
    {
        std::wstring text = L"str:";
        for (UINT i = 0; i < ::SysStringLen(value.bstrVal); ++i)
        {
            if (value.bstrVal[i] == L'\0')
                text += L"<NUL>";
            else
                text += value.bstrVal[i];
        }
        return text;
    }
    case VT_I2: return L"i2:" + std::to_wstring(value.iVal);
    case VT_I4: return L"i4:" + std::to_wstring(value.lVal);
    case VT_R8: return L"r8:" + std::to_wstring(value.dblVal);
    case VT_BOOL: return L"bool:" + std::to_wstring(value.boolVal);
    case VT_NULL: return L"null";
    case VT_EMPTY: return L"empty";
    case VT_DISPATCH: return value.pdispVal == nullptr ? L"obj:nothing" : L"obj:foreign";
    case VT_UNKNOWN: return value.punkVal == nullptr ? L"unk:nothing" : L"unk:foreign";
    default: return L"vt:" + Hex(value.vt, 4);
    }
}
