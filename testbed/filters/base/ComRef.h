// CComRef: owns one reference to a COM interface.
#pragma once

#include <unknwn.h>

template <class T>
class CComRef
{
public:
    CComRef() = default;
    explicit CComRef(T* p) : m_p(p)
    {
        if (m_p != nullptr)
            m_p->AddRef();
    }
    CComRef(const CComRef& other) : CComRef(other.m_p) {}
    CComRef(CComRef&& other) noexcept : m_p(other.Detach()) {}
    ~CComRef() { Reset(); }

    CComRef& operator=(const CComRef& other)
    {
        Assign(other.m_p);
        return *this;
    }
    CComRef& operator=(CComRef&& other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }

    // Takes a new reference to p.
    void Assign(T* p)
    {
        if (p != nullptr)
            p->AddRef();
        Attach(p);
    }
    // Takes over a reference that the caller owned.
    void Attach(T* p)
    {
        T* pOld = m_p;
        m_p = p;
        if (pOld != nullptr)
            pOld->Release();
    }
    // Gives the reference up without releasing it.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset() { Attach(nullptr); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // For out-parameters: the old reference is released first.
    T** Receive()
    {
        Reset();
        return &m_p;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

    // Hands a new reference to an out-parameter.
    HRESULT CopyTo(T** pp) const
    {
        if (pp == nullptr)
            return E_POINTER;
        *pp = m_p;
        if (m_p != nullptr)
            m_p->AddRef();
        return S_OK;
    }

    template <class Q>
    HRESULT As(CComRef<Q>& spOther) const
    {
        if (m_p == nullptr)
            return E_POINTER;
        return m_p->QueryInterface(__uuidof(Q), spOther.ReceiveVoid());
    }

private:
    T* m_p = nullptr;
};

// Hands out interface riid of an object made with a count of 1 (or null, out
// of memory), and drops the making reference.
template <class T>
HRESULT QueryNewObject(T* pObject, REFIID riid, void** ppv)
{
    if (pObject == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = pObject->QueryInterface(riid, ppv);
    pObject->Release();
    return hr;
}
