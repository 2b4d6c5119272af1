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
std::string Narrow(const wchar_t* text, size_t length) { return std::string(text, text + length); }
std::string Narrow(const wchar_t* text) { return Narrow(text, wcslen(text)); }
std::string Narrow(const Bstr& text) { return Narrow(text.Get(), text.Length()); }

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
std::string NameOf(Interface* object) { return object ? static_cast<Held*>(object)->name : "null"; }

// One row's host and disk; the disk maps each file on it to what its deletion answers.
struct Machine
{
    std::wstring folders[2];  // what StartupPath and LibraryPath answer
    Held apps[2] = {Held("app1"), Held("app2")};
    Held workbooks{"workbooks"}, addIns{"addins"}, items{"items"};
    std::deque<Held> listed;
    std::map<std::string, HRESULT> disk;
    int created = 0;
    size_t walked = 0;
};
Machine* g_machine = nullptr;
struct Ended {};  // thrown where the process would end
}  // namespace

HRESULT CreateHostApplication(const wchar_t* progId, AutomationObject& application)
{
    Held* created = &g_machine->apps[g_machine->created++];
    Record("new " + Narrow(progId) + ": " + NameOf(created));
    application = created;
    return S_OK;
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
    items = &g_machine->items;
    return Record(NameOf(collection) + " enumerated: " + NameOf(items.Get()));
}
HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item)
{
    if (g_machine->walked == g_machine->listed.size())
        return Record(NameOf(items) + " next: none"), S_FALSE;
    Held* next = &g_machine->listed[g_machine->walked++];
    Record(NameOf(items) + " next: " + NameOf(next));
    item = next;
    return S_OK;
}
HRESULT FindNormalFile(const Bstr& path, Bstr& found)
{
    Record("probe " + Narrow(path));
    return g_machine->disk.count(Narrow(path)) ? MakeText(L"found", found) : S_FALSE;
}
HRESULT DeleteFiles(const Bstr& path)
{
    Record("delete " + Narrow(path));
    const auto file = g_machine->disk.find(Narrow(path));
    return file != g_machine->disk.end() ? file->second : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
void PumpEvents() { Record("pump"); }
void EndProcess()
{
    Record("end");
    throw Ended();
}

TEST(RemovalRun, TakesEveryStepInOrder)
{
    const struct
    {
        const char* what;
        std::vector<std::vector<std::wstring>> addIns;  // each add-in's answers to its reads of fullname
        std::map<std::string, HRESULT> disk;
        const char* walk;    // from the first add-in taken to the end of the list
        const char* copies;  // from the last add-in's release to the copies in the two folders
        std::wstring startupFolder = L"C:\\Startup", libraryFolder = L"C:\\Library";
    } rows[] = {
        {"the key anywhere in the full name, in any case, or first; an empty name and a near miss stay",
         {{L"C:\\QUANTORELIXEXCEL\\tools.xla"}, {L""}, {L"C:\\Quantorelix Excel\\quantorelixexce.xla"},
          {L"QuantorelixExcelLink.xla"}},
         {{"C:\\QUANTORELIXEXCEL\\tools.xla", S_OK}, {"QuantorelixExcelLink.xla", S_OK}},
         "items next: addin1\naddin1.fullname\naddin1.installed = false\naddin1.fullname\n"
         "probe C:\\QUANTORELIXEXCEL\\tools.xla\naddin1.fullname\ndelete C:\\QUANTORELIXEXCEL\\tools.xla\n"
         "items next: addin2\nrelease addin1\naddin2.fullname\nitems next: addin3\nrelease addin2\naddin3.fullname\n"
         "items next: addin4\nrelease addin3\naddin4.fullname\naddin4.installed = false\naddin4.fullname\n"
         "probe QuantorelixExcelLink.xla\naddin4.fullname\ndelete QuantorelixExcelLink.xla\nitems next: none\n",
         "release addin4\nrelease app2\nprobe C:\\Startup\\QuantorelixExcelLink.xla\n"
         "probe C:\\Library\\QuantorelixExcelLink.xla\n"},
        {"an empty startup folder names the root; a library folder that ends in a backslash gives two", {},
         {{"\\QuantorelixExcelLink.xla", S_OK}, {"C:\\Library\\\\QuantorelixExcelLink.xla", S_OK}},
         "items next: none\n",
         "release app2\nprobe \\QuantorelixExcelLink.xla\ndelete \\QuantorelixExcelLink.xla\n"
         "probe C:\\Library\\\\QuantorelixExcelLink.xla\ndelete C:\\Library\\\\QuantorelixExcelLink.xla\n",
         L"", L"C:\\Library\\"},
        {"a file not found is not deleted; one in use stays, the walk goes on; the full name read at each use",
         {{L"C:\\Gone\\QuantorelixExcelLink.xla"}, {L"C:\\Busy\\QuantorelixExcelLink.xla"},
          {L"C:\\QuantorelixExcelLink.xla", L"C:\\Probed.xla", L"C:\\Deleted.xla"}},
         {{"C:\\Busy\\QuantorelixExcelLink.xla", HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)}, {"C:\\Probed.xla", S_OK}},
         "items next: addin1\naddin1.fullname\naddin1.installed = false\naddin1.fullname\n"
         "probe C:\\Gone\\QuantorelixExcelLink.xla\nitems next: addin2\nrelease addin1\naddin2.fullname\n"
         "addin2.installed = false\naddin2.fullname\nprobe C:\\Busy\\QuantorelixExcelLink.xla\naddin2.fullname\n"
         "delete C:\\Busy\\QuantorelixExcelLink.xla\nitems next: addin3\nrelease addin2\naddin3.fullname\n"
         "addin3.installed = false\naddin3.fullname\nprobe C:\\Probed.xla\naddin3.fullname\ndelete C:\\Deleted.xla\n"
         "items next: none\n",
         "release addin3\nrelease app2\nprobe C:\\Startup\\QuantorelixExcelLink.xla\n"
         "probe C:\\Library\\QuantorelixExcelLink.xla\n"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        Machine machine{{row.startupFolder, row.libraryFolder}};
        for (const auto& fullNames : row.addIns)
            machine.listed.emplace_back("addin" + std::to_string(machine.listed.size() + 1), fullNames);
        machine.disk = row.disk;
        g_machine = &machine;
        g_trace.clear();
        EXPECT_THROW(RemovalRun(), Ended);
        EXPECT_EQ("new Excel.Application: app1\napp1.StartupPath\napp1.LibraryPath\npump\n"
                  "new Excel.Application: app2\nrelease app1\napp2.Workbooks\nworkbooks.Add()\nrelease workbooks\n"
                  "pump\napp2.addins\naddins enumerated: items\n" + std::string(row.walk) + "app2.quit()\n" +
                      row.copies + "release items\nrelease addins\nend\n",
                  g_trace);
    }
}
