// The host process: registers itself (/regserver, /unregserver, or as Office registers Excel:
// /regoffice) or, started by COM for a client, serves one application object and ends when it is
// released, when its client has gone, or after kLifeBound at the latest. Laid as Office lays Excel
// and started without /automation, it is the user's own Excel: it serves no client.
#include "standin/Host.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <memory>

// {c5041cc6-1726-4c76-8dbf-19b0f1b69f17}
const CLSID CLSID_StandinApplication = {
    0xc5041cc6, 0x1726, 0x4c76, {0x8d, 0xbf, 0x19, 0xb0, 0xf1, 0xb6, 0x9f, 0x17}};
const wchar_t kStandinClassId[] = L"{c5041cc6-1726-4c76-8dbf-19b0f1b69f17}";

namespace
{
constexpr wchar_t kProgId[] = L"Excel.Application";
constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{c5041cc6-1726-4c76-8dbf-19b0f1b69f17}";
constexpr ULONGLONG kLifeBound = 60ULL * 1000;
constexpr DWORD kSecond = 1000;

const wchar_t* g_endReason = nullptr;

// Wine's CLSIDFromProgID reads HKEY_CLASSES_ROOT as the machine's classes only.
LSTATUS SetText(const std::wstring& key, const wchar_t* name, const std::wstring& text)
{
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, text.c_str(),
                             static_cast<DWORD>(text.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
}

int Register()
{
    wchar_t exe[MAX_PATH];
    if (::GetModuleFileNameW(nullptr, exe, MAX_PATH) == 0)
        return 1;
    const std::wstring progIdKey = std::wstring(L"Software\\Classes\\") + kProgId;
    const std::wstring classKey = kClassKey;
    LSTATUS status = SetText(progIdKey, nullptr, L"Stand-in automation host");
    if (status == ERROR_SUCCESS)
        status = SetText(progIdKey + L"\\CLSID", nullptr, kStandinClassId);
    if (status == ERROR_SUCCESS)
        status = SetText(classKey, nullptr, L"Stand-in automation host");
    if (status == ERROR_SUCCESS)
        status = SetText(classKey + L"\\LocalServer32", nullptr, L"\"" + std::wstring(exe) + L"\"");
    if (status == ERROR_SUCCESS)
        status = SetText(classKey + L"\\ProgID", nullptr, kProgId);
    return status == ERROR_SUCCESS ? 0 : 1;
}

int Unregister()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + kProgId).c_str());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    return 0;
}

// COM starts a local server from the client process, so the parent is the client. Wine does
// not release what a client held when it ends, so the host watches the client itself.
HANDLE OpenClient(std::wstring& name)
{
    name = L"none";
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return nullptr;
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry))
    {
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    }
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more && parent != 0;
         more = ::Process32NextW(snapshot.Get(), &entry))
    {
        if (entry.th32ProcessID == parent)
        {
            name = entry.szExeFile;
            return ::OpenProcess(SYNCHRONIZE, FALSE, parent);
        }
    }
    return nullptr;
}

// The one class factory: static, and each CreateInstance makes a new application object.
class Factory : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        HRESULT hr = outer != nullptr ? CLASS_E_NOAGGREGATION : g_scenario.creationFailure;
        if (SUCCEEDED(hr))
            hr = CreateApplication(riid, object);
        Journal(std::wstring(L"factory create -> ") + (SUCCEEDED(hr) ? L"obj:app" : L"fail:" + HexResult(hr)));
        if (FAILED(hr))
        {
            g_endReason = L"refused";
            ::PostQuitMessage(0);
        }
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        Journal(lock ? L"factory lock" : L"factory unlock");
        return S_OK;
    }
};
Factory g_factory;

// Serves calls until the host has a reason to end, and returns it.
const wchar_t* ServeUntilEnd(HANDLE client)
{
    const ULONGLONG deadline = ::GetTickCount64() + kLifeBound;
    for (;;)
    {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        {
            if (message.message == WM_QUIT)
                return g_endReason != nullptr ? g_endReason : L"released";
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (g_endReason != nullptr)
            return g_endReason;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return L"timeout";
        const DWORD waited = ::MsgWaitForMultipleObjectsEx(client != nullptr ? 1 : 0, &client,
                                                           static_cast<DWORD>(deadline - now),
                                                           QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (client != nullptr && waited == WAIT_OBJECT_0)
            return L"client-gone";
    }
}

// Whether the command line holds text, in any letter case.
bool CommandLineHolds(const wchar_t* text)
{
    const std::wstring line = ::GetCommandLineW();
    const int size = static_cast<int>(wcslen(text));
    for (size_t at = 0; at + size <= line.size(); ++at)
    {
        if (::CompareStringOrdinal(line.c_str() + at, size, text, size, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

int Serve()
{
    ComApartment apartment;
    if (FAILED(apartment.Result()))
        return 1;
    const int instance = TakeInstanceNumber();
    const bool office = LaidAsOffice();
    LoadScenario(instance, g_scenario, office ? OfficeFolders() : Folders());
    std::wstring clientName;
    Handle client(OpenClient(clientName));
    Journal(L"host start client=" + clientName);
    if (office)
        ReadAddInList(g_scenario);
    // The user's own Excel: COM starts another for each client ("Excel.Application" is single use).
    if (office && !CommandLineHolds(L"/automation"))
        g_scenario.registers = false;
    // A file in use: others may read it but not delete it until this process ends.
    std::vector<std::unique_ptr<Handle>> inUse;
    for (const std::wstring& path : g_scenario.heldFiles)
    {
        inUse.push_back(std::make_unique<Handle>(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                              nullptr, OPEN_EXISTING, 0, nullptr)));
        Journal(L"host hold " + path + (inUse.back()->IsValid() ? L"" : L" failed"));
    }
    if (!g_scenario.registers && office)
    {
        Journal(L"host user");
        Journal(std::wstring(L"host end ") + ServeUntilEnd(nullptr));
        ::ExitProcess(0);
    }
    if (!g_scenario.registers)
    {
        Journal(L"host end unregistered");
        return 0;
    }
    DWORD cookie = 0;
    const HRESULT hr = ::CoRegisterClassObject(CLSID_StandinApplication, &g_factory,
                                               CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie);
    Journal(SUCCEEDED(hr) ? L"host registered" : L"host register fail:" + HexResult(hr));
    if (FAILED(hr))
        return 1;
    const wchar_t* reason = ServeUntilEnd(client.Get());
    const std::wstring held = LiveObjects();
    // Asked to quit, it closes: it takes its time, then writes its add-in list back.
    if (g_quitAsked && g_scenario.lingerSeconds > 0)
    {
        Journal(L"host linger " + std::to_wstring(g_scenario.lingerSeconds));
        ::Sleep(g_scenario.lingerSeconds * kSecond);
    }
    if (g_quitAsked && office)
        WriteAddInList(g_scenario);
    Journal(std::wstring(L"host end ") + reason + (held.empty() ? L"" : L" held=" + held));
    // End like a process whose client has gone: what is still held is not released one by one.
    ::ExitProcess(0);
}
}  // namespace

void OnLastObjectGone()
{
    Journal(L"host lastref");
    if (g_endReason == nullptr)
        g_endReason = g_quitAsked ? L"quit" : L"released";
    ::PostQuitMessage(0);
}

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    const std::wstring verb = args != nullptr && count > 1 ? args[1] : L"";
    ::LocalFree(args);
    if (::CompareStringOrdinal(verb.c_str(), -1, L"/regserver", -1, TRUE) == CSTR_EQUAL)
        return Register();
    if (::CompareStringOrdinal(verb.c_str(), -1, L"/unregserver", -1, TRUE) == CSTR_EQUAL)
        return Unregister();
    if (::CompareStringOrdinal(verb.c_str(), -1, L"/regoffice", -1, TRUE) == CSTR_EQUAL)
        return RegisterAsOffice();
    return Serve();
}
