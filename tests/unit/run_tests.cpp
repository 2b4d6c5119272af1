// The run's steps in order, both message pumps included, against a recording platform: every
// operation of platform/Platform.h but the texts (platform/Text.cpp, the real ones) is faked here,
// and any one of them can be made to fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "removal/RemovalRun.h"

namespace
{
std::string g_trace;  // every operation the run asks for, one a line
std::string g_fails;  // the line of the one operation that fails: its first time, or its n-th as "LINE#n"
std::map<std::string, int> g_times;
// Traces an operation; it fails, and says so, when it is the one that fails or when refused is set.
HRESULT Record(const std::string& line, bool refused = false)
{
    const int time = ++g_times[line];
    refused |= g_fails == (time == 1 ? line : line + "#" + std::to_string(time));
    g_trace += line + (refused ? " failed\n" : "\n");
    return refused ? E_FAIL : S_OK;
}
std::string Narrow(const wchar_t* text) { return std::string(text, text + wcslen(text)); }
std::string Narrow(const Bstr& path) { return std::string(path.Get(), path.Get() + path.Length()); }

// What the run holds: an application, a collection, the enumerator, or an add-in, which answers its
// reads of fullname in turn (the last answer again once they run out). It tells when it is let go.
struct Held : IDispatch, IEnumVARIANT
{
    explicit Held(std::string n, std::vector<std::wstring> f = {}) : name(std::move(n)), fullNames(std::move(f)) {}
    std::string name;
    std::vector<std::wstring> fullNames;
    size_t reads = 0;
    ULONG references = 0;

    STDMETHOD_(ULONG, AddRef)() override { return ++references; }
    STDMETHOD_(ULONG, Release)() override { return --references ? references : (Record("release " + name), 0); }
    // The run asks for no interface, and makes its calls through the operations below.
    STDMETHOD(QueryInterface)(REFIID, void** out) override { return *out = nullptr, E_NOINTERFACE; }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    STDMETHOD(Next)(ULONG, VARIANT*, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(Skip)(ULONG) override { return E_NOTIMPL; }
    STDMETHOD(Reset)() override { return E_NOTIMPL; }
    STDMETHOD(Clone)(IEnumVARIANT**) override { return E_NOTIMPL; }
};
// A member of no object (the application that was never created) fails, as the platform's do.
HRESULT Ask(IDispatch* object, const std::string& what)
{
    return Record((object ? static_cast<Held*>(object)->name : "none") + what, object == nullptr);
}

// One row's host and disk: the folder texts, the listed add-ins, and the files there are (the probe
// finds them; deleting any other fails, as it does on Windows).
struct Machine
{
    std::wstring folders[2];
    std::deque<Held> listed;
    std::set<std::string> disk;
    Held apps[2] = {Held("app1"), Held("app2")};
    Held workbooks{"workbooks"}, addIns{"addins"}, items{"items"};
    int created = 0;
    size_t walked = 0;
} * g_machine;
struct Ended {};  // thrown where the process would end
}  // namespace

HRESULT CreateHostApplication(const wchar_t* progId, AutomationObject& application)
{
    Held* created = &g_machine->apps[g_machine->created++];
    const HRESULT hr = Record("new " + Narrow(progId) + ": " + created->name);
    return FAILED(hr) ? hr : (application = created, S_OK);
}
HRESULT GetTextMember(IDispatch* object, const wchar_t* name, Bstr& text)
{
    const HRESULT hr = Ask(object, "." + Narrow(name));
    if (FAILED(hr))
        return hr;
    if (object == &g_machine->apps[0])
        return MakeText(g_machine->folders[std::wstring(name) == L"StartupPath" ? 0 : 1].c_str(), text);
    Held& addIn = *static_cast<Held*>(object);
    return MakeText(addIn.fullNames[std::min(addIn.reads++, addIn.fullNames.size() - 1)].c_str(), text);
}
HRESULT GetObjectMember(IDispatch* object, const wchar_t* name, AutomationObject& member)
{
    const HRESULT hr = Ask(object, "." + Narrow(name));
    Held* answer = std::wstring(name) == L"Workbooks" ? &g_machine->workbooks : &g_machine->addIns;
    return FAILED(hr) ? hr : (member = answer, S_OK);
}
HRESULT SetMember(IDispatch* object, const wchar_t* name, const VARIANT& value)
{
    const bool no = value.vt == VT_BOOL && value.boolVal == VARIANT_FALSE;
    return Ask(object, "." + Narrow(name) + (no ? " = false" : " = ?"));
}
HRESULT CallMember(IDispatch* object, const wchar_t* name) { return Ask(object, "." + Narrow(name) + "()"); }
HRESULT EnumerateMembers(IDispatch* collection, AutomationEnumerator& items)
{
    const HRESULT hr = Ask(collection, " enumerated");
    return FAILED(hr) ? hr : (items = &g_machine->items, S_OK);
}
HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item)
{
    Machine& m = *g_machine;
    const HRESULT hr = Record(static_cast<Held*>(items)->name + " next: " +
                              (m.walked == m.listed.size() ? "none" : m.listed[m.walked].name));
    if (FAILED(hr) || m.walked == m.listed.size())
        return FAILED(hr) ? hr : S_FALSE;
    return item = &m.listed[m.walked++], S_OK;
}
HRESULT FindNormalFile(const Bstr& path, Bstr& found)
{
    const HRESULT hr = Record("probe " + Narrow(path));
    if (FAILED(hr))
        return hr;
    return g_machine->disk.count(Narrow(path)) ? MakeText(L"found", found) : S_FALSE;
}
HRESULT DeleteFiles(const Bstr& path) { return Record("delete " + Narrow(path), !g_machine->disk.count(Narrow(path))); }
void PumpEvents() { Record("pump"); }
// The run ends out of COM's apartment: joining one anew then answers S_OK, not S_FALSE.
void EndProcess() { Record(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) ? "end in COM" : "end"),
                    ::CoUninitialize(), throw Ended(); }

TEST(RemovalRun, TakesEveryStepInOrderAndDropsOnlyTheStepThatFails)
{
    // The pieces of the traces: steps 2-5, step 6, steps 7-9 up to the first add-in, 10-11, and 14.
    const std::string first = "new Excel.Application: app1\napp1.StartupPath\napp1.LibraryPath\npump\n";
    const std::string second = "new Excel.Application: app2\nrelease app1\n";
    const auto then = [](const std::string& app) {
        return app + ".Workbooks\nworkbooks.Add()\nrelease workbooks\npump\n" + app + ".addins\naddins enumerated\n";
    };
    const std::string walked = first + second + then("app2");
    const auto quit = [](const std::string& app, const std::string& last = "a2") {
        return app + ".quit()\nrelease " + last + "\nrelease " + app + "\n";
    };
    const std::string end = "release items\nrelease addins\nend\n";
    // The machine of the rows where one operation fails: an empty startup folder, which names the root,
    // a library folder that ends in a backslash, which gives two, and two add-ins, the second read as
    // another file at each use; every file named is on disk.
    const Machine two = {{L"", L"C:\\Library\\"},
                         {Held("a1", {L"C:\\One\\QuantorelixExcel.xla"}),
                          Held("a2", {L"C:\\QuantorelixExcel.xla", L"C:\\Probed.xla", L"C:\\Deleted.xla"})},
                         {"C:\\One\\QuantorelixExcel.xla", "C:\\Probed.xla", "C:\\Deleted.xla",
                          "\\QuantorelixExcelLink.xla", "C:\\Library\\\\QuantorelixExcelLink.xla"}};
    // Its run when nothing fails, piece by piece.
    const std::string read = "items next: a1\na1.fullname\na1.installed = false\na1.fullname\n";
    const std::string probe = "probe C:\\One\\QuantorelixExcel.xla\n";
    const std::string deleted = "a1.fullname\ndelete C:\\One\\QuantorelixExcel.xla\n";
    const std::string a2 = "items next: a2\nrelease a1\na2.fullname\na2.installed = false\na2.fullname\n"
                           "probe C:\\Probed.xla\na2.fullname\ndelete C:\\Deleted.xla\nitems next: none\n";
    const std::string startup = "probe \\QuantorelixExcelLink.xla\ndelete \\QuantorelixExcelLink.xla\n";
    const std::string library = "probe C:\\Library\\\\QuantorelixExcelLink.xla\n"
                                "delete C:\\Library\\\\QuantorelixExcelLink.xla\n";
    const std::string copies = startup + library;
    const std::string walk = read + probe + deleted + a2;
    const std::string tail = quit("app2") + copies + end;

    const struct
    {
        const char* what;
        Machine machine;    // the add-ins by their answers to each read of fullname
        std::string fails;  // the operation that fails, as traced ("" for none)
        std::string trace;  // the whole run
    } rows[] = {
        {"the key anywhere in the full name, in any case, or first; an empty name and a near miss stay; "
         "a file not found is not deleted",
         {{L"C:\\Startup", L"C:\\Library"},
          {Held("a1", {L"C:\\QUANTORELIXEXCEL\\tools.xla"}), Held("a2", {L""}),
           Held("a3", {L"C:\\Quantorelix Excel\\quantorelixexce.xla"}), Held("a4", {L"QuantorelixExcelLink.xla"})},
          {"C:\\QUANTORELIXEXCEL\\tools.xla"}},
         "", walked + "items next: a1\na1.fullname\na1.installed = false\na1.fullname\n"
         "probe C:\\QUANTORELIXEXCEL\\tools.xla\na1.fullname\ndelete C:\\QUANTORELIXEXCEL\\tools.xla\n"
         "items next: a2\nrelease a1\na2.fullname\n"
         "items next: a3\nrelease a2\na3.fullname\nitems next: a4\nrelease a3\na4.fullname\na4.installed = false\n"
         "a4.fullname\nprobe QuantorelixExcelLink.xla\nitems next: none\n" + quit("app2", "a4") +
             "probe C:\\Startup\\QuantorelixExcelLink.xla\nprobe C:\\Library\\QuantorelixExcelLink.xla\n" + end},
        {"nothing fails: the copy paths as the folders give them; the full name read afresh at each use", two, "",
         walked + walk + tail},
        {"the first instance is not created: both copy paths stay empty and name nothing; the walk still runs", two,
         "new Excel.Application: app1",
         "new Excel.Application: app1 failed\nnone.StartupPath failed\nnone.LibraryPath failed\npump\n"
         "new Excel.Application: app2\n" + then("app2") + walk + quit("app2") + "probe \nprobe \n" + end},
        {"the second instance is not created: the first gets the workbook, the walk and the quit", two,
         "new Excel.Application: app2",
         first + "new Excel.Application: app2 failed\n" + then("app1") + walk + quit("app1") + copies + end},
        {"StartupPath fails: that copy path stays empty", two, "app1.StartupPath",
         "new Excel.Application: app1\napp1.StartupPath failed\napp1.LibraryPath\npump\n" + second + then("app2") +
             walk + quit("app2") + "probe \n" + library + end},
        {"LibraryPath fails: that copy path stays empty", two, "app1.LibraryPath",
         "new Excel.Application: app1\napp1.StartupPath\napp1.LibraryPath failed\npump\n" + second + then("app2") +
             walk + quit("app2") + startup + "probe \n" + end},
        {"Workbooks fails: no workbook is added", two, "app2.Workbooks",
         first + second + "app2.Workbooks failed\npump\napp2.addins\naddins enumerated\n" + walk + tail},
        {"Add fails", two, "workbooks.Add()",
         first + second + "app2.Workbooks\nworkbooks.Add() failed\nrelease workbooks\npump\napp2.addins\n"
         "addins enumerated\n" + walk + tail},
        {"addins fails: no add-in is visited", two, "app2.addins",
         first + second + "app2.Workbooks\nworkbooks.Add()\nrelease workbooks\npump\napp2.addins failed\n"
         "app2.quit()\nrelease app2\n" + copies + "end\n"},
        {"the enumerator is not had: no add-in is visited", two, "addins enumerated",
         first + second + "app2.Workbooks\nworkbooks.Add()\nrelease workbooks\npump\napp2.addins\n"
         "addins enumerated failed\napp2.quit()\nrelease app2\n" + copies + "release addins\nend\n"},
        {"the first read of a full name fails: the add-in is passed over", two, "a1.fullname",
         walked + "items next: a1\na1.fullname failed\n" + a2 + tail},
        {"installed cannot be set: the file is still probed and deleted", two, "a1.installed = false",
         walked + "items next: a1\na1.fullname\na1.installed = false failed\na1.fullname\n" + probe + deleted + a2 +
             tail},
        {"the second read fails: no probe, no deletion", two, "a1.fullname#2",
         walked + "items next: a1\na1.fullname\na1.installed = false\na1.fullname failed\n" + a2 + tail},
        {"the probe fails, which is not the file's absence: no deletion", two, "probe C:\\One\\QuantorelixExcel.xla",
         walked + read + "probe C:\\One\\QuantorelixExcel.xla failed\n" + a2 + tail},
        {"the third read fails: no deletion", two, "a1.fullname#3",
         walked + read + probe + "a1.fullname failed\n" + a2 + tail},
        {"the deletion fails (the file in use): the walk goes on", two, "delete C:\\One\\QuantorelixExcel.xla",
         walked + read + probe + "a1.fullname\ndelete C:\\One\\QuantorelixExcel.xla failed\n" + a2 + tail},
        {"moving to the second add-in fails: the walk ends there", two, "items next: a2",
         walked + read + probe + deleted + "items next: a2 failed\n" + quit("app2", "a1") + copies + end},
        {"quit fails: the clears and the copies still come", two, "app2.quit()",
         walked + walk + "app2.quit() failed\nrelease a2\nrelease app2\n" + copies + end},
        {"the startup copy's probe fails: no deletion there; the library copy still goes", two,
         "probe \\QuantorelixExcelLink.xla",
         walked + walk + quit("app2") + "probe \\QuantorelixExcelLink.xla failed\n" + library + end},
        {"the startup copy's deletion fails: the library copy still goes", two, "delete \\QuantorelixExcelLink.xla",
         walked + walk + quit("app2") + "probe \\QuantorelixExcelLink.xla\ndelete \\QuantorelixExcelLink.xla failed\n" +
             library + end},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        Machine machine = row.machine;
        g_machine = &machine;
        g_fails = row.fails;
        g_times.clear();
        g_trace.clear();
        EXPECT_THROW(RemovalRun(), Ended);
        EXPECT_EQ(row.trace, g_trace);
    }
}
