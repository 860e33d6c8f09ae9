#include "host/RadEngException.h"

CRadEngException::CRadEngException(const std::string& strFile, int nLine,
                                   const std::string& strMessage, int nCode)
    : CJournalException(strFile, nLine, strMessage), code(nCode), message(strMessage)
{
}

CRadEngException::~CRadEngException() = default;
