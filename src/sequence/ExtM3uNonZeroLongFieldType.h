// A number that must not be 0.
#pragma once

#include "sequence/ExtM3uLongFieldType.h"

class CExtM3uNonZeroLongFieldType : public CExtM3uLongFieldType
{
public:
    using CExtM3uLongFieldType::CExtM3uLongFieldType;
    bool GetString(std::string_view key, std::string& value) override;
};
