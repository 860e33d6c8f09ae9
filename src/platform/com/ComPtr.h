// Owner of one interface reference: releases it when the owner goes. Copying adds a
// reference; moving hands it over. Use on one thread at a time, as any value.
#pragma once

#include <ovradio/Com.h>
#include <utility>

namespace platform::com
{
template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    // Shares the reference: adds one of its own.
    explicit ComPtr(T* pointer) : m_pointer(pointer)
    {
        if (m_pointer != nullptr)
            m_pointer->AddRef();
    }
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& other) : ComPtr(other.m_pointer) {}
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }

    // Takes over a reference the caller owns (one that a creating call handed out).
    static ComPtr Adopt(T* pointer)
    {
        ComPtr owner;
        owner.m_pointer = pointer;
        return owner;
    }

    T* Get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

    void Reset()
    {
        if (T* pointer = std::exchange(m_pointer, nullptr))
            pointer->Release();
    }
    // For a call that writes an interface out: releases the one held, hands out the slot.
    T** Out()
    {
        Reset();
        return &m_pointer;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    // Gives the reference to the caller, who then releases it.
    T* Detach() { return std::exchange(m_pointer, nullptr); }

    // QueryInterface into another owner.
    template <class U>
    HRESULT As(REFIID riid, ComPtr<U>& target) const
    {
        if (m_pointer == nullptr)
            return E_POINTER;
        return m_pointer->QueryInterface(riid, target.OutVoid());
    }

private:
    T* m_pointer = nullptr;
};
} // namespace platform::com
