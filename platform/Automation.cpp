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
    ~ExcepInfo()
    {
        ::SysFreeString(info_.bstrSource);
        ::SysFreeString(info_.bstrDescription);
        ::SysFreeString(info_.bstrHelpFile);
    }
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    EXCEPINFO* Put() { return &info_; }

private:
    EXCEPINFO info_;
};

// The one late-bound call. A property write passes its value as the named argument
// DISPID_PROPERTYPUT; reads and calls pass no arguments. The result is handed over only on success.
HRESULT InvokeMember(IDispatch* object, DISPID member, WORD flags, const VARIANT* putValue, Variant& result)
{
    if (object == nullptr)
        return E_POINTER;
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
    UINT argumentError = 0;
    const HRESULT hr = object->Invoke(member, IID_NULL, kMemberLocale, flags, &params, value.Put(),
                                      exception.Put(), &argumentError);
    if (FAILED(hr))
        return hr;
    std::swap(value.Get(), result.Get());
    return S_OK;
}

// Looks the name up afresh at every call: the host resolves it, without regard to case.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, const VARIANT* putValue,
                     Variant& result)
{
    if (object == nullptr || name == nullptr)
        return E_POINTER;
    DISPID member = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, kMemberLocale, &member);
    if (FAILED(hr))
        return hr;
    return InvokeMember(object, member, flags, putValue, result);
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
    if (!created)
        return E_NOINTERFACE;
    application = std::move(created);
    return S_OK;
}

HRESULT GetMember(IDispatch* object, const wchar_t* name, Variant& value)
{
    return InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, value);
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
    return InvokeByName(object, name, DISPATCH_PROPERTYPUT, &value, ignored);
}

HRESULT CallMember(IDispatch* object, const wchar_t* name)
{
    Variant ignored;
    return InvokeByName(object, name, DISPATCH_METHOD, nullptr, ignored);
}

HRESULT EnumerateMembers(IDispatch* collection, AutomationEnumerator& items)
{
    // The standard enumerator is the member DISPID_NEWENUM, read like a property.
    Variant value;
    HRESULT hr = InvokeMember(collection, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
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
    if (!started)
        return E_NOINTERFACE;
    items = std::move(started);
    return S_OK;
}

HRESULT NextMember(IEnumVARIANT* items, AutomationObject& item)
{
    if (items == nullptr)
        return E_POINTER;
    Variant value;
    ULONG fetched = 0;
    HRESULT hr = items->Next(1, value.Put(), &fetched);
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
