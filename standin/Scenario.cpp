// The scenario: C:\standin\scenario.txt, UTF-8, one setting a line, "#" starts a comment line.
//   INSTANCE KEY VALUE        INSTANCE is the instance number (1, 2, ...) or * for every one
// Keys and what VALUE may be:
//   create        fail:XXXXXXXX (the class factory refuses) | noregister (the host never registers)
//   StartupPath, LibraryPath, Workbooks, Add, addins, _NewEnum, quit    ANSWERS
//   addin         ANSWERS for "fullname": appends an add-in to the collection
//   addin.put     fail:XXXXXXXX: writing "installed" of the last add-in fails
//   item          VALUE: appends an entry that is not an add-in object
//   next          K fail:XXXXXXXX: the K-th call of the enumerator's Next fails
//   hold          PATH: the host keeps that file open while it runs, so it cannot be deleted
//   linger        SECONDS: once asked to quit, the host takes that long to close after its last
//                 release, as an Excel still closing does
//   busy          MEMBER N XXXXXXXX | MEMBER forever XXXXXXXX: the first N calls of MEMBER in
//                 this instance (or all of them) are turned away as a busy host turns them away:
//                 the call returns XXXXXXXX (80010001, 8001010A or 800AC472) and does nothing.
//                 MEMBER: StartupPath, LibraryPath, Workbooks, Add, addins, _NewEnum, fullname,
//                 installed, quit; "names" for the name lookup of any member, "names:NAME" for
//                 the lookup of one name (any case); "next" for the enumerator's Next. A busy
//                 answer is no call of the member for any other key (e.g. "next K").
// ANSWERS is one VALUE or several joined by " | ": the n-th read answers with the n-th.
// VALUE: str:TEXT (to the end; <NUL> stands for a NUL), i4:N, r8:X, bool:N, null, empty,
// nothing (a null object), object (the member's own object, e.g. the workbook collection),
// dummy (an object with no members), fail:XXXXXXXX (the call fails with that HRESULT).
// Unset members answer with their own object, "quit" and "Add" succeed, StartupPath is
// C:\excel\xlstart and LibraryPath C:\excel\library, and the collection is empty (laid as Office
// lays Excel, the folders are Excel's and the collection holds the user's add-ins: Office.cpp).
// As in the real host, writing "installed" fails (80020009, scode 800A03EC) until a call of
// "Add" has succeeded in the instance: an add-in is not uninstalled while no workbook is open.
#include "standin/Host.h"

#include <cwchar>
#include <optional>
#include <string_view>

namespace
{
constexpr int kDecimal = 10;
constexpr int kHexadecimal = 16;
constexpr DWORD kReadChunk = 4096;
// What joins the answers of one member, and what stands for a NUL in a text.
constexpr std::wstring_view kAnswerBar = L" | ";
constexpr std::wstring_view kNul = L"<NUL>";

std::wstring ReadText(const std::wstring& path)
{
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return {};
    std::string bytes;
    char buffer[kReadChunk];
    DWORD count = 0;
    while (::ReadFile(file.Get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
        bytes.append(buffer, count);
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    std::wstring text(size, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

// What follows prefix in text, when text starts with it.
std::optional<std::wstring> After(const std::wstring& text, std::wstring_view prefix)
{
    if (text.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    return text.substr(prefix.size());
}

Value ParseValue(const std::wstring& given)
{
    Value value;
    if (const auto text = After(given, L"str:"))
    {
        value.kind = Value::Text;
        value.text = *text;
        for (size_t at; (at = value.text.find(kNul)) != std::wstring::npos;)
            value.text.replace(at, kNul.size(), 1, L'\0');
    }
    else if (const auto number = After(given, L"i4:"))
    {
        value.kind = Value::Int;
        value.number = wcstol(number->c_str(), nullptr, kDecimal);
    }
    else if (const auto real = After(given, L"r8:"))
    {
        value.kind = Value::Real;
        value.real = wcstod(real->c_str(), nullptr);
    }
    else if (const auto flag = After(given, L"bool:"))
    {
        value.kind = Value::Boolean;
        value.number = wcstol(flag->c_str(), nullptr, kDecimal);
    }
    else if (const auto code = After(given, L"fail:"))
    {
        value.kind = Value::Failure;
        value.failure = static_cast<HRESULT>(wcstoul(code->c_str(), nullptr, kHexadecimal));
    }
    else if (given == L"null")
        value.kind = Value::Null;
    else if (given == L"empty")
        value.kind = Value::Empty;
    else if (given == L"nothing")
        value.kind = Value::Nothing;
    else if (given == L"dummy")
        value.kind = Value::Dummy;
    else
        value.kind = Value::Natural;
    return value;
}

Answers ParseAnswers(const std::wstring& given)
{
    std::vector<Value> values;
    size_t start = 0;
    for (size_t bar; (bar = given.find(kAnswerBar, start)) != std::wstring::npos; start = bar + kAnswerBar.size())
        values.push_back(ParseValue(given.substr(start, bar - start)));
    values.push_back(ParseValue(given.substr(start)));
    return Answers(std::move(values));
}

Answers Text(const std::wstring& text)
{
    Value value;
    value.kind = Value::Text;
    value.text = text;
    return Answers({value});
}
}  // namespace

const Value& Answers::Next()
{
    static const Value natural;
    if (values_.empty())
        return natural;
    const size_t at = reads_ < values_.size() ? reads_ : values_.size() - 1;
    ++reads_;
    return values_[at];
}

namespace
{
// A "busy" setting: MEMBER COUNT CODE.
void AddBusyRule(const std::wstring& value, Scenario& scenario)
{
    const size_t space1 = value.find(L' ');
    const size_t space2 = space1 == std::wstring::npos ? space1 : value.find(L' ', space1 + 1);
    if (space2 == std::wstring::npos)
        return;
    BusyRule rule;
    rule.target = value.substr(0, space1);
    const std::wstring count = value.substr(space1 + 1, space2 - space1 - 1);
    rule.times = count == L"forever" ? 0 : wcstoul(count.c_str(), nullptr, kDecimal);
    rule.answer = static_cast<HRESULT>(wcstoul(value.c_str() + space2 + 1, nullptr, kHexadecimal));
    if (count == L"forever" || rule.times > 0)
        scenario.busy.push_back(rule);
}

// One setting that applies to this instance.
void Apply(const std::wstring& key, const std::wstring& value, Scenario& scenario)
{
    if (key == L"create")
    {
        if (value == L"noregister")
            scenario.registers = false;
        else
            scenario.creationFailure = ParseValue(value).failure;
    }
    else if (key == L"StartupPath")
        scenario.startupPath = ParseAnswers(value);
    else if (key == L"LibraryPath")
        scenario.libraryPath = ParseAnswers(value);
    else if (key == L"Workbooks")
        scenario.workbooks = ParseAnswers(value);
    else if (key == L"Add")
        scenario.add = ParseAnswers(value);
    else if (key == L"addins")
        scenario.addins = ParseAnswers(value);
    else if (key == L"_NewEnum")
        scenario.newEnum = ParseAnswers(value);
    else if (key == L"quit")
        scenario.quit = ParseAnswers(value);
    else if (key == L"addin")
    {
        Item item;
        item.fullName = ParseAnswers(value);
        scenario.items.push_back(item);
    }
    else if (key == L"addin.put" && !scenario.items.empty())
        scenario.items.back().installedWriteFailure = ParseValue(value).failure;
    else if (key == L"item")
    {
        Item item;
        item.isAddIn = false;
        item.notAnObject = ParseValue(value);
        scenario.items.push_back(item);
    }
    else if (key == L"hold")
        scenario.heldFiles.push_back(value);
    else if (key == L"busy")
        AddBusyRule(value, scenario);
    else if (key == L"linger")
        scenario.lingerSeconds = wcstoul(value.c_str(), nullptr, kDecimal);
    else if (key == L"next")
    {
        const size_t space = value.find(L' ');
        scenario.failingNext = wcstoul(value.c_str(), nullptr, kDecimal);
        scenario.nextFailure =
            space == std::wstring::npos ? E_FAIL : ParseValue(value.substr(space + 1)).failure;
    }
}
}  // namespace

void LoadScenario(int instance, Scenario& scenario, const Folders& folders)
{
    scenario.startupPath = Text(folders.startup);
    scenario.libraryPath = Text(folders.library);
    const std::wstring text = ReadText(std::wstring(kStandinFolder) + L"\\scenario.txt");
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (line.empty() || line[0] == L'#')
            continue;
        const size_t space1 = line.find(L' ');
        const size_t space2 = space1 == std::wstring::npos ? space1 : line.find(L' ', space1 + 1);
        if (space2 == std::wstring::npos)
            continue;
        const std::wstring who = line.substr(0, space1);
        if (who == L"*" || _wtoi(who.c_str()) == instance)
            Apply(line.substr(space1 + 1, space2 - space1 - 1), line.substr(space2 + 1), scenario);
    }
}

HRESULT BusyAnswer(Scenario& scenario, const std::wstring& target)
{
    for (BusyRule& rule : scenario.busy)
    {
        if (::CompareStringOrdinal(rule.target.c_str(), -1, target.c_str(), -1, TRUE) != CSTR_EQUAL)
            continue;
        if (rule.times != 0 && rule.answered == rule.times)
            continue;
        ++rule.answered;
        return rule.answer;
    }
    return S_OK;
}
