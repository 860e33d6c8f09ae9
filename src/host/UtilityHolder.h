// Holds one object of the host's object manager through its interface I for the
// holder's lifetime: made by name on construction, released on destruction, with the
// manager initialised in between. Lives on the stack of one call; any thread.
#pragma once
#include "host/ObjectManagerException.h"
#include "hostlibs/ObjectManager.h"

template <class I> class UtilityHolder
{
public:
    // Throws mcObjectManagerUpgradeNeededException when the manager cannot make the
    // object; an object without interface I is released and the holder stays empty.
    explicit UtilityHolder(const char* pszObjectName)
    {
        OMInit();
        miInterface* pObject = nullptr;
        if (!OMCreateObject(pszObjectName, nullptr, true, &pObject))
        {
            OMTerm();
            throw mcObjectManagerUpgradeNeededException();
        }
        m_pObject = dynamic_cast<I*>(pObject);
        if (!m_pObject && pObject)
            OMReleaseObjectRef(pObject, nullptr);
    }

    ~UtilityHolder()
    {
        if (m_pObject)
            OMReleaseObjectRef(m_pObject, nullptr);
        OMTerm();
    }

    UtilityHolder(const UtilityHolder&) = delete;
    UtilityHolder& operator=(const UtilityHolder&) = delete;

    bool IsEmpty() const { return m_pObject == nullptr; }

    // Throws mcObjectManagerUnknownInterfaceException when the holder is empty.
    I* operator->() const
    {
        if (!m_pObject)
            throw mcObjectManagerUnknownInterfaceException();
        return m_pObject;
    }

private:
    I* m_pObject = nullptr;
};
