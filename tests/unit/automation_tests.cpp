// Late binding against hand-written automation objects: how members are looked up and invoked,
// which values count as texts and objects, the enumerator's contract, reference counts, and the
// pauses before a busy host is asked again, in simulated time.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/Platform.h"

// Turns oleaut32's cache of freed texts off, so every text is allocated and freed through COM's
// allocator, where AllocationCount sees it.
extern "C" void SetOaNoCache();

namespace
{
// The busy waits' clock, simulated in place of platform/BusyClock.cpp: time moves only when a
// wait or the host's answer moves it, and every ask of the host is noted with its time.
struct SimulatedClock
{
    ULONGLONG now = 1'000'000;
    BusySpent spent = {0, 0};
    std::vector<ULONGLONG> asks;
    // How long the host takes over the first answer since `asks` was cleared, and over each after it.
    DWORD firstAnswerTakes = 0;
    DWORD answersTake = 0;
    // When a thread message arrives during a wait (0: none); how many waits in a row a message left
    // in the queue has ended at once.
    ULONGLONG messageAt = 0;
    int waitsAtOnce = 0;

    void Ask()
    {
        asks.push_back(now);
        now += asks.size() == 1 ? firstAnswerTakes : answersTake;
    }
} g_clock;

constexpr ULONGLONG kBeat = 250;
const HRESULT kBusyAnswers[] = {RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER,
                                static_cast<HRESULT>(0x800AC472) /* VBA_E_IGNORE */};

// An invocation as the object saw it: member, locale, flags, arguments, named arguments, the first
// named one, and the first argument's type and Boolean value.
using Invocation = std::tuple<DISPID, LCID, WORD, UINT, UINT, DISPID, VARTYPE, VARIANT_BOOL>;
using Lookup = std::pair<std::wstring, LCID>;
// A read or a call, with no arguments, as the program makes them.
Invocation Plain(DISPID member, WORD flags) { return {member, 0x0409, flags, 0, 0, DISPID_UNKNOWN, VT_EMPTY, 0}; }

constexpr int kForever = -1;

// Answers `answer` to the first `times` calls (kForever: to every call).
struct Refusal
{
    HRESULT answer = S_OK;
    int times = 0;
    bool Take() { return times < 0 || (times > 0 && times-- > 0); }
};

// A value of the given type, zero (a number 0, a null object, the Boolean False).
VARIANT TypedValue(VARTYPE type)
{
    VARIANT value = {};
    value.vt = type;
    return value;
}
// The holder copies it with VariantCopy, which takes its own reference.
VARIANT ObjectValue(IUnknown* object, VARTYPE type = VT_DISPATCH)
{
    VARIANT value = TypedValue(type);
    value.punkVal = object;
    return value;
}

// IUnknown for a fake that outlives its references: it counts them, and they never free it.
template <typename Interface>
class Counted : public Interface
{
public:
    LONG References() const { return references_; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = iid == IID_IUnknown || iid == __uuidof(Interface) ? static_cast<Interface*>(this) : nullptr;
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }

private:
    LONG references_ = 1;
};

// Member names compare as the host compares them, without regard to case.
struct IgnoringCase
{
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

// An automation object with a fixed set of members, each returning a stored value or failing.
class FakeObject : public Counted<IDispatch>
{
public:
    // Adds a member; the object keeps its own copy of value.
    DISPID Add(const std::wstring& name, const VARIANT& value)
    {
        const DISPID id = static_cast<DISPID>(ids_.size() + 1);
        ids_[name] = id;
        Set(id, value);
        return id;
    }
    DISPID AddText(const std::wstring& name, const wchar_t* text)
    {
        Variant value;
        value.Get().vt = VT_BSTR;
        value.Get().bstrVal = ::SysAllocString(text);
        return Add(name, value.Get());
    }
    // What the enumerator member (DISPID_NEWENUM) answers.
    void SetEnumerator(const VARIANT& value) { Set(DISPID_NEWENUM, value); }
    // The first `times` calls of the member (or of its name's lookup) answer `answer` itself, the
    // way a busy host turns calls away or a failing member explains itself; kForever for every call.
    void Refuse(const std::wstring& name, HRESULT answer, int times) { refusals_[ids_.at(name)] = {answer, times}; }
    void RefuseLookup(const std::wstring& name, HRESULT answer, int times) { lookupRefusals_[name] = {answer, times}; }
    void RefuseEnumerator(HRESULT answer, int times) { refusals_[DISPID_NEWENUM] = {answer, times}; }

    // Each name looked up, with the locale it was looked up in, and each invocation, since the last Forget.
    const std::vector<Lookup>& Lookups() const { return lookups_; }
    const std::vector<Invocation>& Invocations() const { return invocations_; }
    void Forget() { lookups_.clear(), invocations_.clear(); }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        if (count != 1)
            return E_INVALIDARG;
        g_clock.Ask();
        lookups_.emplace_back(names[0], locale);
        ids[0] = DISPID_UNKNOWN;
        if (Refusal& refused = lookupRefusals_[names[0]]; refused.Take())
            return refused.answer;
        auto found = ids_.find(names[0]);
        return found == ids_.end() ? DISP_E_UNKNOWNNAME : (ids[0] = found->second, S_OK);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override
    {
        const bool argument = params->cArgs > 0;
        invocations_.emplace_back(member, locale, flags, params->cArgs, params->cNamedArgs,
                                  params->cNamedArgs > 0 ? params->rgdispidNamedArgs[0] : DISPID_UNKNOWN,
                                  argument ? params->rgvarg[0].vt : VT_EMPTY, argument ? params->rgvarg[0].boolVal : 0);
        g_clock.Ask();
        if (Refusal& refused = refusals_[member]; refused.Take())
        {
            // Excel explains a failure, and may explain even a busy answer: the caller frees the texts.
            exception->bstrSource = ::SysAllocString(L"fake");
            exception->bstrDescription = ::SysAllocString(L"refused");
            exception->scode = refused.answer;
            return refused.answer;
        }
        auto value = values_.find(member);
        if (value == values_.end())
            return DISP_E_MEMBERNOTFOUND;
        return (flags & DISPATCH_PROPERTYPUT) || result == nullptr ? S_OK : ::VariantCopy(result, &value->second.Get());
    }

private:
    void Set(DISPID id, const VARIANT& value) { ::VariantCopy(values_[id].Put(), const_cast<VARIANT*>(&value)); }

    std::map<std::wstring, DISPID, IgnoringCase> ids_;
    std::map<DISPID, Variant> values_;
    std::map<DISPID, Refusal> refusals_;
    std::map<std::wstring, Refusal, IgnoringCase> lookupRefusals_;
    std::vector<Lookup> lookups_;
    std::vector<Invocation> invocations_;
};

// An enumerator over fixed items that keeps IEnumVARIANT's contract: S_FALSE on a short fetch.
class FakeEnumerator : public Counted<IEnumVARIANT>
{
public:
    // Holds a copy of each item, with a reference of its own to each object among them.
    explicit FakeEnumerator(std::vector<VARIANT> items) : items_(items.size())
    {
        for (size_t i = 0; i < items.size(); ++i)
            ::VariantCopy(items_[i].Put(), &items[i]);
    }
    void Refuse(HRESULT answer, int times) { refusal_ = {answer, times}; }

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override
    {
        g_clock.Ask();
        const bool refused = refusal_.Take();
        ULONG given = 0;
        for (; !refused && given < wanted && next_ < items_.size(); ++given)
        {
            ::VariantInit(&out[given]);
            ::VariantCopy(&out[given], &items_[next_++].Get());
        }
        if (fetched != nullptr)
            *fetched = given;
        return refused ? refusal_.answer : given == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

private:
    std::vector<Variant> items_;
    size_t next_ = 0;
    Refusal refusal_;
};

// Counts the blocks COM's task allocator has handed out since the count began and not yet taken
// back: texts (with oleaut32's cache off) and everything else a call allocates. Once registered
// it stays for the life of the test program, since COM keeps calling a spy whose blocks are out.
class AllocationCount : public Counted<IMallocSpy>
{
public:
    static AllocationCount& Started()
    {
        static AllocationCount* const count = (SetOaNoCache(), new AllocationCount);
        return *count;
    }
    bool Registered() const { return registered_; }
    LONG Live() const { return live_; }

    STDMETHOD_(SIZE_T, PreAlloc)(SIZE_T size) override { return size; }
    STDMETHOD_(void*, PostAlloc)(void* block) override { return live_ += block != nullptr, block; }
    STDMETHOD_(void*, PreFree)(void* block, BOOL counted) override { return live_ -= block && counted, block; }
    STDMETHOD_(void, PostFree)(BOOL) override {}
    STDMETHOD_(SIZE_T, PreRealloc)(void* block, SIZE_T size, void** out, BOOL) override { return *out = block, size; }
    STDMETHOD_(void*, PostRealloc)(void* block, BOOL) override { return block; }
    STDMETHOD_(void*, PreGetSize)(void* block, BOOL) override { return block; }
    STDMETHOD_(SIZE_T, PostGetSize)(SIZE_T size, BOOL) override { return size; }
    STDMETHOD_(void*, PreDidAlloc)(void* block, BOOL) override { return block; }
    STDMETHOD_(int, PostDidAlloc)(void*, BOOL, int answer) override { return answer; }
    STDMETHOD_(void, PreHeapMinimize)() override {}
    STDMETHOD_(void, PostHeapMinimize)() override {}

private:
    AllocationCount() : registered_(SUCCEEDED(::CoRegisterMallocSpy(this))) {}

    const bool registered_;
    LONG live_ = 0;
};

class ComTest : public ::testing::Test
{
protected:
    // Every test starts from a run that has not yet waited on a busy host.
    void SetUp() override { g_clock = SimulatedClock(); }

    ComApartment apartment_;
};
}  // namespace

BusySpent& BusySpentByRun() { return g_clock.spent; }
ULONGLONG BusyClockNow() { return g_clock.now; }
void BusySleep(DWORD milliseconds) { g_clock.now += milliseconds; }
// As MsgWaitForMultipleObjectsEx with MWMO_INPUTAVAILABLE: a message in the queue, even one
// already seen, ends the wait at once.
void BusyWaitForMessages(DWORD milliseconds)
{
    MSG pending;
    if (::PeekMessageW(&pending, nullptr, 0, 0, PM_NOREMOVE))
    {
        if (++g_clock.waitsAtOnce < 1000)
            return;
        ADD_FAILURE() << "a pause waits again and again on message 0x" << std::hex << pending.message
                      << ", which it leaves in the queue";
    }
    g_clock.waitsAtOnce = 0;
    if (g_clock.messageAt != 0 && g_clock.messageAt < g_clock.now + milliseconds)
    {
        g_clock.now = std::exchange(g_clock.messageAt, 0);
        ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
        return;
    }
    g_clock.now += milliseconds;
}

TEST_F(ComTest, EachOperationLooksTheNameUpAfreshInEnglishAndInvokesItAsItMust)
{
    AllocationCount& allocations = AllocationCount::Started();
    ASSERT_TRUE(allocations.Registered());
    const LONG liveBefore = allocations.Live();
    FakeObject workbook;  // what the call answers, and the caller must let go
    {
        FakeEnumerator enumerator({});
        FakeObject object;
        const DISPID startupPath = object.AddText(L"StartupPath", L"C:\\Startup");
        const DISPID installed = object.Add(L"installed", TypedValue(VT_BOOL));
        const DISPID add = object.Add(L"Add", ObjectValue(&workbook));
        object.SetEnumerator(ObjectValue(&enumerator, VT_UNKNOWN));
        const VARIANT no = TypedValue(VT_BOOL);
        Bstr text;
        AutomationEnumerator items;
        const struct
        {
            const char* what;
            std::function<HRESULT()> operation;
            const wchar_t* name;  // none for the enumerator, which is reached by its DISPID
            Invocation invoked;
        } rows[] = {
            {"a read", [&] { return GetTextMember(&object, L"StartupPath", text); }, L"StartupPath",
             Plain(startupPath, DISPATCH_PROPERTYGET)},
            {"the same read again, spelt otherwise", [&] { return GetTextMember(&object, L"startuppath", text); },
             L"startuppath", Plain(startupPath, DISPATCH_PROPERTYGET)},
            // The value is the named argument DISPID_PROPERTYPUT.
            {"a write", [&] { return SetMember(&object, L"installed", no); }, L"installed",
             {installed, 0x0409, DISPATCH_PROPERTYPUT, 1, 1, DISPID_PROPERTYPUT, VT_BOOL, VARIANT_FALSE}},
            {"a call", [&] { return CallMember(&object, L"Add"); }, L"Add", Plain(add, DISPATCH_METHOD)},
            {"the enumerator", [&] { return EnumerateMembers(&object, items); }, nullptr,
             Plain(DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET)},
        };
        // Each operation served at once, and with its lookup, then its invocation, turned away twice by
        // each busy answer: only the refused step is asked again, each time as it was asked first,
        // and a beat, then two beats, after the call began (the asks' times, in beats).
        const char* const refusedSteps[] = {"nothing", "the lookup", "the invocation"};
        const std::vector<ULONGLONG> lookedUpAndInvokedAt[] = {{0, 0}, {0, 1, 2, 2}, {0, 0, 1, 2}};
        for (const auto& row : rows)
            for (int refused = 0; refused < 3; ++refused)
                for (HRESULT busy : kBusyAnswers)
                {
                    SCOPED_TRACE(testing::Message() << row.what << ", refused twice: " << refusedSteps[refused]
                                                    << ", by 0x" << std::hex << busy);
                    g_clock = SimulatedClock();
                    if (refused == 1 && row.name)
                        object.RefuseLookup(row.name, busy, 2);
                    else if (refused == 2 && row.name)
                        object.Refuse(row.name, busy, 2);
                    else if (refused == 2)
                        object.RefuseEnumerator(busy, 2);
                    object.Forget();
                    ASSERT_EQ(S_OK, row.operation());
                    const Lookup lookup = {row.name ? row.name : L"", 0x0409};
                    EXPECT_EQ(std::vector<Lookup>(row.name ? (refused == 1 ? 3 : 1) : 0, lookup), object.Lookups());
                    EXPECT_EQ(std::vector<Invocation>(refused == 2 ? 3 : 1, row.invoked), object.Invocations());
                    std::vector<ULONGLONG> beats = lookedUpAndInvokedAt[row.name ? refused : refused == 2 ? 2 : 0];
                    if (!row.name)
                        beats.erase(beats.begin());
                    for (ULONGLONG& at : beats)
                        at = SimulatedClock().now + at * kBeat;
                    EXPECT_EQ(beats, g_clock.asks);
                }
        EXPECT_STREQ(L"C:\\Startup", text.Get());
        EXPECT_EQ(&enumerator, items.Get());
    }
    // Every result, and the texts of every busy answer, have been let go.
    EXPECT_EQ(1, workbook.References());
    EXPECT_EQ(liveBefore, allocations.Live());
}

TEST_F(ComTest, FailuresLeaveTheTargetAsItWasAndAreNotAskedAgain)
{
    FakeObject app;
    app.AddText(L"LibraryPath", L"C:\\Library");
    app.AddText(L"StartupPath", L"C:\\Startup");
    FakeEnumerator refusing({ObjectValue(&app)});
    Variant name;
    name.Get().vt = VT_BSTR;
    name.Get().bstrVal = ::SysAllocString(L"C:\\QuantorelixExcelLink.xla");
    FakeEnumerator mixed({name.Get(), ObjectValue(nullptr), TypedValue(VT_EMPTY)});
    FakeObject notAnEnumerator;  // an object, but without IEnumVARIANT
    FakeEnumerator held({});
    AutomationEnumerator items(&held);
    // A collection whose enumerator member answers the given value (VT_ERROR: a collection without one).
    const auto enumerate = [&items](const VARIANT& answer) {
        FakeObject addIns;
        if (answer.vt != VT_ERROR)
            addIns.SetEnumerator(answer);
        return EnumerateMembers(&addIns, items);
    };
    Bstr text(::SysAllocString(L"before"));
    AutomationObject item(&app);
    const struct
    {
        const char* what;
        std::function<HRESULT()> operation;
        HRESULT expected;  // S_FALSE: any failure
        size_t asks;       // of the host: lookups, invocations, the enumerator's items
    } rows[] = {
        {"a member that explains its failure", [&] { app.Refuse(L"LibraryPath", DISP_E_EXCEPTION, kForever);
             return GetTextMember(&app, L"LibraryPath", text); }, DISP_E_EXCEPTION, 2},
        {"an unknown name, never invoked", [&] { return GetTextMember(&app, L"NoSuchMember", text); }, S_FALSE, 1},
        {"a call of an unknown name", [&] { return CallMember(&app, L"quit"); }, S_FALSE, 1},
        {"no object", [&] { return GetTextMember(nullptr, L"LibraryPath", text); }, E_POINTER, 0},
        {"no name", [&] { return GetTextMember(&app, nullptr, text); }, E_POINTER, 0},
        {"a failing lookup", [&] { app.RefuseLookup(L"StartupPath", E_FAIL, 1);
             return GetTextMember(&app, L"StartupPath", text); }, E_FAIL, 1},
        {"a failing invocation", [&] { app.Refuse(L"StartupPath", E_FAIL, 1);
             return GetTextMember(&app, L"StartupPath", text); }, E_FAIL, 2},
        {"a failing item", [&] { refusing.Refuse(E_UNEXPECTED, 1);
             return NextMember(&refusing, item); }, E_UNEXPECTED, 1},
        {"an item that is a text", [&] { return NextMember(&mixed, item); }, DISP_E_TYPEMISMATCH, 1},
        {"an item that is a null object", [&] { return NextMember(&mixed, item); }, DISP_E_TYPEMISMATCH, 1},
        {"an item that is nothing", [&] { return NextMember(&mixed, item); }, DISP_E_TYPEMISMATCH, 1},
        {"no enumerator", [&] { return NextMember(nullptr, item); }, E_POINTER, 0},
        {"an enumerator member that answers a number", [&] { return enumerate(TypedValue(VT_I4)); },
         DISP_E_TYPEMISMATCH, 1},
        {"an enumerator member that answers an object that is no enumerator",
         [&] { return enumerate(ObjectValue(&notAnEnumerator)); }, E_NOINTERFACE, 1},
        {"an enumerator member that answers a null object", [&] { return enumerate(ObjectValue(nullptr)); },
         DISP_E_TYPEMISMATCH, 1},
        {"an enumerator member that answers nothing", [&] { return enumerate(TypedValue(VT_EMPTY)); },
         DISP_E_TYPEMISMATCH, 1},
        {"a collection without an enumerator member", [&] { return enumerate(TypedValue(VT_ERROR)); },
         DISP_E_MEMBERNOTFOUND, 1},
        {"no collection", [&] { return EnumerateMembers(nullptr, items); }, E_POINTER, 0},
        {"an unknown class", [&] { return CreateHostApplication(L"Brolendavir.NoSuchApplication", item); }, S_FALSE, 0},
        {"an in-process class", [&] { return CreateHostApplication(L"Scripting.FileSystemObject", item); }, S_FALSE, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        g_clock.asks.clear();
        const HRESULT hr = row.operation();
        if (row.expected == S_FALSE)
            EXPECT_TRUE(FAILED(hr)) << "0x" << std::hex << hr;
        else
            EXPECT_EQ(row.expected, hr);
        EXPECT_EQ(row.asks, g_clock.asks.size());
    }
    EXPECT_STREQ(L"before", text.Get());
    EXPECT_EQ(&app, item.Get());
    EXPECT_EQ(&held, items.Get());
    // What an enumerator member answered has been let go.
    EXPECT_EQ(1, notAnEnumerator.References());
}

TEST_F(ComTest, OnlyTextsCountAsTextsOnlyObjectsAsObjectsAndObjectsAreNeverAskedForTheirDefaultValue)
{
    FakeObject folderObject;
    folderObject.AddText(L"", L"default member");  // would answer DISPID_VALUE if coerced
    FakeObject other;
    FakeObject app;
    app.Add(L"number", TypedValue(VT_I4));
    app.Add(L"null", TypedValue(VT_NULL));
    app.Add(L"empty", TypedValue(VT_EMPTY));
    app.Add(L"object", ObjectValue(&folderObject));
    app.Add(L"nothing", ObjectValue(nullptr));
    app.AddText(L"emptyText", L"");
    app.Add(L"other", ObjectValue(&other));

    Bstr text(::SysAllocString(L"before"));
    for (const wchar_t* member : {L"number", L"null", L"empty", L"object", L"nothing"})
        EXPECT_EQ(DISP_E_TYPEMISMATCH, GetTextMember(&app, member, text)) << member;
    EXPECT_STREQ(L"before", text.Get());
    EXPECT_TRUE(folderObject.Invocations().empty());

    ASSERT_EQ(S_OK, GetTextMember(&app, L"emptyText", text));
    EXPECT_EQ(0u, text.Length());

    AutomationObject object(&folderObject);
    for (const wchar_t* member : {L"number", L"emptyText", L"nothing"})
        EXPECT_EQ(DISP_E_TYPEMISMATCH, GetObjectMember(&app, member, object)) << member;
    EXPECT_EQ(&folderObject, object.Get());
    // A read holds one reference, and lets the old one go: each is held by itself and the app too.
    ASSERT_EQ(S_OK, GetObjectMember(&app, L"other", object));
    EXPECT_EQ(&other, object.Get());
    EXPECT_EQ(3, other.References());
    EXPECT_EQ(2, folderObject.References());
}

TEST_F(ComTest, TheEnumeratorGivesItemsInOrderThenEndsAskedAgainWhileBusy)
{
    FakeObject a;
    FakeObject b;
    FakeEnumerator enumerator({ObjectValue(&a), ObjectValue(&b)});
    {
        FakeObject addIns;
        addIns.SetEnumerator(ObjectValue(&enumerator, VT_UNKNOWN));
        AutomationEnumerator items;
        ASSERT_EQ(S_OK, EnumerateMembers(&addIns, items));
        g_clock.asks.clear();

        AutomationObject item;
        // Each answer comes after two busy ones, by one busy answer after another; the end keeps the last item.
        const std::pair<HRESULT, IDispatch*> answers[] = {{S_OK, &a}, {S_OK, &b}, {S_FALSE, &b}, {S_FALSE, &b}};
        for (int i = 0; i < 4; ++i)
        {
            enumerator.Refuse(kBusyAnswers[i % 3], 2);
            EXPECT_EQ(answers[i].first, NextMember(items.Get(), item)) << i;
            EXPECT_EQ(answers[i].second, item.Get()) << i;
            EXPECT_EQ(3u * (i + 1), g_clock.asks.size()) << i;
        }
    }
    // Every reference taken has been given back.
    EXPECT_EQ(1, enumerator.References());
    EXPECT_EQ(2, a.References());
    EXPECT_EQ(2, b.References());
}

TEST_F(ComTest, ABusyHostIsAskedWithinTheCallsBoundAndTheRunsAllowance)
{
    // Each row's calls in turn, from a fresh allowance, each turned away for ever by a busy answer
    // that takes the host the given time (the first of the call, then each after it): how often the
    // call asked, when it asked first and last (ms after it began), and when it asked the first times.
    struct Call
    {
        DWORD firstTakes;
        DWORD takes;
        size_t asks;
        ULONGLONG lastAsk;
        std::vector<ULONGLONG> firstAsks;
    };
    const Call onTheBeats = {0, 0, 41, 10'000, {0, 250, 500, 750}};
    const Call slow = {600, 600, 17, 9'600, {0, 600, 1'200, 1'800}};
    const Call refusedAtOnce = {0, 0, 1, 0, {0}};
    const struct
    {
        const char* what;
        std::vector<Call> calls;
    } rows[] = {
        {"answered at once: asked again on each beat, 40 times, the last at the call's 10 s", {onTheBeats}},
        {"each answer taking 100 ms, which counts as pause", {{100, 100, 41, 10'000, {0, 250, 500, 750}}}},
        {"the first answer taking 400 ms: asked again at once, then on the beats",
         {{400, 0, 41, 10'000, {0, 400, 500, 750}}}},
        {"answers taking 600 ms: the call's 10 s end it before 40 pauses", {slow}},
        {"three calls on the beats spend the run's 120 pauses and 30 s",
         {onTheBeats, onTheBeats, onTheBeats, refusedAtOnce}},
        {"answers taking 600 ms spend the run's 30 s in fewer pauses",
         {slow, slow, {600, 600, 16, 9'000, {0, 600, 1'200, 1'800}}, refusedAtOnce}},
        {"the run's last 9.6 s cut a pause short", {slow, slow, {0, 0, 40, 9'600, {0, 250, 500, 750}}}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        g_clock = SimulatedClock();
        FakeObject app;
        app.AddText(L"StartupPath", L"C:\\Startup");
        app.AddText(L"quit", L"ignored result");
        FakeEnumerator enumerator({ObjectValue(&app)});
        Bstr text(::SysAllocString(L"before"));
        AutomationObject item;
        for (size_t i = 0; i < row.calls.size(); ++i)
        {
            const Call& call = row.calls[i];
            const HRESULT busy = kBusyAnswers[i % 3];
            SCOPED_TRACE(testing::Message() << "call " << i + 1 << ", by 0x" << std::hex << busy);
            g_clock.asks.clear();
            g_clock.firstAnswerTakes = call.firstTakes;
            g_clock.answersTake = call.takes;
            const ULONGLONG start = g_clock.now;
            // A name's lookup and the enumerator's items are asked again alike.
            if (i % 2 == 0)
                app.RefuseLookup(L"StartupPath", busy, kForever);
            else
                enumerator.Refuse(busy, kForever);
            EXPECT_EQ(busy, i % 2 == 0 ? GetTextMember(&app, L"StartupPath", text) : NextMember(&enumerator, item));
            app.RefuseLookup(L"StartupPath", busy, 0);
            enumerator.Refuse(busy, 0);
            ASSERT_EQ(call.asks, g_clock.asks.size());
            for (size_t k = 0; k < call.firstAsks.size(); ++k)
                EXPECT_EQ(start + call.firstAsks[k], g_clock.asks[k]) << "ask " << k;
            EXPECT_EQ(start + call.lastAsk, g_clock.asks.back());
        }
        EXPECT_STREQ(L"before", text.Get());
        EXPECT_FALSE(item);
        // The allowance bounds the asking again only: the host is still asked afresh at the next call.
        g_clock.answersTake = 0;
        EXPECT_EQ(S_OK, CallMember(&app, L"quit"));
    }
}

TEST_F(ComTest, APauseLetsTheThreadsMessagesThroughAndLeavesQuitForLater)
{
    FakeObject app;
    app.AddText(L"quit", L"ignored result");

    // A message that arrives during a pause is taken off the queue, and the pause still lasts to
    // its beat: the lookup, the busy invocation, the invocation again.
    ULONGLONG start = g_clock.now;
    g_clock.messageAt = start + 100;
    app.Refuse(L"quit", RPC_E_CALL_REJECTED, 1);
    ASSERT_EQ(S_OK, CallMember(&app, L"quit"));
    MSG message;
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) << "message 0x" << std::hex << message.message;
    EXPECT_EQ((std::vector<ULONGLONG>{start, start, start + kBeat}), g_clock.asks);

    // A quit in the queue would end every wait for messages at once: the pauses last to their beats
    // without them, and the quit stays in the queue.
    ::PostQuitMessage(3);
    g_clock.asks.clear();
    start = g_clock.now;
    app.Refuse(L"quit", RPC_E_CALL_REJECTED, 2);
    ASSERT_EQ(S_OK, CallMember(&app, L"quit"));
    EXPECT_EQ((std::vector<ULONGLONG>{start, start, start + kBeat, start + 2 * kBeat}), g_clock.asks);
    ASSERT_TRUE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
    EXPECT_EQ(3u, message.wParam);
}
