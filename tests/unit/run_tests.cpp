// The run's steps in order, both message pumps included, against a recording platform: every
// operation of platform/Platform.h but the texts (platform/Text.cpp, the real ones) is faked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "removal/RemovalRun.h"

namespace
{
std::string g_trace;  // every operation the run asks for, one a line
HRESULT Record(const std::string& line)
{
    g_trace += line + "\n";
    return S_OK;
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
template <class Interface>
std::string NameOf(Interface* object) { return static_cast<Held*>(object)->name; }

// One row's host and disk: the folder texts, the listed add-ins, and what deleting each file answers.
struct Machine
{
    std::wstring folders[2];
    std::deque<Held> listed;
    std::map<std::string, HRESULT> disk;
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
    Record("new " + Narrow(progId) + ": " + created->name);
    return application = created, S_OK;
}
HRESULT GetTextMember(IDispatch* object, const wchar_t* name, Bstr& text)
{
    Record(NameOf(object) + "." + Narrow(name));
    if (object == &g_machine->apps[0])
        return MakeText(g_machine->folders[std::wstring(name) == L"StartupPath" ? 0 : 1].c_str(), text);
    Held& addIn = *static_cast<Held*>(object);
    return MakeText(addIn.fullNames[std::min(addIn.reads++, addIn.fullNames.size() - 1)].c_str(), text);
}
HRESULT GetObjectMember(IDispatch* object, const wchar_t* name, AutomationObject& member)
{
    member = std::wstring(name) == L"Workbooks" ? &g_machine->workbooks : &g_machine->addIns;
    return Record(NameOf(object) + "." + Narrow(name));
}
HRESULT SetMember(IDispatch* object, const wchar_t* name, const VARIANT& value)
{
    const bool no = value.vt == VT_BOOL && value.boolVal == VARIANT_FALSE;
    return Record(NameOf(object) + "." + Narrow(name) + (no ? " = false" : " = ?"));
}
HRESULT CallMember(IDispatch* object, const wchar_t* name) { return Record(NameOf(object) + "." + Narrow(name) + "()"); }
HRESULT EnumerateMembers(IDispatch* collection, AutomationEnumerator& items)
{
    return items = &g_machine->items, Record(NameOf(collection) + " enumerated");
}
HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item)
{
    if (g_machine->walked == g_machine->listed.size())
        return Record(NameOf(items) + " next: none"), S_FALSE;
    Record(NameOf(items) + " next: " + g_machine->listed[g_machine->walked].name);
    return item = &g_machine->listed[g_machine->walked++], S_OK;
}
HRESULT FindNormalFile(const Bstr& path, Bstr& found)
{
    Record("probe " + Narrow(path));
    return g_machine->disk.count(Narrow(path)) ? MakeText(L"found", found) : S_FALSE;
}
HRESULT DeleteFiles(const Bstr& path)
{
    Record("delete " + Narrow(path));
    return g_machine->disk.count(Narrow(path)) ? g_machine->disk[Narrow(path)] : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
void PumpEvents() { Record("pump"); }
void EndProcess() { Record("end"), throw Ended(); }

TEST(RemovalRun, TakesEveryStepInOrder)
{
    const HRESULT inUse = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    const struct
    {
        const char* what;
        Machine machine;    // the add-ins by their answers to each read of fullname
        const char* walk;   // from the first add-in taken to the end of the list
        const char* after;  // from the last add-in's release to the copies in the two folders
    } rows[] = {
        {"the key anywhere in the full name, in any case, or first; an empty name and a near miss stay",
         {{L"C:\\Startup", L"C:\\Library"},
          {Held("a1", {L"C:\\QUANTORELIXEXCEL\\tools.xla"}), Held("a2", {L""}),
           Held("a3", {L"C:\\Quantorelix Excel\\quantorelixexce.xla"}), Held("a4", {L"QuantorelixExcelLink.xla"})},
          {{"C:\\QUANTORELIXEXCEL\\tools.xla", S_OK}, {"QuantorelixExcelLink.xla", S_OK}}},
         "items next: a1\na1.fullname\na1.installed = false\na1.fullname\nprobe C:\\QUANTORELIXEXCEL\\tools.xla\n"
         "a1.fullname\ndelete C:\\QUANTORELIXEXCEL\\tools.xla\nitems next: a2\nrelease a1\na2.fullname\n"
         "items next: a3\nrelease a2\na3.fullname\nitems next: a4\nrelease a3\na4.fullname\na4.installed = false\n"
         "a4.fullname\nprobe QuantorelixExcelLink.xla\na4.fullname\ndelete QuantorelixExcelLink.xla\nitems next: none\n",
         "release a4\nrelease app2\n"
         "probe C:\\Startup\\QuantorelixExcelLink.xla\nprobe C:\\Library\\QuantorelixExcelLink.xla\n"},
        {"an empty startup folder names the root; a library folder that ends in a backslash gives two",
         {{L"", L"C:\\Library\\"}, {},
          {{"\\QuantorelixExcelLink.xla", S_OK}, {"C:\\Library\\\\QuantorelixExcelLink.xla", S_OK}}},
         "items next: none\n",
         "release app2\nprobe \\QuantorelixExcelLink.xla\ndelete \\QuantorelixExcelLink.xla\n"
         "probe C:\\Library\\\\QuantorelixExcelLink.xla\ndelete C:\\Library\\\\QuantorelixExcelLink.xla\n"},
        {"a file not found is not deleted; one in use stays, the walk goes on; the full name read at each use",
         {{L"C:\\Startup", L"C:\\Library"},
          {Held("a1", {L"C:\\Gone\\QuantorelixExcel.xla"}), Held("a2", {L"C:\\Busy\\QuantorelixExcel.xla"}),
           Held("a3", {L"C:\\QuantorelixExcel.xla", L"C:\\Probed.xla", L"C:\\Deleted.xla"})},
          {{"C:\\Busy\\QuantorelixExcel.xla", inUse}, {"C:\\Probed.xla", S_OK}}},
         "items next: a1\na1.fullname\na1.installed = false\na1.fullname\nprobe C:\\Gone\\QuantorelixExcel.xla\n"
         "items next: a2\nrelease a1\na2.fullname\na2.installed = false\na2.fullname\n"
         "probe C:\\Busy\\QuantorelixExcel.xla\na2.fullname\ndelete C:\\Busy\\QuantorelixExcel.xla\nitems next: a3\n"
         "release a2\na3.fullname\na3.installed = false\na3.fullname\nprobe C:\\Probed.xla\na3.fullname\n"
         "delete C:\\Deleted.xla\nitems next: none\n",
         "release a3\nrelease app2\n"
         "probe C:\\Startup\\QuantorelixExcelLink.xla\nprobe C:\\Library\\QuantorelixExcelLink.xla\n"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        Machine machine = row.machine;
        g_machine = &machine;
        g_trace.clear();
        EXPECT_THROW(RemovalRun(), Ended);
        EXPECT_EQ("new Excel.Application: app1\napp1.StartupPath\napp1.LibraryPath\npump\n"
                  "new Excel.Application: app2\nrelease app1\napp2.Workbooks\nworkbooks.Add()\nrelease workbooks\n"
                  "pump\napp2.addins\naddins enumerated\n" + std::string(row.walk) + "app2.quit()\n" + row.after +
                      "release items\nrelease addins\nend\n",
                  g_trace);
    }
}
