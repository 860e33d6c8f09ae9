// The exceptions of the object-manager utilities: the manager cannot make the object
// (an older host that lacks it), or the object lacks the interface the caller asked for.
#pragma once

class mcObjectManagerException
{
public:
    virtual ~mcObjectManagerException() = default;
};

class mcObjectManagerUnknownInterfaceException : public mcObjectManagerException
{
};

class mcObjectManagerUpgradeNeededException : public mcObjectManagerException
{
};
