// An exception that keeps a journal of text lines: the line naming the raise site and
// the message is journalled (and traced) when the exception is made. Raised and caught
// on one thread.
#pragma once
#include <string>
#include <vector>

class CJournalException
{
public:
    virtual ~CJournalException() = 0;
    // Writes text to the diagnostic trace.
    virtual void Journal(const std::string& strText);

    // Every journal line followed by a line feed, in order.
    std::string GetText() const;

protected:
    CJournalException(const std::string& strFile, int nLine, const std::string& strMessage);
    CJournalException(const CJournalException&) = default;
    CJournalException& operator=(const CJournalException&) = default;

private:
    std::vector<std::string> m_listJournal;
};
