// The engine object's conversion of a failure into COM error information for the calling
// thread: the journal of a CRadEngException as description and its code as help context,
// or the text of any other failure that reached the interface.
#pragma once
#include "host/RadEngException.h"
#include "platform/Types.h"

// Sets the thread's error information from e and returns DISP_E_EXCEPTION, also when
// the information could not be made (memory running out on the way leaves the thread
// without it).
HRESULT ReportError(const CRadEngException& e) noexcept;

// For a failure that is not the engine's own (a thread that cannot start, memory): sets
// the thread's error information with the text as description and no help context, and
// returns hrResult (E_FAIL, E_OUTOFMEMORY), also when the information could not be made.
HRESULT ReportFailure(const char* pszText, HRESULT hrResult) noexcept;
