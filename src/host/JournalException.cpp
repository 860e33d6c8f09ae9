#include "host/JournalException.h"

#include "host/Trace.h"

CJournalException::CJournalException(const std::string& strFile, int nLine,
                                     const std::string& strMessage)
{
    std::string strLine = strFile + "(" + std::to_string(nLine) + ") : OVEXC - " + strMessage;
    m_listJournal.push_back(strLine);
    // The constructor runs the base's Journal: the derived part does not exist yet.
    Journal(strLine + "\n");
    TraceText(strMessage.c_str());
}

CJournalException::~CJournalException() = default;

void CJournalException::Journal(const std::string& strText)
{
    TraceText(strText.c_str());
}

std::string CJournalException::GetText() const
{
    std::string strText;
    for (const std::string& strLine : m_listJournal)
        strText += strLine + "\n";
    return strText;
}
