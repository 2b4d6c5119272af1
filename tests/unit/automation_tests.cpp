// Late binding against hand-written automation objects: how members are looked up and invoked,
// which values count as texts and objects, the enumerator's contract, and reference counts.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace
{
struct Invocation
{
    DISPID member;
    LCID locale;
    WORD flags;
    UINT arguments;
    UINT namedArguments;
    DISPID firstNamed;
    VARTYPE argumentType;
    VARIANT_BOOL booleanArgument;
};

// An automation object with a fixed set of members, each returning a stored value or failing.
class FakeObject : public IDispatch
{
public:
    FakeObject() = default;
    ~FakeObject()
    {
        for (auto& member : values_)
            ::VariantClear(&member.second);
    }

    // Adds a member; the object keeps its own copy of value.
    DISPID Add(const std::wstring& name, const VARIANT& value)
    {
        const DISPID id = static_cast<DISPID>(ids_.size() + 1);
        ids_[Lower(name)] = id;
        ::VariantInit(&values_[id]);
        ::VariantCopy(&values_[id], const_cast<VARIANT*>(&value));
        return id;
    }
    DISPID AddText(const std::wstring& name, const wchar_t* text)
    {
        VARIANT value;
        value.vt = VT_BSTR;
        value.bstrVal = ::SysAllocString(text);
        const DISPID id = Add(name, value);
        ::VariantClear(&value);
        return id;
    }
    void Fail(const std::wstring& name, HRESULT failure) { failures_[ids_.at(Lower(name))] = failure; }
    void SetEnumerator(IUnknown* enumerator) { enumerator_ = enumerator; }

    LONG References() const { return references_; }
    const std::vector<std::wstring>& Lookups() const { return lookups_; }
    const std::vector<LCID>& LookupLocales() const { return lookupLocales_; }
    const std::vector<Invocation>& Invocations() const { return invocations_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch)
        {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        if (count != 1)
            return E_INVALIDARG;
        lookups_.push_back(names[0]);
        lookupLocales_.push_back(locale);
        auto found = ids_.find(Lower(names[0]));
        if (found == ids_.end())
        {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = found->second;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override
    {
        Invocation call = {member, locale, flags, params->cArgs, params->cNamedArgs, DISPID_UNKNOWN, VT_EMPTY, 0};
        if (params->cNamedArgs > 0)
            call.firstNamed = params->rgdispidNamedArgs[0];
        if (params->cArgs > 0)
        {
            call.argumentType = params->rgvarg[0].vt;
            call.booleanArgument = params->rgvarg[0].boolVal;
        }
        invocations_.push_back(call);
        if (member == DISPID_NEWENUM && enumerator_ != nullptr)
        {
            result->vt = VT_UNKNOWN;
            result->punkVal = enumerator_;
            enumerator_->AddRef();
            return S_OK;
        }
        auto failure = failures_.find(member);
        if (failure != failures_.end())
        {
            // The caller owns these texts and must free them.
            exception->bstrSource = ::SysAllocString(L"fake");
            exception->bstrDescription = ::SysAllocString(L"refused");
            exception->scode = failure->second;
            return DISP_E_EXCEPTION;
        }
        auto value = values_.find(member);
        if (value == values_.end())
            return DISP_E_MEMBERNOTFOUND;
        if (result != nullptr && (flags & DISPATCH_PROPERTYPUT) == 0)
            return ::VariantCopy(result, &value->second);
        return S_OK;
    }

private:
    static std::wstring Lower(std::wstring name)
    {
        for (wchar_t& c : name)
            c = static_cast<wchar_t>(towlower(c));
        return name;
    }

    LONG references_ = 1;
    std::map<std::wstring, DISPID> ids_;
    std::map<DISPID, VARIANT> values_;
    std::map<DISPID, HRESULT> failures_;
    IUnknown* enumerator_ = nullptr;
    std::vector<std::wstring> lookups_;
    std::vector<LCID> lookupLocales_;
    std::vector<Invocation> invocations_;
};

// An enumerator over fixed items that keeps IEnumVARIANT's contract: S_FALSE on a short fetch.
class FakeEnumerator : public IEnumVARIANT
{
public:
    // Takes the items over, with a reference of its own to each object among them.
    explicit FakeEnumerator(std::vector<VARIANT> items, size_t failAt = SIZE_MAX)
        : items_(std::move(items)), failAt_(failAt)
    {
        for (VARIANT& item : items_)
            if (item.vt == VT_DISPATCH && item.pdispVal != nullptr)
                item.pdispVal->AddRef();
    }
    ~FakeEnumerator()
    {
        for (VARIANT& item : items_)
            ::VariantClear(&item);
    }
    LONG References() const { return references_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IEnumVARIANT)
        {
            *out = static_cast<IEnumVARIANT*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override
    {
        ULONG given = 0;
        while (given < wanted && next_ < items_.size())
        {
            if (next_ == failAt_)
                return E_FAIL;
            ::VariantInit(&out[given]);
            ::VariantCopy(&out[given], &items_[next_++]);
            ++given;
        }
        if (fetched != nullptr)
            *fetched = given;
        return given == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

private:
    LONG references_ = 1;
    std::vector<VARIANT> items_;
    size_t failAt_;
    size_t next_ = 0;
};

VARIANT ObjectValue(IDispatch* object)
{
    VARIANT value;
    value.vt = VT_DISPATCH;
    value.pdispVal = object;
    return value;  // the holder copies it with VariantCopy, which takes its own reference
}

VARIANT NumberValue(LONG number)
{
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = number;
    return value;
}

VARIANT TypedValue(VARTYPE type)
{
    VARIANT value;
    ::VariantInit(&value);
    value.vt = type;
    return value;
}

class ComTest : public ::testing::Test
{
protected:
    ComApartment apartment_;
};
}  // namespace

TEST_F(ComTest, EveryCallLooksTheNameUpAfreshInEnglish)
{
    FakeObject app;
    app.AddText(L"StartupPath", L"C:\\Startup");
    Bstr text;
    ASSERT_EQ(S_OK, GetTextMember(&app, L"StartupPath", text));
    ASSERT_EQ(S_OK, GetTextMember(&app, L"startuppath", text));
    EXPECT_STREQ(L"C:\\Startup", text.Get());
    ASSERT_EQ((std::vector<std::wstring>{L"StartupPath", L"startuppath"}), app.Lookups());
    for (LCID locale : app.LookupLocales())
        EXPECT_EQ(0x0409u, locale);
    for (const Invocation& call : app.Invocations())
    {
        EXPECT_EQ(0x0409u, call.locale);
        EXPECT_EQ(DISPATCH_PROPERTYGET, call.flags);
        EXPECT_EQ(0u, call.arguments);
    }
}

TEST_F(ComTest, WritesPassTheValueAsTheNamedPutArgumentAndCallsPassNothing)
{
    FakeObject addIn;
    const DISPID installed = addIn.Add(L"installed", TypedValue(VT_BOOL));
    FakeObject app;
    const DISPID quit = app.AddText(L"quit", L"ignored result");

    VARIANT no = TypedValue(VT_BOOL);
    no.boolVal = VARIANT_FALSE;
    ASSERT_EQ(S_OK, SetMember(&addIn, L"installed", no));
    ASSERT_EQ(1u, addIn.Invocations().size());
    const Invocation& write = addIn.Invocations()[0];
    EXPECT_EQ(installed, write.member);
    EXPECT_EQ(DISPATCH_PROPERTYPUT, write.flags);
    EXPECT_EQ(1u, write.arguments);
    EXPECT_EQ(1u, write.namedArguments);
    EXPECT_EQ(DISPID_PROPERTYPUT, write.firstNamed);
    EXPECT_EQ(VT_BOOL, write.argumentType);
    EXPECT_EQ(VARIANT_FALSE, write.booleanArgument);

    ASSERT_EQ(S_OK, CallMember(&app, L"quit"));
    ASSERT_EQ(1u, app.Invocations().size());
    EXPECT_EQ(quit, app.Invocations()[0].member);
    EXPECT_EQ(DISPATCH_METHOD, app.Invocations()[0].flags);
    EXPECT_EQ(0u, app.Invocations()[0].arguments);
    EXPECT_EQ(0u, app.Invocations()[0].namedArguments);
}

TEST_F(ComTest, FailuresLeaveTheTargetAsItWas)
{
    FakeObject app;
    app.AddText(L"LibraryPath", L"C:\\Library");
    app.Fail(L"LibraryPath", E_ACCESSDENIED);
    Bstr text(::SysAllocString(L"before"));

    EXPECT_FALSE(SUCCEEDED(GetTextMember(&app, L"LibraryPath", text)));
    EXPECT_FALSE(SUCCEEDED(GetTextMember(&app, L"NoSuchMember", text)));
    EXPECT_FALSE(SUCCEEDED(GetTextMember(nullptr, L"LibraryPath", text)));
    EXPECT_FALSE(SUCCEEDED(CallMember(&app, L"quit")));
    EXPECT_STREQ(L"before", text.Get());
    // An unknown name is never invoked.
    EXPECT_EQ(1u, app.Invocations().size());
}

TEST_F(ComTest, OnlyTextsCountAsTextsAndObjectsAreNeverAskedForTheirDefaultValue)
{
    FakeObject folderObject;
    folderObject.AddText(L"", L"default member");  // would answer DISPID_VALUE if coerced
    FakeObject app;
    app.Add(L"number", NumberValue(42));
    app.Add(L"null", TypedValue(VT_NULL));
    app.Add(L"empty", TypedValue(VT_EMPTY));
    app.Add(L"object", ObjectValue(&folderObject));
    app.AddText(L"emptyText", L"");

    Bstr text(::SysAllocString(L"before"));
    for (const wchar_t* member : {L"number", L"null", L"empty", L"object"})
        EXPECT_EQ(DISP_E_TYPEMISMATCH, GetTextMember(&app, member, text)) << member;
    EXPECT_STREQ(L"before", text.Get());
    EXPECT_TRUE(folderObject.Invocations().empty());

    ASSERT_EQ(S_OK, GetTextMember(&app, L"emptyText", text));
    EXPECT_TRUE(text.IsEmpty());

    AutomationObject object;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, GetObjectMember(&app, L"number", object));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, GetObjectMember(&app, L"emptyText", object));
    EXPECT_FALSE(object);
}

TEST_F(ComTest, ObjectReadsHoldOneReferenceAndReleaseTheOldOne)
{
    FakeObject first;
    FakeObject second;
    FakeObject app;
    app.Add(L"first", ObjectValue(&first));
    app.Add(L"second", ObjectValue(&second));
    app.Add(L"nothing", ObjectValue(nullptr));
    const LONG firstHeldByApp = first.References();
    const LONG secondHeldByApp = second.References();
    {
        AutomationObject member;
        ASSERT_EQ(S_OK, GetObjectMember(&app, L"first", member));
        EXPECT_EQ(firstHeldByApp + 1, first.References());
        EXPECT_EQ(DISP_E_TYPEMISMATCH, GetObjectMember(&app, L"nothing", member));
        EXPECT_EQ(&first, member.Get());
        ASSERT_EQ(S_OK, GetObjectMember(&app, L"second", member));
        EXPECT_EQ(firstHeldByApp, first.References());
        EXPECT_EQ(&second, member.Get());
    }
    EXPECT_EQ(secondHeldByApp, second.References());
}

TEST_F(ComTest, WhatACallReturnsIsLetGo)
{
    FakeObject workbook;
    FakeObject workbooks;
    workbooks.Add(L"Add", ObjectValue(&workbook));
    const LONG heldByCollection = workbook.References();
    ASSERT_EQ(S_OK, CallMember(&workbooks, L"Add"));
    EXPECT_EQ(heldByCollection, workbook.References());
}

TEST_F(ComTest, TheEnumeratorGivesItemsInOrderThenEnds)
{
    FakeObject a;
    FakeObject b;
    FakeEnumerator enumerator({ObjectValue(&a), ObjectValue(&b)});
    FakeObject addIns;
    addIns.SetEnumerator(&enumerator);
    {
        AutomationEnumerator items;
        ASSERT_EQ(S_OK, EnumerateMembers(&addIns, items));
        ASSERT_EQ(1u, addIns.Invocations().size());
        EXPECT_EQ(DISPID_NEWENUM, addIns.Invocations()[0].member);
        EXPECT_EQ(0x0409u, addIns.Invocations()[0].locale);

        AutomationObject item;
        ASSERT_EQ(S_OK, NextMember(items.Get(), item));
        EXPECT_EQ(&a, item.Get());
        ASSERT_EQ(S_OK, NextMember(items.Get(), item));
        EXPECT_EQ(&b, item.Get());
        EXPECT_EQ(S_FALSE, NextMember(items.Get(), item));
        EXPECT_EQ(S_FALSE, NextMember(items.Get(), item));
        EXPECT_EQ(&b, item.Get());
    }
    // Every reference taken has been given back.
    EXPECT_EQ(1, enumerator.References());
    EXPECT_EQ(2, a.References());
    EXPECT_EQ(2, b.References());
}

TEST_F(ComTest, AFailingOrNonObjectItemStopsTheWalk)
{
    FakeObject a;
    FakeEnumerator failing({ObjectValue(&a), ObjectValue(&a)}, 1);
    AutomationObject item;
    ASSERT_EQ(S_OK, NextMember(&failing, item));
    EXPECT_FALSE(SUCCEEDED(NextMember(&failing, item)));
    EXPECT_EQ(&a, item.Get());

    VARIANT name = TypedValue(VT_BSTR);
    name.bstrVal = ::SysAllocString(L"C:\\QuantorelixExcelLink.xla");
    FakeEnumerator mixed({name, ObjectValue(nullptr), TypedValue(VT_EMPTY)});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(DISP_E_TYPEMISMATCH, NextMember(&mixed, item)) << i;
    EXPECT_EQ(&a, item.Get());
    item.Reset();
    EXPECT_EQ(1 + 2, a.References());  // the failing enumerator still holds its two items

    FakeObject noEnumerator;
    AutomationEnumerator items;
    EXPECT_FALSE(SUCCEEDED(EnumerateMembers(&noEnumerator, items)));
    EXPECT_FALSE(SUCCEEDED(EnumerateMembers(nullptr, items)));
    EXPECT_FALSE(items);
    EXPECT_EQ(E_POINTER, NextMember(nullptr, item));
}

TEST_F(ComTest, AClassThatIsNotRegisteredIsNotCreated)
{
    FakeObject kept;
    AutomationObject app(&kept);
    EXPECT_FALSE(SUCCEEDED(CreateHostApplication(L"Brolendavir.NoSuchApplication", app)));
    EXPECT_EQ(&kept, app.Get());
}
