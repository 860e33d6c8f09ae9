// Reads a web address: found only when it starts with "http://", "https://" (or "http:" and
// two backslashes), compared without regard to case. The value is stored either way.
#pragma once

#include "sequence/ExtM3uStringFieldType.h"

class CExtM3uUrlFieldType : public CExtM3uStringFieldType
{
public:
    using CExtM3uStringFieldType::CExtM3uStringFieldType;
    bool GetString(std::string_view key, std::string& value) override;
};
