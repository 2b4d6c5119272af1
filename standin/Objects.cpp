// The host's objects: the application, the workbook collection, the add-in collection with its
// enumerator, and the add-ins. Each answers its own members and nothing else, journals every call,
// and answers as the scenario says.
#include "standin/Host.h"

#include <algorithm>
#include <iterator>
#include <map>

Scenario g_scenario;
bool g_quitAsked = false;

namespace
{
// Set once "Add" has succeeded: until then the instance has no workbook open.
bool g_workbookAdded = false;

// The objects alive in this host, in creation order. When the last goes, the host ends.
struct LiveObject
{
    const void* object;
    std::wstring name;
};
std::vector<LiveObject> g_live;

void Born(const void* object, const std::wstring& name) { g_live.push_back({object, name}); }

void Died(const void* object)
{
    const auto it = std::find_if(g_live.begin(), g_live.end(),
                                 [object](const LiveObject& live) { return live.object == object; });
    if (it != g_live.end())
    {
        Journal(it->name + L" released");
        g_live.erase(it);
    }
    if (g_live.empty())
        OnLastObjectGone();
}

struct Member
{
    const wchar_t* name;  // nullptr: reached by its DISPID only
    DISPID id;
    WORD access;  // the DISPATCH_ flags it answers to
};

constexpr WORD kRead = DISPATCH_PROPERTYGET;
constexpr WORD kWrite = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD;

// Excel's own answer to a call it refuses (its run-time error 1004), as the scode of EXCEPINFO.
constexpr SCODE kRefusedCall = static_cast<SCODE>(0x800A03EC);

std::wstring Lcid(LCID lcid)
{
    constexpr int kDigits = 4;
    return Hex(lcid, kDigits);
}

std::wstring Verb(WORD flags)
{
    std::wstring verb;
    const struct { WORD flag; const wchar_t* name; } names[] = {
        {DISPATCH_METHOD, L"call"}, {DISPATCH_PROPERTYGET, L"get"},
        {DISPATCH_PROPERTYPUT, L"put"}, {DISPATCH_PROPERTYPUTREF, L"putref"}};
    for (const auto& n : names)
    {
        if (flags & n.flag)
            verb += (verb.empty() ? L"" : L"+") + std::wstring(n.name);
    }
    return verb.empty() ? L"none" : verb;
}

// A call's arguments as the journal shows them: " args=V,V" first to last, " named=D,D".
std::wstring Arguments(const DISPPARAMS& call)
{
    std::wstring text;
    if (call.cArgs > 0)
    {
        text += L" args=";
        // Arguments arrive last to first.
        for (UINT i = call.cArgs; i-- > 0;)
            text += DescribeVariant(call.rgvarg[i]) + (i ? L"," : L"");
    }
    if (call.cNamedArgs > 0)
    {
        text += L" named=";
        for (UINT i = 0; i < call.cNamedArgs; ++i)
            text += std::to_wstring(call.rgdispidNamedArgs[i]) + (i + 1 < call.cNamedArgs ? L"," : L"");
    }
    return text;
}

// Explains a refused call as the real host does, in the caller's EXCEPINFO.
void Refuse(EXCEPINFO& exception)
{
    exception = EXCEPINFO();
    exception.bstrSource = ::SysAllocString(L"Stand-in host");
    exception.bstrDescription = ::SysAllocString(L"The host refuses this call.");
    exception.scode = kRefusedCall;
}

class Object : public IDispatch
{
public:
    Object(std::wstring name, const Member* members, size_t count)
        : name_(std::move(name)), members_(members), count_(count)
    {
        Born(this, name_);
    }
    virtual ~Object() { Died(this); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const std::wstring& Name() const { return name_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch)
            return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        Journal(name_ + L" typeinfocount");
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT /*index*/, LCID /*lcid*/, ITypeInfo** info) override
    {
        Journal(name_ + L" typeinfo");
        if (info != nullptr)
            *info = nullptr;
        return DISP_E_BADINDEX;
    }

    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): IDispatch's own signature
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override
    {
        if (names == nullptr || ids == nullptr || count == 0)
            return E_INVALIDARG;
        std::wstring line = name_ + L" names ";
        for (UINT i = 0; i < count; ++i)
            line += (i ? L"," : L"") + std::wstring(names[i] ? names[i] : L"(null)");
        line += L" lcid=" + Lcid(lcid) + L" -> ";
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        const std::wstring asked = names[0] ? names[0] : L"";
        HRESULT busy = BusyAnswer(g_scenario, L"names:" + asked);
        if (busy == S_OK)
            busy = BusyAnswer(g_scenario, L"names");
        if (busy != S_OK)
        {
            Journal(line + L"busy:" + HexResult(busy));
            return busy;
        }
        // Only the member's own name resolves; names after the first would be argument names,
        // and no member here takes arguments.
        const Member* member = names[0] ? Find(names[0]) : nullptr;
        HRESULT hr = member != nullptr && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        if (member != nullptr)
        {
            ids[0] = member->id;
            spelled_[member->id] = names[0];
        }
        if (riid != IID_NULL)
            hr = DISP_E_UNKNOWNINTERFACE;
        Journal(line + (SUCCEEDED(hr) ? std::to_wstring(ids[0]) : L"unknown"));
        return hr;
    }

    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): IDispatch's own signature
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override
    {
        DISPPARAMS none = {};
        const DISPPARAMS& call = params != nullptr ? *params : none;
        const std::wstring line = name_ + L" " + Verb(flags) + L" " + Spelling(id) + L" lcid=" +
                                  Lcid(lcid) + Arguments(call);
        if (argumentError != nullptr)
            *argumentError = 0;

        const Member* member = Find(id);
        // A busy host turns the call away before it looks at it.
        const HRESULT busy = member == nullptr ? S_OK
            : BusyAnswer(g_scenario, member->name != nullptr ? member->name : L"_NewEnum");
        if (busy != S_OK)
        {
            Journal(line + L" -> busy:" + HexResult(busy));
            return busy;
        }
        Variant answer;
        std::wstring described = L"ok";
        note_.clear();
        const HRESULT hr = riid != IID_NULL ? DISP_E_UNKNOWNINTERFACE
                                            : Perform(member, flags, call, answer.Get(), described);
        Journal(line + L" -> " + (SUCCEEDED(hr) ? described : L"fail:" + HexResult(hr)));
        if (!note_.empty())
            Journal(note_);
        if (hr == DISP_E_EXCEPTION && exception != nullptr)
            Refuse(*exception);
        if (SUCCEEDED(hr) && result != nullptr)
        {
            ::VariantClear(result);
            *result = answer.Get();
            ::VariantInit(&answer.Get());  // handed to the caller
        }
        return hr;
    }

protected:
    // A read or a call with no arguments: fills value and how the journal shows it.
    virtual HRESULT Answer(DISPID /*id*/, VARIANT& /*value*/, std::wstring& /*described*/)
    {
        return DISP_E_MEMBERNOTFOUND;
    }
    virtual HRESULT Write(DISPID /*id*/, const VARIANT& /*given*/) { return DISP_E_MEMBERNOTFOUND; }
    // A line the journal gets after the call's own.
    void Note(const std::wstring& text) { note_ = text; }

private:
    // A call that no busy answer turned away, for an interface the host knows.
    HRESULT Perform(const Member* member, WORD flags, const DISPPARAMS& call, VARIANT& answer,
                    std::wstring& described)
    {
        if (member == nullptr || (flags & member->access) == 0)
            return DISP_E_MEMBERNOTFOUND;
        if (flags & DISPATCH_PROPERTYPUT)
        {
            if (call.cArgs != 1)
                return DISP_E_BADPARAMCOUNT;
            if (call.cNamedArgs != 1 || call.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_PARAMNOTOPTIONAL;
            return Write(member->id, call.rgvarg[0]);
        }
        if (call.cArgs != 0)
            return DISP_E_BADPARAMCOUNT;
        return Answer(member->id, answer, described);
    }
    // The member as the client last spelled it, or #DISPID.
    std::wstring Spelling(DISPID id) const
    {
        const auto spelling = spelled_.find(id);
        return spelling != spelled_.end() ? spelling->second : L"#" + std::to_wstring(id);
    }
    // Case-insensitive, as the real host matches member names.
    const Member* Find(const wchar_t* name) const
    {
        for (size_t i = 0; i < count_; ++i)
        {
            if (members_[i].name != nullptr &&
                ::CompareStringOrdinal(members_[i].name, -1, name, -1, TRUE) == CSTR_EQUAL)
                return &members_[i];
        }
        return nullptr;
    }
    const Member* Find(DISPID id) const
    {
        for (size_t i = 0; i < count_; ++i)
        {
            if (members_[i].id == id)
                return &members_[i];
        }
        return nullptr;
    }

    ULONG refs_ = 1;
    std::wstring name_;
    std::wstring note_;
    const Member* members_;
    size_t count_;
    std::map<DISPID, std::wstring> spelled_;
};

// Hands a new object (which starts with one reference) out as a variant.
void HandOut(Object* object, VARIANT& value, std::wstring& described)
{
    value.vt = VT_DISPATCH;
    value.pdispVal = object;
    described = L"obj:" + object->Name();
}

class Plain : public Object
{
public:
    explicit Plain(const wchar_t* name) : Object(name, nullptr, 0) {}
};

// Fills value from what the scenario says; makeOwn makes the member's own object.
template <class MakeOwn>
HRESULT Produce(const Value& given, VARIANT& value, std::wstring& described, MakeOwn makeOwn)
{
    switch (given.kind)
    {
    case Value::Failure: return given.failure;
    case Value::Text:
        value.vt = VT_BSTR;
        value.bstrVal = ::SysAllocStringLen(given.text.data(), static_cast<UINT>(given.text.size()));
        if (value.bstrVal == nullptr)
            return E_OUTOFMEMORY;
        break;
    case Value::Int: value.vt = VT_I4; value.lVal = given.number; break;
    case Value::Real: value.vt = VT_R8; value.dblVal = given.real; break;
    case Value::Boolean: value.vt = VT_BOOL; value.boolVal = static_cast<VARIANT_BOOL>(given.number); break;
    case Value::Null: value.vt = VT_NULL; break;
    case Value::Empty: value.vt = VT_EMPTY; break;
    case Value::Nothing: value.vt = VT_DISPATCH; value.pdispVal = nullptr; break;
    case Value::Dummy: HandOut(new Plain(L"dummy"), value, described); return S_OK;
    case Value::Natural: return makeOwn(value, described);
    }
    described = DescribeVariant(value);
    return S_OK;
}

HRESULT OwnDummy(VARIANT& value, std::wstring& described)
{
    HandOut(new Plain(L"dummy"), value, described);
    return S_OK;
}

// --- Add-ins ---

enum : DISPID { kFullName = 1, kInstalled = 2 };
const Member kAddInMembers[] = {{L"fullname", kFullName, kRead}, {L"installed", kInstalled, kRead | kWrite}};

class AddIn : public Object
{
public:
    explicit AddIn(size_t index)
        : Object(L"addin" + std::to_wstring(index + 1), kAddInMembers, std::size(kAddInMembers)), index_(index) {}

protected:
    HRESULT Answer(DISPID id, VARIANT& value, std::wstring& described) override
    {
        Item& item = g_scenario.items[index_];
        if (id == kFullName)
            return Produce(item.fullName.Next(), value, described, OwnDummy);
        value.vt = VT_BOOL;
        value.boolVal = item.installed ? VARIANT_TRUE : VARIANT_FALSE;
        described = DescribeVariant(value);
        return S_OK;
    }
    HRESULT Write(DISPID /*id*/, const VARIANT& given) override
    {
        Item& item = g_scenario.items[index_];
        if (FAILED(item.installedWriteFailure))
            return item.installedWriteFailure;
        // Like the real host: no add-in is installed or uninstalled while no workbook is open.
        if (!g_workbookAdded)
            return DISP_E_EXCEPTION;
        Variant flag;
        if (FAILED(::VariantChangeType(&flag.Get(), const_cast<VARIANT*>(&given), 0, VT_BOOL)))
            return DISP_E_TYPEMISMATCH;
        const bool installed = flag.Get().boolVal != VARIANT_FALSE;
        if (installed != item.installed)
            Note(Name() + (installed ? L" installed" : L" uninstalled"));
        item.installed = installed;
        return S_OK;
    }

private:
    size_t index_;
};

// --- The add-in collection and its enumerator ---

class Enumerator : public IEnumVARIANT
{
public:
    explicit Enumerator(size_t position) : position_(position) { Born(this, L"enum"); }
    virtual ~Enumerator() { Died(this); }
    Enumerator(const Enumerator&) = delete;
    Enumerator& operator=(const Enumerator&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumVARIANT)
            return E_NOINTERFACE;
        *object = static_cast<IEnumVARIANT*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    // Fetches up to count items; S_FALSE when fewer than asked were fetched.
    STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override
    {
        std::wstring line = L"enum next celt=" + std::to_wstring(count) + L" -> ";
        if (items == nullptr || (fetched == nullptr && count != 1))
        {
            Journal(line + L"fail:" + HexResult(E_POINTER));
            return E_POINTER;
        }
        const HRESULT busy = BusyAnswer(g_scenario, L"next");
        if (busy != S_OK)
        {
            if (fetched != nullptr)
                *fetched = 0;
            Journal(line + L"busy:" + HexResult(busy) + L" fetched=0");
            return busy;
        }
        ULONG got = 0;
        std::wstring described;
        ++calls_;
        HRESULT hr = S_OK;
        if (calls_ == g_scenario.failingNext)
            hr = g_scenario.nextFailure;
        while (SUCCEEDED(hr) && got < count && position_ < g_scenario.items.size())
        {
            Item& item = g_scenario.items[position_];
            VARIANT& value = items[got];
            ::VariantInit(&value);
            std::wstring one;
            if (item.isAddIn)
                HandOut(new AddIn(position_), value, one);
            else if (FAILED(Produce(item.notAnObject, value, one, OwnDummy)))
                value.vt = VT_EMPTY, one = L"empty";
            described += L" " + one;
            ++got;
            ++position_;
        }
        if (SUCCEEDED(hr))
            hr = got == count ? S_OK : S_FALSE;
        if (fetched != nullptr)
            *fetched = got;
        line += hr == S_OK ? L"S_OK" : hr == S_FALSE ? L"S_FALSE" : L"fail:" + HexResult(hr);
        Journal(line + L" fetched=" + std::to_wstring(got) + described);
        return hr;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        const size_t size = g_scenario.items.size();
        const bool enough = position_ + count <= size;
        position_ = enough ? position_ + count : size;
        Journal(L"enum skip " + std::to_wstring(count));
        return enough ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        position_ = 0;
        Journal(L"enum reset");
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumVARIANT** copy) override
    {
        Journal(L"enum clone");
        if (copy == nullptr)
            return E_POINTER;
        *copy = new Enumerator(position_);
        return S_OK;
    }

private:
    ULONG refs_ = 1;
    size_t position_;
    ULONG calls_ = 0;
};

const Member kAddInsMembers[] = {{nullptr, DISPID_NEWENUM, kRead | kCall}};

class AddIns : public Object
{
public:
    AddIns() : Object(L"addins", kAddInsMembers, std::size(kAddInsMembers)) {}

protected:
    HRESULT Answer(DISPID /*id*/, VARIANT& value, std::wstring& described) override
    {
        return Produce(g_scenario.newEnum.Next(), value, described,
                       [](VARIANT& own, std::wstring& text) {
                           own.vt = VT_UNKNOWN;
                           own.punkVal = new Enumerator(0);
                           text = L"unk:enum";
                           return S_OK;
                       });
    }
};

// --- Workbooks ---

const Member kBooksMembers[] = {{L"Add", 1, kCall}};

class Books : public Object
{
public:
    Books() : Object(L"books", kBooksMembers, std::size(kBooksMembers)) {}

protected:
    HRESULT Answer(DISPID /*id*/, VARIANT& value, std::wstring& described) override
    {
        const HRESULT hr = Produce(g_scenario.add.Next(), value, described,
                                   [](VARIANT& own, std::wstring& text) {
                                       HandOut(new Plain(L"book"), own, text);
                                       return S_OK;
                                   });
        if (SUCCEEDED(hr))
            g_workbookAdded = true;
        return hr;
    }
};

// --- The application ---

enum : DISPID { kStartupPath = 1, kLibraryPath, kWorkbooks, kAddins, kQuit };
const Member kApplicationMembers[] = {
    {L"StartupPath", kStartupPath, kRead}, {L"LibraryPath", kLibraryPath, kRead},
    {L"Workbooks", kWorkbooks, kRead},     {L"addins", kAddins, kRead},
    {L"quit", kQuit, kCall}};

class Application : public Object
{
public:
    Application() : Object(L"app", kApplicationMembers, std::size(kApplicationMembers)) {}

protected:
    HRESULT Answer(DISPID id, VARIANT& value, std::wstring& described) override
    {
        switch (id)
        {
        case kStartupPath: return Produce(g_scenario.startupPath.Next(), value, described, OwnDummy);
        case kLibraryPath: return Produce(g_scenario.libraryPath.Next(), value, described, OwnDummy);
        case kWorkbooks:
            return Produce(g_scenario.workbooks.Next(), value, described,
                           [](VARIANT& own, std::wstring& text) {
                               HandOut(new Books, own, text);
                               return S_OK;
                           });
        case kAddins:
            return Produce(g_scenario.addins.Next(), value, described,
                           [](VARIANT& own, std::wstring& text) {
                               HandOut(new AddIns, own, text);
                               return S_OK;
                           });
        default:
        {
            const HRESULT hr = Produce(g_scenario.quit.Next(), value, described,
                                       [](VARIANT&, std::wstring& text) {
                                           text = L"ok";
                                           return S_OK;
                                       });
            // Like the real host, a quitting instance still answers until it is released.
            if (SUCCEEDED(hr))
                g_quitAsked = true;
            return hr;
        }
        }
    }
};
}  // namespace

HRESULT CreateApplication(REFIID riid, void** object)
{
    // The new object's own reference is dropped once the caller has asked for its interface.
    Application* application = new Application;
    const HRESULT hr = application->QueryInterface(riid, object);
    application->Release();
    return hr;
}

std::wstring LiveObjects()
{
    std::wstring names;
    for (const LiveObject& live : g_live)
        names += (names.empty() ? L"" : L",") + live.name;
    return names;
}
