// A number that must be 0 or 1.
#pragma once

#include "sequence/ExtM3uLongFieldType.h"

class CExtM3uBoolFieldType : public CExtM3uLongFieldType
{
public:
    using CExtM3uLongFieldType::CExtM3uLongFieldType;
    bool GetString(std::string_view key, std::string& value) override;
};
