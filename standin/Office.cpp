// The host laid as Office installs Excel (/regoffice), and, so laid, Excel's own bookkeeping of
// its add-ins in the user's registry.
//
// Registration: "Excel.Application" names the class, whose LocalServer32 starts this image with
// /automation, and Click-to-Run's InstallRoot names this image's folder, as Office 16 registers
// Excel ("How to Determine the Path for an Office Application", KB 240794,
// https://support.microsoft.com/kb/240794: LocalServer32 "...\EXCEL.EXE" /automation). The image
// is then EXCEL.EXE in "C:\Program Files\Microsoft Office\root\Office16", laid by the test.
//
// Bookkeeping, when InstallRoot names this image's folder: at start, each value OPEN, OPEN1, ...
// of HKCU\Software\Microsoft\Office\16.0\Excel\Options names an installed add-in, opened in the
// order of its number, and each value of ...\Excel\Add-in Manager one listed in the Add-ins dialog
// box but not installed. Once asked to quit, as it closes, the host writes the list back: the
// installed ones as OPEN, OPEN1, ... with the text they were read with, the uninstalled ones under
// Add-in Manager. All of this rests on reading alone (pages by others on Excel's add-in keys; no
// Microsoft page we found describes these values): their text (switches such as /R before a
// quoted path), their numbering, and that Excel writes them as it closes.
#include "standin/Host.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace
{
constexpr wchar_t kVersion[] = L"16.0";
constexpr wchar_t kUserExcel[] = L"Software\\Microsoft\\Office\\16.0\\Excel\\";
// Click-to-Run's copy of the machine's keys, in the 64-bit view; a 32-bit Office's under Wow6432Node.
constexpr wchar_t kClickToRun[] = L"SOFTWARE\\Microsoft\\Office\\ClickToRun\\REGISTRY\\MACHINE\\Software\\";
constexpr DWORD kValueChars = 2048;
constexpr int kDecimal = 10;

std::wstring InstallRootKey()
{
    const wchar_t* const wow = sizeof(void*) == 4 ? L"Wow6432Node\\" : L"";
    return std::wstring(kClickToRun) + wow + L"Microsoft\\Office\\" + kVersion + L"\\Excel\\InstallRoot";
}

// This image's folder, with its final backslash.
std::wstring OwnFolder()
{
    wchar_t exe[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring path(exe, length);
    return path.substr(0, path.rfind(L'\\') + 1);
}

LSTATUS SetText(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& text,
                REGSAM view = 0)
{
    HKEY opened = nullptr;
    LSTATUS status = ::RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                       &opened, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = ::RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    ::RegCloseKey(opened);
    return status;
}

// The number of an OPEN value's name (OPEN is 0, OPEN1 is 1, any letter case), or -1 for any other name.
long OpenNumber(const std::wstring& name)
{
    constexpr size_t kPrefix = 4;
    if (name.size() < kPrefix || ::CompareStringOrdinal(name.c_str(), kPrefix, L"OPEN", kPrefix, TRUE) != CSTR_EQUAL)
        return -1;
    if (!std::all_of(name.begin() + kPrefix, name.end(), [](wchar_t c) { return std::iswdigit(c) != 0; }))
        return -1;
    return name.size() == kPrefix ? 0 : wcstol(name.c_str() + kPrefix, nullptr, kDecimal);
}

// The add-in an OPEN value names: its switches (/R, ...) passed over, the path in its quotes.
std::wstring NamedPath(const std::wstring& text)
{
    size_t at = text.find_first_not_of(L' ');
    while (at != std::wstring::npos && text[at] == L'/')
        at = text.find_first_not_of(L' ', text.find(L' ', at));
    if (at == std::wstring::npos)
        return {};
    if (text[at] != L'"')
        return text.substr(at);
    const size_t end = text.find(L'"', at + 1);
    return text.substr(at + 1, end == std::wstring::npos ? std::wstring::npos : end - at - 1);
}

// Every text value of a user's key, as (name, text), in the key's order.
std::vector<std::pair<std::wstring, std::wstring>> TextValues(const std::wstring& key)
{
    std::vector<std::pair<std::wstring, std::wstring>> values;
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[kValueChars];
        wchar_t text[kValueChars];
        DWORD nameChars = kValueChars;
        DWORD bytes = sizeof text - sizeof(wchar_t);
        DWORD type = 0;
        const LSTATUS status = ::RegEnumValueW(opened, index, name, &nameChars, nullptr, &type,
                                               reinterpret_cast<BYTE*>(text), &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        values.emplace_back(std::wstring(name, nameChars), std::wstring(text, wcsnlen(text, bytes / sizeof(wchar_t))));
    }
    ::RegCloseKey(opened);
    return values;
}

Item KeptAddIn(const std::wstring& path, bool installed)
{
    Item item;
    item.fullName = Answers({Value{Value::Text, path}});
    item.installed = installed;
    item.keptName = path;
    return item;
}

// "host VERB NAME=TEXT"
std::wstring ValueLine(const wchar_t* verb, const std::wstring& name, const std::wstring& text)
{
    std::wstring line = L"host ";
    line += verb;
    line += L' ';
    line += name;
    line += L'=';
    line += text;
    return line;
}
}  // namespace

int RegisterAsOffice()
{
    wchar_t exe[MAX_PATH];
    if (::GetModuleFileNameW(nullptr, exe, MAX_PATH) == 0)
        return 1;
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring classKey = classes + L"CLSID\\" + kStandinClassId;
    LSTATUS status = SetText(HKEY_LOCAL_MACHINE, classes + L"Excel.Application", nullptr, L"Microsoft Excel Application");
    if (status == ERROR_SUCCESS)
        status = SetText(HKEY_LOCAL_MACHINE, classes + L"Excel.Application\\CLSID", nullptr, kStandinClassId);
    if (status == ERROR_SUCCESS)
        status = SetText(HKEY_LOCAL_MACHINE, classKey, nullptr, L"Microsoft Excel Application");
    if (status == ERROR_SUCCESS)
        status = SetText(HKEY_LOCAL_MACHINE, classKey + L"\\LocalServer32", nullptr,
                         L"\"" + std::wstring(exe) + L"\" /automation");
    if (status == ERROR_SUCCESS)
        status = SetText(HKEY_LOCAL_MACHINE, classKey + L"\\ProgID", nullptr, L"Excel.Application");
    if (status == ERROR_SUCCESS)
        status = SetText(HKEY_LOCAL_MACHINE, InstallRootKey(), L"Path", OwnFolder(), KEY_WOW64_64KEY);
    return status == ERROR_SUCCESS ? 0 : 1;
}

bool LaidAsOffice()
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, InstallRootKey().c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        &opened) != ERROR_SUCCESS)
        return false;
    wchar_t path[MAX_PATH];
    DWORD bytes = sizeof path;
    const LSTATUS status = ::RegGetValueW(opened, nullptr, L"Path", RRF_RT_REG_SZ, nullptr, path, &bytes);
    ::RegCloseKey(opened);
    return status == ERROR_SUCCESS && ::CompareStringOrdinal(path, -1, OwnFolder().c_str(), -1, TRUE) == CSTR_EQUAL;
}

Folders OfficeFolders()
{
    wchar_t appData[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
    Folders folders;
    folders.startup = std::wstring(appData, length < MAX_PATH ? length : 0) + L"\\Microsoft\\Excel\\XLSTART";
    folders.library = OwnFolder() + L"LIBRARY";
    return folders;
}

void ReadAddInList(Scenario& scenario)
{
    auto open = TextValues(std::wstring(kUserExcel) + L"Options");
    open.erase(std::remove_if(open.begin(), open.end(), [](const auto& v) { return OpenNumber(v.first) < 0; }),
               open.end());
    std::stable_sort(open.begin(), open.end(),
                     [](const auto& a, const auto& b) { return OpenNumber(a.first) < OpenNumber(b.first); });
    for (const auto& [name, text] : open)
    {
        Journal(ValueLine(L"read", name, text));
        scenario.items.push_back(KeptAddIn(NamedPath(text), true));
        scenario.items.back().openText = text;
    }
    for (const auto& [name, text] : TextValues(std::wstring(kUserExcel) + L"Add-in Manager"))
    {
        Journal(L"host read Add-in Manager " + name);
        scenario.items.push_back(KeptAddIn(name, false));
    }
}

void WriteAddInList(const Scenario& scenario)
{
    const std::wstring options = std::wstring(kUserExcel) + L"Options";
    const std::wstring manager = std::wstring(kUserExcel) + L"Add-in Manager";
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, options.c_str(), 0, KEY_SET_VALUE, &opened) == ERROR_SUCCESS)
    {
        for (const auto& [name, text] : TextValues(options))
        {
            if (OpenNumber(name) >= 0 && ::RegDeleteValueW(opened, name.c_str()) == ERROR_SUCCESS)
                Journal(L"host deleted " + name);
        }
        ::RegCloseKey(opened);
    }
    int number = 0;
    for (const Item& item : scenario.items)
    {
        if (item.keptName.empty())
            continue;
        const std::wstring& path = item.keptName;
        if (item.installed)
        {
            const std::wstring name = number == 0 ? L"OPEN" : L"OPEN" + std::to_wstring(number);
            const std::wstring text = item.openText.empty() ? L"\"" + path + L"\"" : item.openText;
            ++number;
            if (SetText(HKEY_CURRENT_USER, options, name.c_str(), text) == ERROR_SUCCESS)
                Journal(ValueLine(L"wrote", name, text));
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, manager.c_str(), path.c_str());
        }
        else if (SetText(HKEY_CURRENT_USER, manager, path.c_str(), L"") == ERROR_SUCCESS)
            Journal(L"host wrote Add-in Manager " + path);
    }
}
