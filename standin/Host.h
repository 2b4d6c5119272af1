// The stand-in automation host: a local server registered as "Excel.Application" that answers
// the members the removal run uses, plays a scenario and writes every call into a journal.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Owners.h"

// Our own class id, registered under the ProgID "Excel.Application" in a test prefix only.
// {c5041cc6-1726-4c76-8dbf-19b0f1b69f17}
extern const CLSID CLSID_StandinApplication;
extern const wchar_t kStandinClassId[];

// Everything a test lays out and reads back lives in this folder of the prefix.
constexpr wchar_t kStandinFolder[] = L"C:\\standin";

// --- Journal (Journal.cpp) ---

// The next two end the host when they cannot do their part in turn (Journal.cpp says why).
// Takes the next instance number for this process (1 for the first host started in the prefix).
int TakeInstanceNumber();
// Appends "<instance> <text>" as one line.
void Journal(const std::wstring& text);
// value in upper-case hexadecimal, at least digits long: Hex(0x409, 4) is 0409.
std::wstring Hex(unsigned long value, int digits);
std::wstring HexResult(HRESULT hr);
// A variant as the journal shows it, e.g. str:C:\x, i4:3, bool:0, null, empty, obj:nothing.
std::wstring DescribeVariant(const VARIANT& value);

// --- Scenario (Scenario.cpp) ---

// One value a member answers with, as the scenario spells it.
struct Value
{
    enum Kind { Text, Int, Real, Boolean, Null, Empty, Nothing, Natural, Dummy, Failure };
    Kind kind = Natural;
    std::wstring text;
    LONG number = 0;
    double real = 0;
    HRESULT failure = S_OK;
};

// A list of values: the n-th read answers with the n-th, the last one repeats.
class Answers
{
public:
    Answers() = default;
    explicit Answers(std::vector<Value> values) : values_(std::move(values)) {}

    const Value& Next();

private:
    std::vector<Value> values_;
    size_t reads_ = 0;
};

// One entry of the add-in collection: an add-in object, or a value that is not an object.
struct Item
{
    bool isAddIn = true;
    Answers fullName;
    Value notAnObject;
    HRESULT installedWriteFailure = S_OK;
    bool installed = true;
    // An add-in of the list Excel keeps in the registry (Office.cpp): its full name, empty for the
    // scenario's own, and the text of the OPEN value that named it.
    std::wstring keptName;
    std::wstring openText;
};

// Calls turned away the way a busy host turns them away: the call returns `answer` itself.
struct BusyRule
{
    std::wstring target;  // a member name, "names", "names:MEMBER" or "next"
    ULONG times = 0;      // how many calls are turned away; 0 for every one
    HRESULT answer = S_OK;
    ULONG answered = 0;
};

struct Scenario
{
    bool registers = true;
    HRESULT creationFailure = S_OK;
    Answers startupPath, libraryPath, workbooks, add, addins, newEnum, quit;
    std::vector<Item> items;
    ULONG failingNext = 0;  // 1-based call of Next that fails; 0 for none
    HRESULT nextFailure = S_OK;
    std::vector<std::wstring> heldFiles;  // kept open, without sharing deletion, while the host runs
    std::vector<BusyRule> busy;
    DWORD lingerSeconds = 0;  // how long the host takes to close once asked to quit
};

// What StartupPath and LibraryPath answer unless the scenario says otherwise.
struct Folders
{
    std::wstring startup = L"C:\\excel\\xlstart";
    std::wstring library = L"C:\\excel\\library";
};

// Reads the lines of C:\standin\scenario.txt that apply to this instance.
void LoadScenario(int instance, Scenario& scenario, const Folders& folders);
// The busy answer for this call of target (see BusyRule), or S_OK when the call is served.
HRESULT BusyAnswer(Scenario& scenario, const std::wstring& target);

// --- Excel as Office lays it (Office.cpp) ---

// /regoffice: registers this image as Office registers EXCEL.EXE, and its folder as Click-to-Run's InstallRoot.
int RegisterAsOffice();
// True when Click-to-Run's InstallRoot names this image's folder: the host then keeps Excel's books.
bool LaidAsOffice();
// What Excel answers for StartupPath (the user's XLSTART) and LibraryPath (LIBRARY beside it).
Folders OfficeFolders();
// Appends the add-ins of the user's OPEN values (installed) and Add-in Manager (not installed).
void ReadAddInList(Scenario& scenario);
// Writes the kept add-ins back: the installed ones as OPEN, OPEN1, ..., the others under Add-in Manager.
void WriteAddInList(const Scenario& scenario);

// --- Objects (Objects.cpp) ---

// Creates this instance's application object.
HRESULT CreateApplication(REFIID riid, void** object);
// The live objects' names, in creation order: what the host still holds for its client.
std::wstring LiveObjects();
// Called when the last object goes; the host then ends.
void OnLastObjectGone();
extern Scenario g_scenario;
extern bool g_quitAsked;
