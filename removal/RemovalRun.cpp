// The removal run: one straight sequence of steps. Each step that fails is abandoned and the
// run goes on with the next one; a test that fails counts as not met. Nothing is reported.
#include "removal/RemovalRun.h"

#include "platform/Platform.h"

namespace
{
constexpr wchar_t HostProgId[] = L"Excel.Application";
constexpr wchar_t AddInFile[] = L"QuantorelixExcelLink.xla";
// Matched anywhere in an add-in's full name, folders included, in any letter case.
constexpr wchar_t AddInMatchKey[] = L"quantorelixexcel";
}  // namespace

void RemovalRun()
{
    // Left last, in step 14, once every reference below has been let go: the add-in and the
    // application in step 11, the walk's collection and its enumerator in step 14.
    ComApartment apartment;

    Bstr AddInFileName;
    Bstr StartupCopyPath;
    Bstr LibraryCopyPath;
    AutomationObject HostApp;
    AutomationObject CurrentAddIn;
    // Taken by the walk and held, with its enumerator, until the run ends.
    AutomationObject addIns;
    AutomationEnumerator addInItems;

    VARIANT notInstalled = {};
    notInstalled.vt = VT_BOOL;
    notInstalled.boolVal = VARIANT_FALSE;

    // 1. The add-in's file name.
    MakeText(AddInFile, AddInFileName);

    // 2-4. The first instance tells where its startup and library folders are.
    CreateHostApplication(HostProgId, HostApp);
    Bstr startupFolder;
    if (SUCCEEDED(GetTextMember(HostApp.Get(), L"StartupPath", startupFolder)))
        JoinPath(startupFolder, AddInFileName, StartupCopyPath);
    Bstr libraryFolder;
    if (SUCCEEDED(GetTextMember(HostApp.Get(), L"LibraryPath", libraryFolder)))
        JoinPath(libraryFolder, AddInFileName, LibraryCopyPath);

    // 5.
    PumpEvents();

    // 6. A second instance takes the first one's place: the first is released only once the new
    //    reference is in hand, and is never asked to quit.
    CreateHostApplication(HostProgId, HostApp);

    // 7. It gets a new workbook, which the run never saves or closes. The workbook collection
    //    is let go at once.
    {
        AutomationObject workbooks;
        if (SUCCEEDED(GetObjectMember(HostApp.Get(), L"Workbooks", workbooks)))
            CallMember(workbooks.Get(), L"Add");
    }

    // 8.
    PumpEvents();

    // 9. Uninstall every listed add-in whose full name holds the key, and delete its file.
    //    The full name is read afresh at each use.
    if (SUCCEEDED(GetObjectMember(HostApp.Get(), L"addins", addIns)) &&
        SUCCEEDED(EnumerateMembers(addIns.Get(), addInItems)))
    {
        while (NextMember(addInItems.Get(), CurrentAddIn) == S_OK)
        {
            Bstr fullName;
            Bstr lowered;
            if (FAILED(GetTextMember(CurrentAddIn.Get(), L"fullname", fullName)) ||
                FAILED(LowerCaseText(fullName, lowered)) ||
                FindTextIgnoringCase(lowered, AddInMatchKey) == 0)
                continue;

            SetMember(CurrentAddIn.Get(), L"installed", notInstalled);

            Bstr probed;
            Bstr found;
            if (FAILED(GetTextMember(CurrentAddIn.Get(), L"fullname", probed)) ||
                FindNormalFile(probed, found) != S_OK)
                continue;

            Bstr doomed;
            if (SUCCEEDED(GetTextMember(CurrentAddIn.Get(), L"fullname", doomed)))
                DeleteFiles(doomed);
        }
    }

    // 10.
    CallMember(HostApp.Get(), L"quit");

    // 11. The add-in before the application; the walk's collection stays held.
    CurrentAddIn.Reset();
    HostApp.Reset();

    // 12, 13. The copies in the startup and library folders. An empty path names nothing.
    Bstr found;
    if (FindNormalFile(StartupCopyPath, found) == S_OK)
        DeleteFiles(StartupCopyPath);
    if (FindNormalFile(LibraryCopyPath, found) == S_OK)
        DeleteFiles(LibraryCopyPath);

    // 14. Let go of the walk's collection and enumerator and leave the apartment before ending.
    //     A host learns of a dead client's references only through COM's pings, minutes later:
    //     until then the Excel that was asked to quit would stay alive, hidden.
    addInItems.Reset();
    addIns.Reset();
    apartment.Leave();
    EndProcess();
}
