// Reads a decimal number with Windows' 32-bit long. GetLong applies the GetString of the
// class it is called on, so the subclasses' checks hold for it too.
#pragma once

#include "platform/Types.h"
#include "sequence/ExtM3uFieldType.h"

class CExtM3uLongFieldType : public CExtM3uFieldType
{
public:
    using CExtM3uFieldType::CExtM3uFieldType;
    bool GetString(std::string_view key, std::string& value) override;
    // False for an empty value, and for one that reads 0 without being written "0"
    // (spaces around it allowed); value is then left as it was, or 0.
    virtual bool GetLong(std::string_view key, LONG& value);
};
