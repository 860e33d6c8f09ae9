// Reads a field's text as it stands.
#pragma once

#include "sequence/ExtM3uFieldType.h"

class CExtM3uStringFieldType : public CExtM3uFieldType
{
public:
    using CExtM3uFieldType::CExtM3uFieldType;
    bool GetString(std::string_view key, std::string& value) override;
};
