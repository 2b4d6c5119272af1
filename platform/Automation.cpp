// Late-bound automation over IDispatch and IEnumVARIANT.
#include "platform/Platform.h"

#include <utility>

namespace
{
// Member names are English; the host resolves them by locale.
constexpr LCID kMemberLocale = 0x0409;

// Frees the texts an Invoke may return in its EXCEPINFO.
class ExcepInfo
{
public:
    ExcepInfo() : info_() {}
    ~ExcepInfo() { Free(); }
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    // For an out-parameter: frees what an earlier answer left first.
    EXCEPINFO* Put()
    {
        Free();
        return &info_;
    }

private:
    void Free()
    {
        ::SysFreeString(info_.bstrSource);
        ::SysFreeString(info_.bstrDescription);
        ::SysFreeString(info_.bstrHelpFile);
        info_ = EXCEPINFO();
    }

    EXCEPINFO info_;
};

// Excel turns calls away while it is busy (starting up, a dialog open). COM gives a client with
// no message filter of its own the rejection at once, Wine passes the server's answer on as it
// stands, and Excel itself may answer VBA_E_IGNORE: each means "come back", not "this failed",
// so the caller asks again itself.
bool IsBusyAnswer(HRESULT hr)
{
    constexpr HRESULT kVbaIgnore = static_cast<HRESULT>(0x800AC472);  // VBA_E_IGNORE
    return hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER || hr == kVbaIgnore;
}

// A busy host is asked again after a pause that lets the thread's messages through. The k-th
// pause of a call ends k beats after the call began, so the time a busy answer took counts as
// pause and the pauses do not drift. One call waits at most 40 pauses and 10 s, the whole run
// 120 pauses and 30 s; past either, the busy answer is the call's failure.
constexpr ULONGLONG kBusyBeat = 250;
constexpr int kBusyPausesPerCall = 40;
constexpr int kBusyPausesPerRun = 120;
constexpr ULONGLONG kBusyCallBound = 10'000;
constexpr ULONGLONG kBusyRunBound = 30'000;

// Lets the thread's window messages through until the given tick.
void PauseForMessages(ULONGLONG until)
{
    for (;;)
    {
        PumpEvents();
        const ULONGLONG now = BusyClockNow();
        if (now >= until)
            return;
        const DWORD left = static_cast<DWORD>(until - now);
        MSG quit;
        if (::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
        {
            // The quit stays for whoever reads the queue next, and would wake every wait at once.
            BusySleep(left);
            return;
        }
        BusyWaitForMessages(left);
    }
}

// One call to the host, with the answers it has had so far.
class BusyCall
{
public:
    BusyCall() : start_(BusyClockNow()), charged_(start_), run_(BusySpentByRun()) {}

    // True when the answer was busy and the call may ask again: the pause is then over.
    bool AskAgain(HRESULT answer)
    {
        if (!IsBusyAnswer(answer))
            return false;
        Charge();
        const ULONGLONG spent = charged_ - start_;
        if (pauses_ == kBusyPausesPerCall || run_.pauses >= kBusyPausesPerRun ||
            spent >= kBusyCallBound || run_.milliseconds >= kBusyRunBound)
            return false;
        ++pauses_;
        ++run_.pauses;
        ULONGLONG until = start_ + pauses_ * kBusyBeat;
        if (until > start_ + kBusyCallBound)
            until = start_ + kBusyCallBound;
        if (until > charged_ + (kBusyRunBound - run_.milliseconds))
            until = charged_ + (kBusyRunBound - run_.milliseconds);
        PauseForMessages(until);
        Charge();
        return true;
    }

private:
    // Counts the time since the last charge against the run.
    void Charge()
    {
        const ULONGLONG now = BusyClockNow();
        run_.milliseconds += now - charged_;
        charged_ = now;
    }

    ULONGLONG start_;
    ULONGLONG charged_;
    BusySpent& run_;
    int pauses_ = 0;
};

// The one late-bound call. The name is looked up afresh at every call (the host resolves it
// without regard to case); a null name means member is already the DISPID. A property write
// passes its value as the named argument DISPID_PROPERTYPUT; reads and calls pass no arguments.
// A busy host is asked again. The result is handed over only on success.
HRESULT InvokeMember(IDispatch* object, const wchar_t* name, DISPID member, WORD flags,
                     const VARIANT* putValue, Variant& result)
{
    if (object == nullptr || (name == nullptr && member == DISPID_UNKNOWN))
        return E_POINTER;
    BusyCall call;
    HRESULT hr = S_OK;
    if (name != nullptr)
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        do
            hr = object->GetIDsOfNames(IID_NULL, names, 1, kMemberLocale, &member);
        while (call.AskAgain(hr));
        if (FAILED(hr))
            return hr;
    }
    DISPPARAMS params = {};
    VARIANTARG argument = {};
    DISPID putId = DISPID_PROPERTYPUT;
    if (putValue != nullptr)
    {
        argument = *putValue;  // a shallow copy: the callee must not change or free it
        params.rgvarg = &argument;
        params.cArgs = 1;
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    ExcepInfo exception;
    Variant value;
    do
    {
        UINT argumentError = 0;
        hr = object->Invoke(member, IID_NULL, kMemberLocale, flags, &params, value.Put(),
                            exception.Put(), &argumentError);
    } while (call.AskAgain(hr));
    if (FAILED(hr))
        return hr;
    std::swap(value.Get(), result.Get());
    return S_OK;
}

// Reads a property, passing no arguments.
HRESULT GetMember(IDispatch* object, const wchar_t* name, Variant& value)
{
    return InvokeMember(object, name, DISPID_UNKNOWN, DISPATCH_PROPERTYGET, nullptr, value);
}
}  // namespace

HRESULT CreateHostApplication(const wchar_t* progId, AutomationObject& application)
{
    CLSID hostClass = {};
    HRESULT hr = ::CLSIDFromProgID(progId, &hostClass);
    if (FAILED(hr))
        return hr;
    AutomationObject created;
    // The host is a program of its own: a local server, never code loaded into this process.
    hr = ::CoCreateInstance(hostClass, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(created.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    application = std::move(created);
    return S_OK;
}

HRESULT GetTextMember(IDispatch* object, const wchar_t* name, Bstr& text)
{
    Variant value;
    HRESULT hr = GetMember(object, name, value);
    if (FAILED(hr))
        return hr;
    if (value.Get().vt != VT_BSTR)
        return DISP_E_TYPEMISMATCH;
    text = Bstr(value.Get().bstrVal);
    value.Get().vt = VT_EMPTY;  // the text now belongs to `text`
    return S_OK;
}

HRESULT GetObjectMember(IDispatch* object, const wchar_t* name, AutomationObject& member)
{
    Variant value;
    HRESULT hr = GetMember(object, name, value);
    if (FAILED(hr))
        return hr;
    if (value.Get().vt != VT_DISPATCH || value.Get().pdispVal == nullptr)
        return DISP_E_TYPEMISMATCH;
    AutomationObject received(value.Get().pdispVal);
    member = std::move(received);
    return S_OK;
}

HRESULT SetMember(IDispatch* object, const wchar_t* name, const VARIANT& value)
{
    Variant ignored;
    return InvokeMember(object, name, DISPID_UNKNOWN, DISPATCH_PROPERTYPUT, &value, ignored);
}

HRESULT CallMember(IDispatch* object, const wchar_t* name)
{
    Variant ignored;
    return InvokeMember(object, name, DISPID_UNKNOWN, DISPATCH_METHOD, nullptr, ignored);
}

HRESULT EnumerateMembers(IDispatch* collection, AutomationEnumerator& items)
{
    // The standard enumerator is the member DISPID_NEWENUM, read like a property.
    Variant value;
    HRESULT hr = InvokeMember(collection, nullptr, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              nullptr, value);
    if (FAILED(hr))
        return hr;
    IUnknown* unknown = nullptr;
    if (value.Get().vt == VT_UNKNOWN)
        unknown = value.Get().punkVal;
    else if (value.Get().vt == VT_DISPATCH)
        unknown = value.Get().pdispVal;
    if (unknown == nullptr)
        return DISP_E_TYPEMISMATCH;
    AutomationEnumerator started;
    hr = unknown->QueryInterface(IID_PPV_ARGS(started.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    items = std::move(started);
    return S_OK;
}

HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item)
{
    if (items == nullptr)
        return E_POINTER;
    Variant value;
    ULONG fetched = 0;
    BusyCall call;
    HRESULT hr = S_OK;
    do
    {
        fetched = 0;
        hr = items->Next(1, value.Put(), &fetched);
    } while (call.AskAgain(hr));
    if (FAILED(hr))
        return hr;
    if (hr != S_OK || fetched != 1)
        return S_FALSE;
    if (value.Get().vt != VT_DISPATCH || value.Get().pdispVal == nullptr)
        return DISP_E_TYPEMISMATCH;
    AutomationObject received(value.Get().pdispVal);
    item = std::move(received);
    return S_OK;
}
